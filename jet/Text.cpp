#include "jet/Text.h"

#include "jet/Format.h"

namespace kelbrook::jet {
namespace {

void Append_Utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void Append_Units(std::string& out, const std::vector<std::uint16_t>& units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            Append_Utf8(out, cp);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            Append_Utf8(out, 0xFFFD);
        } else {
            Append_Utf8(out, u);
        }
    }
}

}  // namespace

std::string Utf16le_To_Utf8(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint16_t> units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    std::string out;
    Append_Units(out, units);
    return out;
}

std::vector<std::uint8_t> Utf8_To_Utf16le(const std::string& text) {
    std::vector<std::uint8_t> out;
    auto put = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        std::uint32_t c = s[i];
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < n) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < n) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < n) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            len = 4;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::string Decode_Jet_Text(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != format::Compressed_Text_Marker[0] ||
        bytes[1] != format::Compressed_Text_Marker[1])
        return Utf16le_To_Utf8(bytes);
    // Compressed: one byte per character until a 00 switches to two-byte units, and a
    // further 00 switches back.
    std::vector<std::uint16_t> units;
    bool compressed = true;
    std::size_t i = 2;
    while (i < bytes.size()) {
        if (bytes[i] == 0) {
            compressed = !compressed;
            ++i;
            continue;
        }
        if (compressed) {
            units.push_back(bytes[i]);
            ++i;
        } else {
            if (i + 1 >= bytes.size()) break;
            units.push_back(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
            i += 2;
        }
    }
    std::string out;
    Append_Units(out, units);
    return out;
}

}  // namespace kelbrook::jet
