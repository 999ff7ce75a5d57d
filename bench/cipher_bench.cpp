// The page encoding's own speed, for bench/compact-bench: an encoded compaction puts the
// source's pages through it once (decoded) and the output's twice (encoded, then decoded
// again by the check), so this bounds how fast one can be.
//   cipher_bench [PAGES]    prints "one MB/s two MB/s": pages ciphered one at a time, and
//                           two abreast (as the engine does where it can); best of 5 rounds
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "jet/file/Crypto.h"
#include "jet/file/Format.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t Key = 0x4B454C42u;  // any key: the cipher's time does not depend on it
constexpr int Rounds = 5;

double Seconds_Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::uint32_t pages = argc > 1 ? static_cast<std::uint32_t>(std::stoul(argv[1])) : 20000u;
        if (pages < 2) throw std::runtime_error("PAGES must be at least 2");
        constexpr std::size_t size = kelbrook::jet::format::Page_Size;
        std::vector<std::uint8_t> pages_bytes(std::size_t{pages} * size);
        for (std::size_t i = 0; i < pages_bytes.size(); ++i) pages_bytes[i] = static_cast<std::uint8_t>(i * 131);
        const auto page = [&](std::uint32_t p) { return std::span(pages_bytes).subspan(std::size_t{p} * size, size); };
        double one = 1e30, two = 1e30;
        for (int round = 0; round < Rounds; ++round) {
            auto start = Clock::now();
            for (std::uint32_t p = 0; p < pages; ++p) kelbrook::jet::Apply_Page_Encoding(page(p), Key, p + 1);
            one = std::min(one, Seconds_Since(start));
            start = Clock::now();
            for (std::uint32_t p = 0; p + 1 < pages; p += 2)
                kelbrook::jet::Apply_Page_Encoding_Two(page(p), p + 1, page(p + 1), p + 2, Key);
            two = std::min(two, Seconds_Since(start) * pages / (pages & ~1u));
        }
        const double megabytes = static_cast<double>(pages_bytes.size()) / 1e6;
        std::printf("%.0f %.0f\n", megabytes / one, megabytes / two);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cipher_bench: %s\n", e.what());
        return 2;
    }
    return 0;
}
