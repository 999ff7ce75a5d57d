// Fuzzes the whole reading half of the engine: the input (padded to whole pages) is
// written to a file, opened with the password its header holds, every table read and
// decoded, every index walked and the database checked. Only jet::Error may come out.
#include <cstdint>
#include <cstdlib>

#include "Fuzz_Scratch.h"
#include "jet/engine/Check.h"
#include "jet/engine/Database.h"
#include "jet/index/Index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace jet = kelbrook::jet;
    const auto path = fuzz_scratch::Write_Input(data, size, "read.mdb");
    try {
        jet::Database db(path, fuzz_scratch::Header_Password(data, size));
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
