// Fuzzes the compactor: the input (padded to whole pages) is compacted through
// CompactDatabase from a source file to a fresh destination, both in this process's
// scratch folder, half the inputs with every table checked on a second thread. Either it
// fails with jet::Error, or the file it writes passes the strict check the compactor's own
// output must pass; anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "Fuzz_Scratch.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compactor.h"

namespace {

// A connection-string value in double quotes (a quote inside doubled).
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

std::string Connection(const std::filesystem::path& path, const std::string& password) {
    std::string text = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + Quoted(path.string());
    if (!password.empty()) text += ";Jet OLEDB:Database Password=" + Quoted(password);
    return text;
}

[[noreturn]] void Abort(const std::string& what) {
    std::fprintf(stderr, "compactor fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace jet = kelbrook::jet;
    const auto source = fuzz_scratch::Write_Input(data, size, "source.mdb");
    const auto destination = fuzz_scratch::Folder() / "compacted.mdb";
    std::error_code ec;
    std::filesystem::remove(destination, ec);
    const std::string password = fuzz_scratch::Header_Password(data, size);
    // Half the inputs (by their last byte) have every table checked on a second thread,
    // through a second handle of the source, as large tables are.
    jet::Compact_Options options;
    if (size > 0 && (data[size - 1] & 1) != 0) options.rows_checked_beside = 0;
    bool written = false;
    try {
        jet::CompactDatabase(Connection(source, password), Connection(destination, password), options);
        written = true;
    } catch (const jet::Error&) {
    } catch (const std::exception& e) {
        Abort(std::string("CompactDatabase threw a non-engine exception: ") + e.what());
    } catch (...) {
        Abort("CompactDatabase threw something that is not an exception");
    }
    if (!written) {
        if (std::filesystem::exists(destination, ec)) Abort("a failed compaction left its destination behind");
        return 0;
    }
    try {
        jet::Check_Options strict;
        strict.strict_global_map = true;
        strict.decode_values = false;
        const auto problems = jet::Check(destination, password, strict);
        if (!problems.empty()) Abort("the compacted file fails the strict check: " + problems.front());
    } catch (const std::exception& e) {
        Abort(std::string("the compacted file cannot be checked: ") + e.what());
    }
    std::filesystem::remove(destination, ec);
    return 0;
}
