// Edits pages of a finished database in place, through the engine's page store (the one
// place pages are encoded and decoded). A few dozen pages are held, changed ones written
// back when they make room and at Finish, so that edits scattered over a large file cost
// a page read and write each at most while memory stays small.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "jet/file/File_Io.h"
#include "jet/file/Format.h"
#include "jet/file/Page_Store.h"

namespace kelbrook::jet::generator {

using Page_Buffer = std::array<std::uint8_t, format::Page_Size>;

class Page_Editor {
public:
    // Opens the existing `path` through `files` to read and write; `key` is the database key.
    Page_Editor(const File_System& files, const std::filesystem::path& path, std::uint32_t key);

    std::uint32_t Pages() const { return pages_; }
    // The path as UTF-8 text, for messages.
    const std::string& Name() const { return file_->Name(); }
    // The decoded page. The reference holds until the next Read or Edit.
    const Page_Buffer& Read(std::uint32_t page);
    // The decoded page, to change; it goes back to the file later. The reference holds
    // until the next Read or Edit.
    Page_Buffer& Edit(std::uint32_t page);
    // Writes every changed page, makes the file durable and closes it.
    void Finish();

    // Throws Error: "<file>: page N: <what>".
    [[noreturn]] void Fail(std::uint32_t page, const std::string& what) const;

private:
    static constexpr std::size_t Slots = 64;
    struct Slot {
        std::uint32_t page = 0;
        bool dirty = false;
        std::uint64_t used = 0;  // when last asked for
        Page_Buffer bytes{};
    };
    Slot& Load(std::uint32_t page);
    void Write_Back(Slot& slot);

    std::unique_ptr<Write_File> file_;
    Page_Store store_;
    std::uint32_t pages_ = 0;
    std::vector<Slot> slots_;
    std::unordered_map<std::uint32_t, std::size_t> where_;  // page -> slot
    std::uint64_t clock_ = 0;
};

}  // namespace kelbrook::jet::generator
