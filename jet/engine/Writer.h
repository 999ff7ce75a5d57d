// The writer: lays out a whole database, described logically, into a fresh Jet 4.0 file
// of full, sequential pages with exact usage maps and freshly built indexes. Both the
// compactor (from an existing file) and the generator (from nothing) describe their
// database as a Database_Image and hand it here. How the pages are laid out is
// Writer_Layout.h's part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "jet/file/File_Io.h"
#include "jet/index/Entry_Sorter.h"
#include "jet/row/Rows.h"

namespace kelbrook::jet {

// A memo or OLE value kept out of the row: the writer stores it on long-value pages and
// patches the 12-byte definition in the row (type flags and row pointer).
struct Long_Value_Image {
    std::uint16_t definition_offset = 0;  // where the 12-byte definition starts in the row
    std::uint16_t column_number = 0;      // the memo/OLE column it belongs to
    std::vector<std::uint8_t> value;      // the stored bytes, as they go on the LVAL pages
    bool loaded = true;                   // false: `value` is not read yet, `length` says how long
    std::uint32_t length = 0;
    std::vector<Long_Value_Piece> pieces; // instead of `value`: the bytes where a walk found them
    std::size_t Size() const {
        if (!loaded) return length;
        if (pieces.empty()) return value.size();
        std::size_t size = 0;
        for (const auto& piece : pieces) size += piece.bytes.size();
        return size;
    }
};

struct Row_Image {
    std::vector<std::uint8_t> bytes;  // the row exactly as stored on a data page
    std::vector<Long_Value_Image> long_values;
};

// The entries of one index (encoded keys without the row pointer, and the index of their
// row in the table's rows), added in any order: the writer reads them sorted. Entries
// held in memory beyond a Spill_Space's budget go to its file (see Entry_Sorter.h).
using Index_Image = Entry_Sorter;

using Row_Visitor = std::function<void(const Row_Image&)>;

// Where a table's rows come from when there are too many to hold in memory. The writer
// reads them twice: first for their sizes (`with_values` false: a long value may be left
// unloaded, its `length` given, and a row's `bytes` need only be as long as the row,
// whatever they hold) to lay out every page, then with every value loaded to write them.
// Both passes must see the same rows in the same order: the second trusts the layout
// made from the first. A row count or a size that differs makes the write fail; other
// changes would go unnoticed here (the compactor compares each written row with its
// source). The row handed to `visit` is valid only during the call.
class Row_Source {
public:
    virtual ~Row_Source() = default;
    virtual void Each_Row(const Row_Visitor& visit, bool with_values) = 0;
};

// A Row_Source that calls `each_row(visit, with_values)`.
template <class Function>
std::shared_ptr<Row_Source> Row_Source_Of(Function each_row) {
    class Function_Source final : public Row_Source {
    public:
        explicit Function_Source(Function f) : f_(std::move(f)) {}
        void Each_Row(const Row_Visitor& visit, bool with_values) override { f_(visit, with_values); }

    private:
        Function f_;
    };
    return std::make_shared<Function_Source>(std::move(each_row));
}

struct Table_Image {
    std::string name;
    // The logical table definition (first page in full plus the continuation pages less
    // their 8-byte headers), as it will be stored. The writer fills in every page pointer,
    // the page headers, num_rows, the usage-map references, index roots and statistics;
    // all other bytes (ids such as foreign-key table pages included) are the caller's.
    std::vector<std::uint8_t> definition;
    std::vector<Row_Image> rows;
    // When set, the rows are not held in `rows` but read from here, twice (see Row_Source).
    std::shared_ptr<Row_Source> source;
    std::vector<Index_Image> indexes;  // one per real index, in definition order; any order
                                       // of entries (the writer sorts)
};

// Every row of `table` in order, from `rows` or its source.
void Each_Row(const Table_Image& table, const Row_Visitor& visit, bool with_values = true);
// Brings a source's rows into `rows` (for callers that edit them); no-op otherwise.
void Load_Rows(Table_Image& table);

struct Database_Image {
    // Decoded page 0 (header obfuscation removed). The writer sets the database key and
    // the masked password bytes, then re-applies the obfuscation.
    std::array<std::uint8_t, 4096> header{};
    std::string password;           // empty: none
    std::uint32_t database_key = 0; // non-zero: every page after the first is encoded
    // tables[0] must be MSysObjects; table definitions are laid out first, from page 2,
    // in this order (see Definition_Pages).
    std::vector<Table_Image> tables;
};

// The page each table's definition will start on, given the definition lengths in table
// order: callers need these before writing, because table ids are definition pages.
std::vector<std::uint32_t> Definition_Pages(const std::vector<std::size_t>& definition_lengths);

struct Write_Result {
    std::uint32_t pages = 0;
};

// Writes the image to `path` (which must not exist) through `files`. Throws Error on
// failure, leaving no file behind. With `to_disk` false the file is left to the page
// cache: the caller makes it durable (Flush_To_Disk) before relying on it.
Write_Result Write_Database(const Database_Image& image, const std::filesystem::path& path,
                            const std::function<void(double)>& progress = {}, bool to_disk = true,
                            const File_System& files = Host_Files());

}  // namespace kelbrook::jet
