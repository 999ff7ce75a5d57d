// A fresh folder under the system's temp folder for one test, with a name no other run
// picks; removed, with everything in it, when the object goes.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace kelbrook::testing {

class Temp_Folder {
public:
    Temp_Folder() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("kelbrook-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~Temp_Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    Temp_Folder(const Temp_Folder&) = delete;
    Temp_Folder& operator=(const Temp_Folder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace kelbrook::testing
