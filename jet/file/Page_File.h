// The page layer: a Jet 4.0 file opened read-only as numbered 4096-byte pages.
// Opening reads and decodes page 0 (header obfuscation removed) into a Database_Header:
// format version (Jet 3 and ACE files are refused), code page, sort order, creation date,
// database key and password. Pages come through a Page_Store (Page_Store.h), which
// decodes the pages of encoded databases (key != 0). When the file is mapped and its
// pages are not encoded, Read() hands out the mapped page itself; otherwise pages are
// read on demand through a small cache (read ahead in runs when read from a descriptor,
// one at a time from a mapping), so memory stays bounded whatever the file size; an
// encoded page read ahead is decoded only once it is asked for (a run holds other tables'
// pages too), with the next when that is the same owner's (two decode at once). Read()
// hands out shared, immutable page buffers that stay valid and unchanged while held, on
// any thread, even after the Page_File is gone (a cache buffer still held is never
// reused). Fail() builds the engine's error text: "<file>: page N: <what>".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jet/util/Error.h"
#include "jet/file/File_Io.h"
#include "jet/file/Format.h"
#include "jet/file/Page_Store.h"

namespace kelbrook::jet {

using Page = std::array<std::uint8_t, format::Page_Size>;
using Page_Ref = std::shared_ptr<const Page>;

struct Database_Header {
    std::uint8_t version = 0;
    std::uint16_t code_page = 0;
    std::uint16_t sort_order = 0;          // LCID, 1033 = General
    std::uint8_t sort_order_version = 0;
    double creation_date = 0;              // OLE automation days
    std::uint32_t database_key = 0;        // 0: pages not encoded
    std::string password;                  // UTF-8, empty: none set
    Page decoded{};                        // page 0 with the obfuscation removed
};

// Decodes a raw page 0 (as read from the file). `file` names the file in messages.
// Throws Error for anything but a Jet 4.0 header.
Database_Header Parse_Header(std::span<const std::uint8_t> raw_page0, const std::string& file);

class Page_File {
public:
    // Opens `path` read-only through `files`; with `password` non-empty or the database
    // protected, the password must match (else Password_Error).
    Page_File(const std::filesystem::path& path, const std::string& password = {},
              const File_System& files = Host_Files());
    Page_File(const Page_File&) = delete;
    Page_File& operator=(const Page_File&) = delete;

    const Database_Header& Header() const { return header_; }
    std::uint32_t Page_Count() const { return page_count_; }
    const std::filesystem::path& Path() const { return path_; }
    // The path as UTF-8 text, for messages.
    std::string Name() const {
        auto text = path_.u8string();
        return std::string(text.begin(), text.end());
    }

    // The decoded page; throws Error when out of range or unreadable.
    Page_Ref Read(std::uint32_t page) const;
    // Whether pages read are the file's own mapped bytes; otherwise they are read (and
    // decoded) into buffers of this handle's cache.
    bool Pages_In_Place() const { return store_.In_Place(); }
    // Throws the Error a read would if another program has cut the file short since it
    // was mapped: bytes held from its pages may then read as zeros (File_Io.h).
    void Check_Not_Cut_Short() const;

    // The table definition page that owns data page `page`, or No_Table when the page is
    // not a table's data page (another type, a long-value page). Remembered for every page
    // read, so that walks over usage maps that list pages of other tables (or every page
    // of the file) need not read those pages again: 4 bytes a page of the file.
    static constexpr std::uint32_t No_Table = 0xFFFFFFFF;
    std::uint32_t Data_Page_Table(std::uint32_t page) const;

    [[noreturn]] void Fail(std::uint32_t page, const std::string& what,
                           Error_Kind kind = Error_Kind::Corrupt) const;
    [[noreturn]] void Fail(const std::string& what) const;

private:
    std::filesystem::path path_;
    std::shared_ptr<const Read_File> file_;  // shared with the pages handed out in place
    Page_Store store_;
    std::uint32_t page_count_ = 0;
    Database_Header header_;
    static constexpr std::size_t Cache_Slots = 512;
    static constexpr std::uint32_t Read_Ahead_Pages = 32;  // per read when pages come in order
    mutable std::uint32_t run_end_ = UINT32_MAX;   // the page after the last run read ahead
    mutable std::uint32_t last_end_ = UINT32_MAX;  // the page after the last one read
    static constexpr std::uint32_t No_Page = 0xFFFFFFFF;
    struct Slot {
        std::uint32_t page = No_Page;
        std::shared_ptr<Page> data;  // reused for another page once no reader holds it
        bool stored = false;         // as the file stores it, not yet decoded: never handed out so
    };
    mutable std::vector<Slot> cache_;
    static constexpr std::uint32_t Owner_Unknown = 0xFFFFFFFE;
    static constexpr std::size_t Owner_Head = format::Data_Tdef_Page + 4;  // the bytes that tell a page's owner
    mutable std::vector<std::uint32_t> owners_;  // per page: Data_Page_Table, or Owner_Unknown
    // Pages read from a mapping (handed out in place, or decoded) since it last gave its
    // memory back: every Release_Pages of them it does, so that a walk over a large file
    // keeps few resident.
    static constexpr std::uint32_t Release_Pages = 256;
    mutable std::uint32_t mapped_reads_ = 0;
    void Count_Mapped_Read() const;
    void Note_Owner(std::uint32_t page, std::span<const std::uint8_t> head) const;
    Page_Ref Read_In_Place(std::uint32_t page) const;
    Page_Ref Read_Into_Cache(std::uint32_t page) const;
    void Decode_Slot(std::uint32_t page) const;
};

}  // namespace kelbrook::jet
