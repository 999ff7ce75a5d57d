// A fresh temporary folder standing for drive C: while the object lives; removed, and the
// build's drive C: restored, when it goes. Helpers read and write files by C: path.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/Drive_Mapping.h"

namespace kelbrook::testing {

class Temp_Drive {
public:
    Temp_Drive() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelbrook-drive-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
        root_ = pattern;
        platform::Set_Drive_C_Folder(root_);
    }
    ~Temp_Drive() {
        platform::Set_Drive_C_Folder(std::nullopt);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    Temp_Drive(const Temp_Drive&) = delete;
    Temp_Drive& operator=(const Temp_Drive&) = delete;

    const std::filesystem::path& Root() const { return root_; }

    // The host path of a C: path spelled exactly as given (no case-blind lookup).
    std::filesystem::path Host(const std::string& windows_path) const {
        std::string rest = windows_path.substr(2);
        for (char& c : rest) {
            if (c == '\\') c = '/';
        }
        while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
        return root_ / rest;
    }

    void Make_Folder(const std::string& windows_path) const { std::filesystem::create_directories(Host(windows_path)); }

    void Write(const std::string& windows_path, const std::string& content) const {
        const std::filesystem::path path = Host(windows_path);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    }

    bool Exists(const std::string& windows_path) const { return std::filesystem::exists(Host(windows_path)); }

    std::string Read(const std::string& windows_path) const {
        std::ifstream in(Host(windows_path), std::ios::binary);
        if (!in) return "<absent>";
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path root_;
};

}  // namespace kelbrook::testing
