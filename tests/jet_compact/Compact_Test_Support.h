// Helpers of the compaction tests: a scratch folder per test, the corpus, whole-file
// reads, running the mdbtools reader and jetdb, and a password-protected copy of a
// database made by patching its header directly (independently of the writer).
#pragma once

#include <gtest/gtest.h>

#include "support/Corpus_Required.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "jet/file/Crypto.h"
#include "jet/file/Format.h"

namespace kelbrook::test {

namespace fs = std::filesystem;

inline fs::path Corpus() { return ::kelbrook::testing::Private_Corpus(fs::path(KELBROOK_CORPUS_DIR)); }
inline bool Have_Corpus() { return fs::is_directory(Corpus()); }
inline fs::path Jetdb() { return fs::path(KELBROOK_BIN_DIR) / "jetdb"; }

#define KELBROOK_NEED_CORPUS()                                                          \
    do {                                                                                \
        if (!::kelbrook::test::Have_Corpus())                                           \
            KELBROOK_CORPUS_OR_SKIP(false, "corpus not found at " + ::kelbrook::test::Corpus().string()); \
    } while (0)

inline std::vector<std::string> Corpus_Files() {
    std::vector<std::string> names;
    if (!Have_Corpus()) return names;
    for (const auto& e : fs::directory_iterator(Corpus()))
        if (e.path().extension() == ".mdb") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::vector<std::uint8_t> Read_All(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void Write_All(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fresh, empty folder for one test, removed afterwards.
class Scratch_Test : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        // Named after the test and made unique, so that two runs of one test never meet.
        dir = fs::temp_directory_path() / ("kelbrook_compact_" + name + "_" + std::to_string(std::random_device{}()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir;
};

struct Run_Result {
    int status = -1;
    std::string out;
};

// Runs a shell command, capturing stdout (stderr goes along when `merge`).
inline Run_Result Run_Command(const std::string& command, bool merge = false) {
    Run_Result r;
    FILE* p = ::popen((command + (merge ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline std::string Quote(const fs::path& p) {
    std::string s = p.string(), out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}
inline std::string Quote(const std::string& s) { return Quote(fs::path(s)); }

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

inline std::vector<std::string> Mdb_Tables(const fs::path& file) {
    return Lines(Run_Command("mdb-tables -S -1 " + Quote(file)).out);
}

// mdb-json rows of a table, sorted (storage order is not part of the contract).
inline std::vector<std::string> Mdb_Json(const fs::path& file, const std::string& table) {
    auto lines = Lines(Run_Command("mdb-json " + Quote(file) + " " + Quote(table)).out);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The number after "key": in a JSON row, if there is one.
inline std::optional<long long> Json_Number(const std::string& line, const std::string& key,
                                            std::size_t* where = nullptr, std::size_t* length = nullptr) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) return std::nullopt;
    std::size_t end = at + tag.size();
    if (end < line.size() && line[end] == '-') ++end;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    const std::string digits = line.substr(at + tag.size(), end - at - tag.size());
    if (digits.empty() || digits == "-") return std::nullopt;
    if (where) *where = at + tag.size();
    if (length) *length = digits.size();
    return std::stoll(digits);
}

// The text after "key":" in a JSON row (escapes left as they are).
inline std::optional<std::string> Json_Text(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":\"";
    std::size_t at = line.find(tag);
    if (at == std::string::npos) return std::nullopt;
    at += tag.size();
    std::string out;
    for (std::size_t i = at; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            out += line[i];
            out += line[++i];
        } else if (line[i] == '"') {
            return out;
        } else {
            out += line[i];
        }
    }
    return std::nullopt;
}

// Table name -> MSysObjects Id, as mdbtools reads them (local tables only).
inline std::map<std::string, long long> Table_Ids(const fs::path& file) {
    std::map<std::string, long long> ids;
    for (const auto& line : Mdb_Json(file, "MSysObjects")) {
        const auto type = Json_Number(line, "Type");
        const auto id = Json_Number(line, "Id");
        const auto name = Json_Text(line, "Name");
        if (type == 1 && id && name) ids[*name] = *id;
    }
    return ids;
}

// Rewrites the id columns of a JSON row through `map`.
inline std::string Remap_Ids(std::string line, const std::map<long long, long long>& map) {
    for (const char* key : {"Id", "ObjectId", "ObjectID"}) {
        std::size_t where = 0, length = 0;
        const auto value = Json_Number(line, key, &where, &length);
        if (!value) continue;
        const auto f = map.find(*value);
        if (f != map.end()) line.replace(where, length, std::to_string(f->second));
    }
    return line;
}

// A copy of `source` protected by `password`, made by patching page 0 only.
inline void Make_Protected_Copy(const fs::path& source, const fs::path& copy, const std::string& password) {
    auto bytes = Read_All(source);
    std::span<std::uint8_t> page0(bytes.data(), jet::format::Page_Size);
    jet::Apply_Header_Mask(page0);
    jet::Set_Header_Password(page0, password);
    jet::Apply_Header_Mask(page0);
    Write_All(copy, bytes);
}

inline std::string Source_String(const fs::path& file, const std::string& password = {}) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string() +
           ";User ID=Admin;Jet OLEDB:Database Password=" + password + ";";
}
inline std::string Destination_String(const fs::path& file, const std::string& password = {},
                                      const std::string& extra = {}) {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;Data Source=" + file.string() +
           ";Jet OLEDB:Database Password=" + password + ";" + extra;
}

}  // namespace kelbrook::test
