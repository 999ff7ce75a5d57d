// The engine's text conversions refuse malformed input instead of guessing at it, and
// carry every valid text through UTF-16 and back unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace {

namespace jet = kelbrook::jet;

struct Malformed {
    const char* what;
    std::string text;
    const char* message;  // a piece of the error's message
};
void PrintTo(const Malformed& m, std::ostream* out) { *out << m.what; }

class Malformed_Utf8 : public ::testing::TestWithParam<Malformed> {};

TEST_P(Malformed_Utf8, Is_Refused_Whole) {
    const Malformed& m = GetParam();
    try {
        const auto units = jet::Utf8_To_Utf16le(m.text);
        ADD_FAILURE() << "accepted as " << units.size() / 2 << " UTF-16 units";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::Error_Kind::Unsupported);
        EXPECT_NE(std::string(e.what()).find(m.message), std::string::npos) << e.what();
    }
    EXPECT_THROW(jet::Utf8_To_Utf16(m.text), jet::Error);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Malformed_Utf8,
    ::testing::Values(
        // Cut short: a lead byte with fewer continuation bytes than it announces.
        Malformed{"two_byte_cut_at_end", "ab\xC3", "cut short at byte 2"},
        Malformed{"three_byte_cut_at_end", "\xE2\x82", "cut short at byte 0"},
        Malformed{"four_byte_cut_at_end", "x\xF0\x9F\x98", "cut short at byte 1"},
        // A byte that is not 10xxxxxx where a continuation must stand: the "A" of "\xC3A"
        // would otherwise be swallowed into a guessed character.
        Malformed{"ascii_after_lead", "\xC3" "A", "byte 0x41 does not continue"},
        Malformed{"lead_after_lead", "\xE2\xE2\x82\xAC", "byte 0xE2 does not continue"},
        Malformed{"third_byte_not_continuation", "\xE2\x82(", "at byte 2"},
        Malformed{"fourth_byte_not_continuation", "\xF0\x9F\x98 ", "at byte 3"},
        // Bytes that never start a character.
        Malformed{"lone_continuation", "a\x80", "byte 0x80 does not start a character at byte 1"},
        Malformed{"byte_f8", "\xF8\x88\x80\x80\x80", "byte 0xF8 does not start"},
        Malformed{"byte_ff", "\xFF", "byte 0xFF does not start"},
        // Overlong forms of characters that have a shorter encoding.
        Malformed{"overlong_slash_c0", "\xC0\xAF", "overlong"},
        Malformed{"overlong_nul_c0", std::string("\xC0\x80", 2), "overlong"},
        Malformed{"overlong_c1", "\xC1\xBF", "overlong"},
        Malformed{"overlong_three_bytes", "\xE0\x80\xAF", "overlong"},
        Malformed{"overlong_three_bytes_top", "\xE0\x9F\xBF", "overlong"},
        Malformed{"overlong_four_bytes", "\xF0\x8F\xBF\xBF", "overlong"},
        // Surrogates encoded on their own (CESU-8 pairs included).
        Malformed{"high_surrogate", "\xED\xA0\x80", "surrogate U+D800"},
        Malformed{"low_surrogate", "\xED\xBF\xBF", "surrogate U+DFFF"},
        Malformed{"surrogate_pair_cesu", "\xED\xA0\xBD\xED\xB8\x80", "surrogate"},
        // Beyond the last code point.
        Malformed{"above_10ffff", "\xF4\x90\x80\x80", "beyond U+10FFFF"},
        Malformed{"lead_f5", "\xF5\x80\x80\x80", "beyond U+10FFFF"},
        Malformed{"lead_f7_max", "\xF7\xBF\xBF\xBF", "beyond U+10FFFF"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Text, Valid_Utf8_Round_Trips_Through_Utf16) {
    const std::vector<std::string> texts = {
        "",
        std::string("nul\0inside", 10),
        "\x7F",
        "\xC2\x80",                    // U+0080, the first two-byte character
        "\xDF\xBF",                    // U+07FF
        "\xE0\xA0\x80",                // U+0800
        "\xED\x9F\xBF",                // U+D7FF, just below the surrogates
        "\xEE\x80\x80",                // U+E000, just above them
        "\xEF\xBF\xBD\xEF\xBF\xBF",    // U+FFFD U+FFFF
        "\xF0\x90\x80\x80",            // U+10000
        "\xF4\x8F\xBF\xBF",            // U+10FFFF, the last
        "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC \xD0\x96",
    };
    for (const std::string& text : texts) {
        const std::vector<std::uint8_t> stored = jet::Utf8_To_Utf16le(text);
        EXPECT_EQ(jet::Utf16le_To_Utf8(stored), text);
        EXPECT_EQ(jet::Utf16_To_Utf8(jet::Utf8_To_Utf16(text)), text);
    }
    // Known encodings, byte by byte.
    EXPECT_EQ(jet::Utf8_To_Utf16le("A\xC3\x81"), (std::vector<std::uint8_t>{'A', 0, 0xC1, 0}));
    EXPECT_EQ(jet::Utf8_To_Utf16le("\xF0\x9F\x98\x80"), (std::vector<std::uint8_t>{0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(jet::Utf8_To_Utf16le("\xF4\x8F\xBF\xBF"), (std::vector<std::uint8_t>{0xFF, 0xDB, 0xFF, 0xDF}));
}

// Access cuts stored text by UTF-16 units and may leave half a surrogate pair: such text is
// shown with U+FFFD in its place, never refused, so that a database holding it still reads.
TEST(Text, Damaged_Utf16_From_A_File_Reads_With_Replacement) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> stored;
        const char* text;
    };
    for (const Case& c : std::vector<Case>{
             {"lone high surrogate", {0x00, 0xD8}, "\xEF\xBF\xBD"},
             {"high surrogate then letter", {0x00, 0xD8, 'a', 0}, "\xEF\xBF\xBD" "a"},
             {"lone low surrogate", {'a', 0, 0x00, 0xDC}, "a\xEF\xBF\xBD"},
             {"two high surrogates", {0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
             {"odd byte count", {'a', 0, 'b'}, "a"},
             {"compressed, odd wide run", {0xFF, 0xFE, 'a', 0, 0xAC}, "a"},
             {"compressed, lone surrogate in wide run", {0xFF, 0xFE, 'a', 0, 0x3D, 0xD8, 0, 'b'}, "a\xEF\xBF\xBD" "b"},
         }) {
        EXPECT_EQ(jet::Decode_Jet_Text(c.stored), c.text) << c.what;
    }
    EXPECT_EQ(jet::Utf16_To_Utf8(u"a\xDC00"), "a\xEF\xBF\xBD");
}

}  // namespace
