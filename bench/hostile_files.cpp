// Writes one of the crafted databases of tests/jet_reader/Hostile_Files.h, for
// bench/hostile-bench.
//   hostile_files shared-definitions OUT TABLES   copies of a table sharing 63 definition pages
//   hostile_files map-every-page OUT TABLES       every table's own map lists every page
//   hostile_files shared-chain OUT ROWS PAGES     every memo/OLE value on one chain of PAGES
//   hostile_files many-tables OUT TABLES          the sound file the first two start from
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "../tests/jet_reader/Hostile_Files.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: hostile_files shared-definitions|map-every-page|many-tables OUT TABLES\n"
                     "       hostile_files shared-chain OUT ROWS PAGES\n";
        return 2;
    }
    try {
        const std::string kind = argv[1];
        const std::filesystem::path out = argv[2];
        const auto count = std::stoull(argv[3]);
        const auto scratch = out.parent_path().empty() ? std::filesystem::path(".") : out.parent_path();
        if (kind == "shared-chain") {
            if (argc < 5) throw std::runtime_error("shared-chain needs ROWS and PAGES");
            hostile::Rows_Sharing_One_Chain(out, count, static_cast<std::uint32_t>(std::stoul(argv[4])));
        } else if (kind == "many-tables" || kind == "shared-definitions" || kind == "map-every-page") {
            hostile::Many_Tables(out, count, scratch);
            if (kind == "shared-definitions") hostile::Share_Definition_Pages(out);
            if (kind == "map-every-page") hostile::Map_Every_Page_Per_Table(out);
        } else {
            throw std::runtime_error("unknown kind " + kind);
        }
    } catch (const std::exception& e) {
        std::cerr << "hostile_files: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
