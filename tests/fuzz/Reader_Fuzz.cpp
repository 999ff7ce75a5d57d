// Fuzzes the whole reading half of the engine: the input (padded to whole pages) is
// written to a file, opened, every table read and decoded, every index walked and the
// database checked. Only jet::Error may come out.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jet/Check.h"
#include "jet/Database.h"
#include "jet/Index.h"

namespace {

const std::filesystem::path& Scratch_File() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("kelbrook-fuzz-" + std::to_string(reinterpret_cast<std::uintptr_t>(&path)) + ".mdb");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace jet = kelbrook::jet;
    std::vector<char> bytes(data, data + size);
    bytes.resize((size + jet::format::Page_Size - 1) / jet::format::Page_Size * jet::format::Page_Size, 0);
    {
        std::ofstream out(Scratch_File(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    try {
        jet::Database db(Scratch_File());
        for (const auto& t : db.Tables(true)) {
            try {
                const auto& def = db.Definition(t);
                db.Rows(def, [&](const jet::Live_Row& row) {
                    for (const auto& v : db.Decode(def, row)) (void)jet::Value_To_Json(v);
                });
                for (const auto& ix : def.real_indexes) jet::Walk_Index(db.File(), def, ix, [](const jet::Index_Entry&) {});
            } catch (const jet::Error&) {
            }
        }
        jet::Check(db);
    } catch (const jet::Error&) {
    }
    return 0;
}
