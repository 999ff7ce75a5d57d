// Rotation benchmark: what the whole of Compact_Databases costs beside the compaction
// itself. On a temporary drive C: it lays out the data database (a copy of DATA, which must
// carry the instrument's password "wexo4m") and the history database (a copy of HISTORY), then measures
//   - one safe copy of the data database (temporary file, flush, rename),
//   - one compaction of the data database alone,
//   - Compact_Databases over both databases, twice (the second run rotates the first's
//     compacted files),
// and prints wall-clock seconds.
//
// Usage: rotation_bench DATA.mdb HISTORY.mdb [WORK_FOLDER]
// Make inputs with: jetdb generate --profile instrument-history --size-mb 100 --deleted-fraction 0.33
//   --password wexo4m DATA.mdb, and the same without the password for HISTORY.mdb.

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/Site_Databases.h"
#include "maintenance/Compact_Databases.h"
#include "platform/Database_Engine.h"
#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"

namespace {

namespace fs = std::filesystem;
using namespace kelbrook;

class Bench_Host final : public maintenance::Compaction_Host {
public:
    platform::File_System_Service& File_System_Object() override {
        if (!files_) files_ = platform::Create_File_System_Service();
        return *files_;
    }
    platform::Database_Engine& Jet_Engine_Object() override {
        if (!engine_) engine_ = platform::Create_Database_Engine();
        return *engine_;
    }
    void Report_Compaction_Failure(const std::string& description) override {
        throw std::runtime_error("the rotation reported: " + description);
    }

private:
    std::unique_ptr<platform::File_System_Service> files_;
    std::unique_ptr<platform::Database_Engine> engine_;
};

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: rotation_bench DATA.mdb HISTORY.mdb [WORK_FOLDER]\n");
        return 2;
    }
    try {
        std::string pattern =
            ((argc == 4 ? fs::path(argv[3]) : fs::temp_directory_path()) / "kelbrook-rotation-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
        const fs::path drive = pattern;
        struct Cleanup {
            fs::path folder;
            ~Cleanup() {
                std::error_code ignored;
                fs::remove_all(folder, ignored);
            }
        } cleanup{drive};
        platform::Set_Drive_C_Folder(drive);
        for (const char* folder : {"Tarvel/KT500/data", "Tarvel/KT500/history", "Tarvel/KT500/Old Software"}) {
            fs::create_directories(drive / folder);
        }

        const std::string data = "C:\\Tarvel\\KT500\\data\\duvura-d-7-7.mdb";
        const fs::path data_file = drive / "Tarvel/KT500/data/duvura-d-7-7.mdb";
        const fs::path history_file = drive / "Tarvel/KT500/history/duvura-h-7-7.mdb";
        fs::copy_file(argv[1], data_file);
        fs::copy_file(argv[2], history_file);
        for (const fs::path& file : {data_file, history_file}) {
            fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
        }
        const std::uintmax_t data_before = fs::file_size(data_file);
        const std::uintmax_t history_before = fs::file_size(history_file);

        const auto files = platform::Create_File_System_Service();
        const double copy = Seconds([&] { files->Copy_One_File(data, "C:\\Tarvel\\scratch.mdb"); });
        files->Delete_One_File("C:\\Tarvel\\scratch.mdb");

        const auto engine = platform::Create_Database_Engine();
        const double compact = Seconds([&] {
            engine->CompactDatabase(
                "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + data + ";User ID=Admin;Jet OLEDB:Database Password=wexo4m;",
                "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Engine Type=5;User ID=Admin;"
                "Data Source=C:\\Tarvel\\scratch.mdb;Jet OLEDB:Database Password=wexo4m;");
        });
        files->Delete_One_File("C:\\Tarvel\\scratch.mdb");

        Bench_Host host;
        const double first = Seconds([&] { maintenance::Compact_Databases(host, Site_Databases()); });
        const double second = Seconds([&] { maintenance::Compact_Databases(host, Site_Databases()); });

        std::printf("data database     %s: %ju bytes, compacted %ju\n", argv[1], data_before,
                    static_cast<std::uintmax_t>(fs::file_size(data_file)));
        std::printf("history database  %s: %ju bytes, compacted %ju\n", argv[2], history_before,
                    static_cast<std::uintmax_t>(fs::file_size(history_file)));
        std::printf("safe copy of the data database      %8.3f s\n", copy);
        std::printf("compaction of the data database     %8.3f s\n", compact);
        std::printf("Compact_Databases, first run        %8.3f s\n", first);
        std::printf("Compact_Databases, second run       %8.3f s\n", second);
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "rotation_bench: %s\n", failure.what());
        return 2;
    }
}
