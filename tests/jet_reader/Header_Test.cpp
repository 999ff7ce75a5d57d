// The header layer: the ciphers (against published RC4 vectors and the corpus), the
// password mask, format refusal, and the small conversions every layer relies on.
#include <random>

#include "Reader_Test_Util.h"
#include "jet/engine/Database.h"
#include "jet/row/Rows.h"
#include "jet/util/Text.h"
#include "support/Error_Kinds.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;

std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

TEST(Rc4, Matches_Published_Vectors) {
    struct Vector { std::string key, plain, cipher_hex; };
    for (const auto& v : std::vector<Vector>{{"Key", "Plaintext", "bbf316e8d940af0ad3"},
                                              {"Wiki", "pedia", "1021bf0420"},
                                              {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"}}) {
        auto data = Bytes(v.plain);
        jet::Rc4_Apply(Bytes(v.key), data);
        EXPECT_EQ(Hex(std::string(data.begin(), data.end())), v.cipher_hex) << v.key;
        jet::Rc4_Apply(Bytes(v.key), data);
        EXPECT_EQ(std::string(data.begin(), data.end()), v.plain);
    }
}

// The cipher over streams as long as a page and longer, against RC4 as its description
// gives it, byte by byte: every key length a page or the header uses, and others.
TEST(Rc4, Long_Streams_Match_The_Textbook_Cipher) {
    auto textbook = [](const std::vector<std::uint8_t>& key, std::vector<std::uint8_t> data) {
        std::uint8_t s[256];
        for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
        for (int i = 0, j = 0; i < 256; ++i) {
            j = (j + s[i] + key[static_cast<std::size_t>(i) % key.size()]) % 256;
            std::swap(s[i], s[j]);
        }
        for (std::size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
            i = (i + 1) % 256;
            j = (j + s[i]) % 256;
            std::swap(s[i], s[j]);
            data[n] ^= s[(s[i] + s[j]) % 256];
        }
        return data;
    };
    std::mt19937 random(7);
    for (const std::size_t key_size : {1u, 4u, 5u, 16u, 256u})
        for (const std::size_t size : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 255u, 256u, 257u, 4095u, 4096u, 10007u})
            for (int round = 0; round < 8; ++round) {
                std::vector<std::uint8_t> key(key_size), data(size);
                for (auto& b : key) b = static_cast<std::uint8_t>(random());
                for (auto& b : data) b = static_cast<std::uint8_t>(random());
                std::vector<std::uint8_t> ours = data;
                jet::Rc4_Apply(key, ours);
                ASSERT_EQ(ours, textbook(key, data)) << "key of " << key_size << " bytes, " << size << " bytes";
            }
}

// Two streams ciphered at once give what each gives alone, whatever their lengths.
TEST(Rc4, Two_Streams_At_Once_Match_One_At_A_Time) {
    std::mt19937 random(11);
    struct Pair { std::size_t key_a, key_b, size_a, size_b; };
    for (const Pair p : std::vector<Pair>{{4, 4, 4096, 4096}, {4, 4, 0, 0}, {4, 4, 1, 1}, {1, 16, 300, 300},
                                          {4, 4, 4096, 8}, {256, 5, 257, 10007}, {4, 4, 7, 7}, {4, 4, 9, 9},
                                          {5, 4, 4095, 4095}})
        for (int round = 0; round < 4; ++round) {
            std::vector<std::uint8_t> key_a(p.key_a), key_b(p.key_b), a(p.size_a), b(p.size_b);
            for (auto* v : {&key_a, &key_b, &a, &b})
                for (auto& byte : *v) byte = static_cast<std::uint8_t>(random());
            std::vector<std::uint8_t> one_a = a, one_b = b;
            jet::Rc4_Apply(key_a, one_a);
            jet::Rc4_Apply(key_b, one_b);
            jet::Rc4_Apply_Two(key_a, a, key_b, b);
            ASSERT_EQ(a, one_a) << p.size_a << " and " << p.size_b << " bytes";
            ASSERT_EQ(b, one_b) << p.size_a << " and " << p.size_b << " bytes";
        }
    // Pages: two at once as one at a time, page 0 left alone.
    for (const auto& [first, second] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 2}, {0, 7}, {9, 0}, {5, 5}}) {
        std::vector<std::uint8_t> a(jet::format::Page_Size, 0x11), b(jet::format::Page_Size, 0x22);
        std::vector<std::uint8_t> one_a = a, one_b = b;
        jet::Apply_Page_Encoding(one_a, 0xABCDEF01, first);
        jet::Apply_Page_Encoding(one_b, 0xABCDEF01, second);
        jet::Apply_Page_Encoding_Two(a, first, b, second, 0xABCDEF01);
        EXPECT_EQ(a, one_a) << first;
        EXPECT_EQ(b, one_b) << second;
    }
}

TEST(Header, Decodes_Corpus_Headers) {
    REQUIRE_CORPUS();
    for (const auto& f : Corpus_Files()) {
        SCOPED_TRACE(f);
        jet::Page_File file(Corpus() / f);
        const auto& h = file.Header();
        EXPECT_EQ(h.version, jet::format::Version_Jet4);
        EXPECT_EQ(h.code_page, 1252);
        EXPECT_EQ(h.sort_order, 1033);
        EXPECT_EQ(h.password, "");
        EXPECT_EQ(h.database_key != 0, f == "encodedV2000.mdb");
        // Bytes Access writes the same in every file, inside the obfuscated area.
        const std::vector<std::uint8_t> fixed = {0, 1, 0, 0, 1, 1, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
        EXPECT_TRUE(std::equal(fixed.begin(), fixed.end(), h.decoded.begin() + 0x18));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.decoded.data()) + 0x9C), "4.0");
        // An unset password is stored as the bare mask.
        auto mask = jet::Password_Mask(h.creation_date);
        for (std::size_t i = 0; i < jet::format::Header_Password_Size; ++i)
            ASSERT_EQ(h.decoded[jet::format::Header_Password + i], mask[i % 4]);
    }
}

