#include "jet/generator/Values.h"

#include <cmath>

namespace kelbrook::jet::generator {

std::string Sentence(Rng& rng, std::size_t target_bytes) {
    std::string s;
    while (s.size() < target_bytes) {
        if (!s.empty()) s += rng.Chance(0.1) ? ". " : " ";
        s += rng.Pick(Words);
    }
    s.resize(target_bytes);
    if (!s.empty() && s.back() == ' ') s.back() = '.';
    return s;
}

std::size_t Long_Value_Size(Rng& rng) {
    const double u = rng.Unit();
    if (u < 0.70) return static_cast<std::size_t>(rng.Between(4, 60));
    if (u < 0.96) return static_cast<std::size_t>(rng.Between(100, 2500));
    return static_cast<std::size_t>(rng.Between(4500, 14000));
}

Byte_Vector Random_Bytes(Rng& rng, std::size_t size) {
    Byte_Vector b(size);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = rng.Next();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return b;
}

Byte_Vector Curve(Rng& rng, std::size_t size) {
    Byte_Vector b(size);
    const char magic[] = "CRV1";
    for (std::size_t i = 0; i < size; ++i) {
        if (i < 4) {
            b[i] = static_cast<std::uint8_t>(magic[i]);
        } else {
            const std::size_t t = i % 128;
            const std::size_t wave = t < 64 ? t * 3 : (127 - t) * 3;
            b[i] = static_cast<std::uint8_t>(20 + wave + rng.Below(9));
        }
    }
    return b;
}

double Epoch() {
    static const double epoch = Ole_Date(2012, 1, 9, 7, 30, 0);
    return epoch;
}

double Created() {
    static const double created = Ole_Date(2012, 1, 2, 9, 15, 0);
    return created;
}

double Stamp(std::uint64_t step, double per_day, Rng& rng) {
    const double seconds =
        std::floor(static_cast<double>(step) * 86400.0 / per_day) + static_cast<double>(rng.Below(600));
    return Epoch() + std::floor(seconds) / 86400.0;
}

}  // namespace kelbrook::jet::generator
