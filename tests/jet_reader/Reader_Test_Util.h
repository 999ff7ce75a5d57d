// Helpers of the reader tests: the corpus, temp folders, running jetdb and mdbtools, a
// small JSON reader for their output, and patching copies of databases.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/Corpus_Required.h"
#include "support/Temp_Folder.h"
#include "jet/util/Bytes.h"
#include "jet/file/Crypto.h"
#include "jet/file/Format.h"
#include "jet/generator/Generator.h"

namespace reader_test {

namespace fs = std::filesystem;

inline fs::path Corpus() { return kelbrook::testing::Private_Corpus(fs::path(KELBROOK_CORPUS_DIR)); }
inline fs::path Jetdb() { return fs::path(KELBROOK_BIN_DIR) / "jetdb"; }

#define REQUIRE_CORPUS()                                                                          \
    do {                                                                                          \
        if (!std::filesystem::is_directory(reader_test::Corpus()))                                \
            KELBROOK_CORPUS_OR_SKIP(false, "corpus folder " + reader_test::Corpus().string() + " is absent"); \
    } while (0)

inline const std::vector<std::string>& Corpus_Files() {
    static const std::vector<std::string> files = {
        "adox_jet4.mdb", "bigIndexTestV2000.mdb", "compIndexTestV2000.mdb", "delColTestV2000.mdb",
        "delTestV2000.mdb", "empty.mdb", "emptyJet4.mdb", "encodedV2000.mdb", "fixedNumericTestV2000.mdb",
        "fixedTextTestV2000.mdb", "indexCursorTestV2000.mdb", "indexTestV2000.mdb", "overflowTestV2000.mdb",
        "queryTestV2000.mdb", "test2V2000.mdb", "testIndexPropertiesV2000.mdb", "testPromotionV2000.mdb",
        "testRefGlobalV2000.mdb", "testV2000.mdb"};
    return files;
}

using kelbrook::testing::Temp_Folder;

inline std::string Read_File(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void Write_File(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

struct Run_Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line, capturing stdout and stderr.
inline Run_Result Shell(const std::string& command) {
    Temp_Folder t;
    std::string line = command + " >" + Quote((t / "out").string()) + " 2>" + Quote((t / "err").string());
    int raw = std::system(line.c_str());
    Run_Result r;
    r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    r.out = Read_File(t / "out");
    r.err = Read_File(t / "err");
    return r;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A JSON value as far as row objects need: text, number, boolean, null, or an object
// (mdb-json's {"$binary": ...}).
struct Json {
    enum class Kind { Null, Bool, Number, String, Object } kind = Kind::Null;
    double number = 0;
    bool boolean = false;
    std::string text;
    std::map<std::string, Json> members;
};

class Json_Reader {
public:
    explicit Json_Reader(const std::string& s) : s_(s) {}
    Json Parse() {
        Json v = Value();
        Space();
        if (i_ != s_.size()) throw std::runtime_error("trailing text in JSON: " + s_);
        return v;
    }

private:
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
    }
    char Peek() {
        Space();
        if (i_ >= s_.size()) throw std::runtime_error("JSON ends early: " + s_);
        return s_[i_];
    }
    void Expect(char c) {
        if (Peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c + " in " + s_);
        ++i_;
    }
    static void Put_Utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) out += static_cast<char>(cp);
        else if (cp < 0x800) { out += static_cast<char>(0xC0 | (cp >> 6)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
        else { out += static_cast<char>(0xE0 | (cp >> 12)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
    }
    std::string String() {
        Expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') { out += c; continue; }
            if (i_ >= s_.size()) break;
            char e = s_[i_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(i_, 4), nullptr, 16));
                    i_ += 4;
                    if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
                        unsigned lo = static_cast<unsigned>(std::stoul(s_.substr(i_ + 2, 4), nullptr, 16));
                        i_ += 6;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        out += static_cast<char>(0xF0 | (cp >> 18));
                        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (cp & 0x3F));
                    } else {
                        Put_Utf8(out, cp);
                    }
                    break;
                }
                default: out += e;
            }
        }
        ++i_;
        return out;
    }
    Json Value() {
        Json v;
        char c = Peek();
        if (c == '{') {
            ++i_;
            v.kind = Json::Kind::Object;
            if (Peek() == '}') { ++i_; return v; }
            for (;;) {
                std::string key = String();
                Expect(':');
                v.members[key] = Value();
                if (Peek() == ',') { ++i_; continue; }
                Expect('}');
                return v;
            }
        }
        if (c == '"') { v.kind = Json::Kind::String; v.text = String(); return v; }
        if (s_.compare(i_, 4, "true") == 0) { i_ += 4; v.kind = Json::Kind::Bool; v.boolean = true; return v; }
        if (s_.compare(i_, 5, "false") == 0) { i_ += 5; v.kind = Json::Kind::Bool; return v; }
        if (s_.compare(i_, 4, "null") == 0) { i_ += 4; return v; }
        std::size_t used = 0;
        v.kind = Json::Kind::Number;
        v.number = std::stod(s_.substr(i_), &used);
        i_ += used;
        return v;
    }
    const std::string& s_;
    std::size_t i_ = 0;
};

inline std::string Base64_Decode(const std::string& in) {
    static const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : in) {
        auto pos = chars.find(c);
        if (pos == std::string::npos) continue;
        buffer = (buffer << 6) | static_cast<unsigned>(pos);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

inline std::string Hex(const std::string& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) { out += d[c >> 4]; out += d[c & 15]; }
    return out;
}

// Patches a copy of a database: `edit` gets the whole file as bytes.
template <typename Edit>
void Patch_Copy(const fs::path& from, const fs::path& to, Edit edit) {
    std::string data = Read_File(from);
    std::vector<std::uint8_t> bytes(data.begin(), data.end());
    edit(bytes);
    Write_File(to, std::string(bytes.begin(), bytes.end()));
}

// Sets the database password of a copy, as a writer does: decode page 0, write the masked
// password, re-apply the header obfuscation.
inline void Protect_Copy(const fs::path& from, const fs::path& to, const std::string& password) {
    Patch_Copy(from, to, [&](std::vector<std::uint8_t>& b) {
        std::span<std::uint8_t> page0(b.data(), kelbrook::jet::format::Page_Size);
        kelbrook::jet::Apply_Header_Mask(page0);
        kelbrook::jet::Set_Header_Password(page0, password);
        kelbrook::jet::Apply_Header_Mask(page0);
    });
}

// A database made in `dir` of `rows` rows of `profile`, without a password, every page
// encoded when asked.
inline fs::path Generated(const Temp_Folder& dir, const std::string& name, const std::string& profile, std::uint64_t rows,
                          bool encrypt, double deleted_fraction = 0.15) {
    const fs::path path = fs::canonical(dir.Path()) / name;
    kelbrook::jet::Generate_Options options;
    options.profile = profile;
    options.rows = rows;
    options.deleted_fraction = deleted_fraction;
    options.password = "";
    options.encrypt = encrypt;
    kelbrook::jet::Generate_Database(options, path);
    return path;
}

}  // namespace reader_test
