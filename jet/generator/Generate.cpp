// Generate_Database: one file of a given row count in three phases (build the image,
// write it, give it its history), or a file of a given size by measuring small files
// first and correcting on the real thing.
#include <algorithm>
#include <cmath>

#include "jet/file/File_Output.h"
#include "jet/file/Format.h"
#include "jet/generator/Building.h"
#include "jet/generator/Generator.h"
#include "jet/generator/History.h"
#include "jet/generator/Profiles.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace {

// Progress: making the rows' plan is the first 25%, writing the pages the next 70%, the
// history the rest.
Generate_Result Generate_Once(const Generate_Options& options, std::uint64_t main_rows,
                              const std::filesystem::path& path) {
    auto report = [&](double share) {
        if (options.progress) options.progress(share);
    };
    const File_System& files = options.files != nullptr ? *options.files : Host_Files();
    report(0.0);
    // Index entries beyond the budget wait in a temporary beside the file, removed with
    // the last of them, whatever happens.
    auto spill = std::make_shared<Spill_Space>(path, Spill_Space::Default_Budget, files);
    generator::Built built = generator::Build(options, main_rows, spill);
    report(0.25);
    const Write_Result written = Write_Database(
        built.image, path, [&](double share) { report(0.25 + 0.7 * share); }, false, files);
    built.image.tables.clear();  // written: their index entries, and the spill file, go
    spill.reset();
    Generate_Result result;
    try {
        result.freed_pages = generator::Apply_History(path, built, files);
    } catch (...) {
        Remove_Quietly(path);
        throw;
    }
    report(1.0);
    result.pages = written.pages;
    result.bytes = static_cast<std::uint64_t>(written.pages) * format::Page_Size;
    result.password = built.image.password;
    result.database_key = built.image.database_key;
    result.tables = std::move(built.tables);
    for (const auto& t : result.tables) result.live_bytes += t.live_bytes;
    return result;
}

void Check_Options(const Generate_Options& options, const std::filesystem::path& path) {
    generator::Make_Profile(options.profile, 1);  // refuses unknown profiles before any work
    if (!(options.deleted_fraction >= 0.0 && options.deleted_fraction < 0.95))
        throw Error("The deleted fraction must be at least 0 and below 0.95.");
    if (options.size_mb < 0 || options.size_mb > 2047)
        throw Error("The size must be between 0 and 2047 MB (Jet 4.0 files end at 2 GB).");
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        throw Error(Path_Text(path) + ": the file exists already; choose a new name.");
}

// Size as a straight line of the rows, from two small files.
struct Size_Model {
    double base = 0;
    double per_row = 1;
    std::uint64_t Rows_For(double bytes) const {
        return static_cast<std::uint64_t>(std::max(1.0, std::round((bytes - base) / per_row)));
    }
};

Size_Model Measure(const Generate_Options& options, const std::filesystem::path& path) {
    Generate_Options quiet = options;
    quiet.progress = {};
    const std::filesystem::path probe = path.string() + ".sizing";
    auto measure = [&](std::uint64_t rows) {
        Remove_Quietly(probe);
        Generate_Result r = Generate_Once(quiet, rows, probe);
        Remove_Quietly(probe);
        return static_cast<double>(r.bytes);
    };
    const std::uint64_t r1 = 200, r2 = 2000;
    const double s1 = measure(r1), s2 = measure(r2);
    Size_Model model;
    model.per_row = std::max(1.0, (s2 - s1) / static_cast<double>(r2 - r1));
    model.base = s1 - model.per_row * static_cast<double>(r1);
    return model;
}

// By size: guess the rows from two small files, then correct once or twice on the real
// thing, keeping a file within 5% of the target.
Generate_Result Generate_By_Size(const Generate_Options& options, const std::filesystem::path& path) {
    const double target = options.size_mb * 1024.0 * 1024.0;
    const Size_Model model = Measure(options, path);
    std::uint64_t rows = model.Rows_For(target);
    // Progress never goes back: the first try fills 70% of it, each further try part of the rest.
    double shown = 0, start = 0, width = 0.7;
    Generate_Options attempt_options = options;
    if (options.progress)
        attempt_options.progress = [&](double share) {
            shown = std::max(shown, start + width * share);
            options.progress(shown);
        };
    for (int attempt = 0;; ++attempt) {
        Generate_Result r = Generate_Once(attempt_options, rows, path);
        start = shown;
        width = (0.98 - start) / 2;
        const double size = static_cast<double>(r.bytes);
        if (std::fabs(size - target) <= 0.05 * target || attempt == 2) {
            if (options.progress) options.progress(1.0);
            return r;
        }
        Remove_Quietly(path);
        // Scale the rows' share of the size.
        const double row_bytes = std::max(1.0, size - model.base);
        rows = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::round(
                                              static_cast<double>(rows) * std::max(1.0, target - model.base) / row_bytes)));
    }
}

}  // namespace

std::vector<std::string> Generator_Profiles() { return generator::Profile_Names(); }

Generate_Result Generate_Database(const Generate_Options& options, const std::filesystem::path& path) {
    Check_Options(options, path);
    if (options.size_mb <= 0) return Generate_Once(options, options.rows == 0 ? 1000 : options.rows, path);
    return Generate_By_Size(options, path);
}

}  // namespace kelbrook::jet
