// What both fuzz targets share: a scratch folder of this process (removed at exit), the
// input written there as a database file padded to whole pages, and the password its
// header carries, so that protected inputs are read past the password check.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "jet/util/Error.h"
#include "jet/file/Format.h"
#include "jet/file/Page_File.h"

namespace fuzz_scratch {

namespace fs = std::filesystem;

inline const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path p = fs::temp_directory_path() / ("kelbrook-fuzz-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::remove_all(p, ec);
        fs::create_directories(p);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(Folder(), ignored);
        });
        return p;
    }();
    return folder;
}

// Writes the input to `name` in the scratch folder, padded to whole pages.
inline fs::path Write_Input(const std::uint8_t* data, std::size_t size, const std::string& name) {
    namespace format = kelbrook::jet::format;
    std::vector<char> bytes(data, data + size);
    bytes.resize((size + format::Page_Size - 1) / format::Page_Size * format::Page_Size, 0);
    const fs::path path = Folder() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// The password the input's header holds (empty when none or no header).
inline std::string Header_Password(const std::uint8_t* data, std::size_t size) {
    try {
        return kelbrook::jet::Parse_Header(std::span<const std::uint8_t>(data, size), "input").password;
    } catch (const kelbrook::jet::Error&) {
        return {};
    }
}

}  // namespace fuzz_scratch
