#include "jet/util/Text.h"

#include <cstdio>

#include "jet/util/Error.h"
#include "jet/file/Format.h"

namespace kelbrook::jet {
namespace {

constexpr std::uint32_t Last_Code_Point = 0x10FFFF;
constexpr std::uint32_t High_Surrogate_First = 0xD800;
constexpr std::uint32_t Low_Surrogate_First = 0xDC00;
constexpr std::uint32_t Surrogate_Last = 0xDFFF;
constexpr std::uint32_t First_Supplementary = 0x10000;
constexpr std::uint32_t Replacement_Character = 0xFFFD;

bool Is_Surrogate(std::uint32_t c) { return c >= High_Surrogate_First && c <= Surrogate_Last; }
bool Is_High_Surrogate(std::uint32_t c) { return c >= High_Surrogate_First && c < Low_Surrogate_First; }
bool Is_Low_Surrogate(std::uint32_t c) { return c >= Low_Surrogate_First && c <= Surrogate_Last; }

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
    return text;
}

[[noreturn]] void Bad_Utf8(std::size_t at, const std::string& what) {
    throw Error("The text is not valid UTF-8: " + what + " at byte " + std::to_string(at) + ".",
                Error_Kind::Unsupported);
}

// The code point of the UTF-8 sequence at text[at], which is refused unless it is the one
// shortest encoding of a Unicode scalar value; at moves past it.
std::uint32_t Next_Utf8(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::size_t start = at;
    const std::uint8_t lead = byte(start);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07u;
    } else {
        Bad_Utf8(start, "byte 0x" + Hex(lead, 2) + " does not start a character");
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (start + i >= text.size()) Bad_Utf8(start, "the character is cut short");
        const std::uint8_t next = byte(start + i);
        if ((next & 0xC0) != 0x80)
            Bad_Utf8(start + i, "byte 0x" + Hex(next, 2) + " does not continue the character begun before it");
        code = (code << 6) | (next & 0x3Fu);
    }
    static constexpr std::uint32_t shortest_above[] = {0, 0, 0x80, 0x800, First_Supplementary};
    if (code < shortest_above[length]) Bad_Utf8(start, "the character U+" + Hex(code, 4) + " is in an overlong form");
    if (Is_Surrogate(code)) Bad_Utf8(start, "the surrogate U+" + Hex(code, 4) + " is not a character");
    if (code > Last_Code_Point) Bad_Utf8(start, "the value 0x" + Hex(code, 6) + " lies beyond U+10FFFF");
    at = start + length;
    return code;
}

void Append_Utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < First_Supplementary) {
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

// A trailing odd byte is no character and is left out.
std::u16string Units_Of(std::span<const std::uint8_t> bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return units;
}

}  // namespace

std::u16string Utf8_To_Utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t cp = Next_Utf8(text, at);
        if (cp >= First_Supplementary) {
            cp -= First_Supplementary;
            out.push_back(static_cast<char16_t>(High_Surrogate_First + (cp >> 10)));
            out.push_back(static_cast<char16_t>(Low_Surrogate_First + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf16_To_Utf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t u = units[i];
        if (!Is_Surrogate(u)) {
            Append_Utf8(out, u);
        } else if (Is_High_Surrogate(u) && i + 1 < units.size() && Is_Low_Surrogate(units[i + 1])) {
            Append_Utf8(out, First_Supplementary + ((u - High_Surrogate_First) << 10) + (units[i + 1] - Low_Surrogate_First));
            ++i;
        } else {
            Append_Utf8(out, Replacement_Character);
        }
    }
    return out;
}

std::string Utf16le_To_Utf8(std::span<const std::uint8_t> bytes) { return Utf16_To_Utf8(Units_Of(bytes)); }

std::vector<std::uint8_t> Utf8_To_Utf16le(std::string_view text) {
    const std::u16string units = Utf8_To_Utf16(text);
    std::vector<std::uint8_t> out;
    out.reserve(units.size() * 2);
    for (const char16_t u : units) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

std::string Decode_Jet_Text(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != format::Compressed_Text_Marker[0] ||
        bytes[1] != format::Compressed_Text_Marker[1])
        return Utf16le_To_Utf8(bytes);
    // Compressed: one byte per character until a 00 switches to two-byte units, and a
    // further 00 switches back.
    std::u16string units;
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
            if (i + 1 >= bytes.size()) break;  // a last half character is no character
            units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
            i += 2;
        }
    }
    return Utf16_To_Utf8(units);
}

std::string Path_Text(const std::filesystem::path& path) {
    const std::u8string u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

}  // namespace kelbrook::jet