TEST(Header, Password_Mask_Comes_From_The_Creation_Date) {
    EXPECT_EQ(jet::Password_Mask(38143.5465), (std::array<std::uint8_t, 4>{0xFF, 0x94, 0x00, 0x00}));
    EXPECT_EQ(jet::Password_Mask(-1.5), (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    for (const std::string pw : {"", "a", "S3cret!", "P\xC3\xA4ssw\xC3\xB6rd\xE2\x82\xAC", "12345678901234567890"}) {
        auto stored = jet::Masked_Password(pw, 40000.25);
        EXPECT_EQ(jet::Unmask_Password(stored, 40000.25), pw);
    }
    EXPECT_JET_ERROR(jet::Masked_Password("123456789012345678901", 1.0), jet::Error_Kind::Unsupported);
}

TEST(Header, Encoded_Pages_Read_Transparently) {
    REQUIRE_CORPUS();
    fs::path path = Corpus() / "encodedV2000.mdb";
    std::string raw = Read_File(path);
    jet::Page_File file(path);
    ASSERT_NE(file.Header().database_key, 0u);
    auto page = file.Read(2);
    EXPECT_EQ((*page)[0], jet::format::Page_Type_Tdef);
    EXPECT_NE(static_cast<std::uint8_t>(raw[2 * 4096]), jet::format::Page_Type_Tdef);
    // Encoding the decoded page again gives the stored bytes.
    jet::Page copy = *page;
    jet::Apply_Page_Encoding(copy, file.Header().database_key, 2);
    EXPECT_EQ(std::string(copy.begin(), copy.end()), raw.substr(2 * 4096, 4096));
}

TEST(Header, Refuses_Other_Formats_And_Non_Databases) {
    REQUIRE_CORPUS();
    Temp_Folder temp;
    struct Case { std::uint8_t version; std::string names; };
    for (const auto& c : std::vector<Case>{{0, "Jet 3"}, {2, "ACE 12"}, {3, "ACE 14"}, {5, "ACE 16"}, {6, "ACE 17"}, {9, "unknown"}}) {
        fs::path path = temp / ("v" + std::to_string(c.version) + ".mdb");
        Patch_Copy(Corpus() / "empty.mdb", path, [&](std::vector<std::uint8_t>& b) { b[jet::format::Header_Version] = c.version; });
        try {
            jet::Database db(path);
            ADD_FAILURE() << "opened version " << int(c.version);
        } catch (const jet::Error& e) {
            std::string what = e.what();
            EXPECT_NE(what.find(path.string()), std::string::npos) << what;
            EXPECT_NE(what.find(c.names), std::string::npos) << what;
            EXPECT_EQ(e.kind(), jet::Error_Kind::Unsupported) << what;
        }
    }
    struct Bad { std::string name, content, message; };
    for (const auto& b : std::vector<Bad>{{"empty.mdb", "", "only 0 bytes"},
                                          {"text.mdb", std::string(5000, 'x'), "not a Jet database"},
                                          {"short.mdb", Read_File(Corpus() / "empty.mdb").substr(0, 100), "only 100 bytes"},
                                          {"cut.mdb", Read_File(Corpus() / "empty.mdb").substr(0, 3000), "truncated"},
                                          {"odd.mdb", Read_File(Corpus() / "empty.mdb").substr(0, 4096 * 5 + 7), "not a whole number"}}) {
        Write_File(temp / b.name, b.content);
        try {
            jet::Database db(temp / b.name);
            ADD_FAILURE() << b.name << " opened";
        } catch (const jet::Error& e) {
            EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
            EXPECT_EQ(e.kind(), jet::Error_Kind::Corrupt) << e.what();
        }
    }
    EXPECT_JET_ERROR(jet::Database(temp / "missing.mdb"), jet::Error_Kind::Not_Found);
    EXPECT_JET_ERROR(jet::Database(temp.Path()), jet::Error_Kind::Not_Found);
}

TEST(Text, Decodes_Plain_And_Compressed_Unicode) {
    struct Case { std::vector<std::uint8_t> stored; std::string text; };
    for (const auto& c : std::vector<Case>{
             {{'a', 0, 'b', 0}, "ab"},
             {{0xFF, 0xFE, 'a', 'b', 'c'}, "abc"},
             {{0xFF, 0xFE, 'a', 0, 0xAC, 0x20, 0, 'z'}, "a\xE2\x82\xAC" "z"},
             {{0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},
         }) {
        EXPECT_EQ(jet::Decode_Jet_Text(c.stored), c.text);
    }
    std::string s = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80";
    EXPECT_EQ(jet::Utf16le_To_Utf8(jet::Utf8_To_Utf16le(s)), s);
}

TEST(Dates, Format_As_Iso_8601) {
    struct Case { double days; std::string text; };
    for (const auto& c : std::vector<Case>{{0, "1899-12-30T00:00:00"}, {1.5, "1899-12-31T12:00:00"},
                                           {-1.25, "1899-12-29T06:00:00"}, {36526, "2000-01-01T00:00:00"},
                                           {36526.999999999, "2000-01-02T00:00:00"}, {2958465.5, "9999-12-31T12:00:00"},
                                           {-657434, "0100-01-01T00:00:00"}}) {
        EXPECT_EQ(jet::Format_Date(c.days), c.text) << c.days;
    }
}

}  // namespace
}  // namespace reader_test
