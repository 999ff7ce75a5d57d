// Crafted databases that cost a careless reader far more than their size: built from a
// generated database, then patched byte by byte (no password, pages not encoded).
//   Many_Tables                   the every-type database with `clones` empty copies of
//                                 its Categories table, laid out by the writer (sound)
//   Share_Definition_Pages        every copy's definition continues on the same 63 pages
//                                 and declares itself that long
//   Map_Every_Page_Per_Table      every table's page map is a map of its own that lists
//                                 every page of the file
//   Rows_Sharing_One_Chain        every memo/OLE value of a table points at one long chain
// Used by the tests (small sizes) and by bench/hostile_files (the sizes the benchmark
// measures). No test framework here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/engine/Compactor.h"
#include "jet/engine/Database.h"
#include "jet/file/Format.h"
#include "jet/generator/Generator.h"
#include "jet/index/Key_Encoding.h"
#include "jet/engine/Writer.h"

namespace hostile {

namespace fs = std::filesystem;
namespace jet = kelbrook::jet;
namespace fmt = kelbrook::jet::format;
using Bytes = std::vector<std::uint8_t>;

inline Bytes Load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void Save(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}
inline std::size_t At(std::uint32_t page, std::size_t offset = 0) {
    return static_cast<std::size_t>(page) * fmt::Page_Size + offset;
}
inline std::uint32_t Page_Count(const Bytes& b) { return static_cast<std::uint32_t>(b.size() / fmt::Page_Size); }

// Appends a data page (type 0x01) owned by `owner` (4 bytes at Data_Tdef_Page) holding
// `rows`, laid from the end of the page down; gives its number.
inline std::uint32_t Append_Data_Page(Bytes& b, std::uint32_t owner, const std::vector<Bytes>& rows) {
    const std::uint32_t page = Page_Count(b);
    b.resize(b.size() + fmt::Page_Size, 0);
    const std::size_t base = At(page);
    b[base] = fmt::Page_Type_Data;
    b[base + 1] = 0x01;
    jet::Put_U32(b, base + fmt::Data_Tdef_Page, owner);
    jet::Put_U16(b, base + fmt::Data_Row_Count, static_cast<std::uint16_t>(rows.size()));
    std::size_t end = fmt::Page_Size;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t start = end - rows[r].size();
        if (start < fmt::Data_Row_Table + fmt::Data_Row_Slot_Size * rows.size()) throw std::runtime_error("rows do not fit");
        std::copy(rows[r].begin(), rows[r].end(), b.begin() + static_cast<std::ptrdiff_t>(base + start));
        jet::Put_U16(b, base + fmt::Data_Row_Table + fmt::Data_Row_Slot_Size * r, static_cast<std::uint16_t>(start));
        end = start;
    }
    jet::Put_U16(b, base + fmt::Data_Free_Space,
                 static_cast<std::uint16_t>(end - fmt::Data_Row_Table - fmt::Data_Row_Slot_Size * rows.size()));
    return page;
}

// "T000…0k", as long as `length` characters (names made of digits and a letter whose
// General sort codes the key encoder knows).
inline std::string Clone_Name(std::size_t k, std::size_t length) {
    std::string digits = std::to_string(k);
    if (digits.size() + 1 > length) throw std::runtime_error("too many copies for the name's length");
    return "T" + std::string(length - 1 - digits.size(), '0') + digits;
}

inline jet::Field_Value Key_Value(const jet::Value& v) {
    using K = jet::Value::Kind;
    switch (v.kind) {
        case K::Null: return std::monostate{};
        case K::Boolean: return v.integer != 0;
        case K::Text:
        case K::Memo: return v.text;
        case K::Float:
        case K::Double:
        case K::Datetime: return v.real;
        case K::Binary:
        case K::Ole: return v.bytes;
        default: return v.integer;
    }
}

// The every-type database (10 rows, no history) with `clones` empty copies of its table
// Categories, each with its catalogue row and index entries, written by the writer.
inline void Many_Tables(const fs::path& out, std::size_t clones, const fs::path& scratch) {
    const fs::path base = scratch / "many-tables-base.mdb";
    fs::remove(base);
    jet::Generate_Options g;
    g.profile = "every-type";
    g.rows = 10;
    g.deleted_fraction = 0;
    jet::Generate_Database(g, base);
    {
        jet::Database db(base);
        jet::Source_Image source = jet::Read_Source_Image(db);
        auto& tables = source.image.tables;
        jet::Load_Rows(tables[0]);  // MSysObjects, ids already those of the new layout
        const auto& catalog = db.Definition(fmt::Catalog_Tdef_Page);
        const std::size_t model = static_cast<std::size_t>(
            std::find_if(tables.begin(), tables.end(), [](const jet::Table_Image& t) { return t.name == "Categories"; }) -
            tables.begin());
        if (model == tables.size()) throw std::runtime_error("no table Categories");
        std::vector<std::size_t> lengths;
        for (const auto& t : tables) lengths.push_back(t.definition.size());
        lengths.insert(lengths.end(), clones, tables[model].definition.size());
        const auto pages = jet::Definition_Pages(lengths);

        auto column = [&](const char* name) {
            const jet::Column* c = catalog.Find_Column(std::string(name));
            if (!c) throw std::runtime_error(std::string("MSysObjects has no column ") + name);
            return static_cast<std::size_t>(c - catalog.columns.data());
        };
        const std::size_t id = column("Id"), name = column("Name"), type = column("Type");
        const auto fields_of = [&](const Bytes& row) { return jet::Split_Row(catalog, row, "catalogue row"); };
        std::size_t model_row = SIZE_MAX;
        for (std::size_t r = 0; r < tables[0].rows.size(); ++r) {
            const auto f = fields_of(tables[0].rows[r].bytes);
            const auto& bytes = tables[0].rows[r].bytes;
            if (!f[id].null && jet::Get_U32(bytes, f[id].offset) == pages[model] && !f[type].null &&
                jet::Get_U16(bytes, f[type].offset) == fmt::Object_Type_Table)
                model_row = r;
        }
        if (model_row == SIZE_MAX) throw std::runtime_error("no catalogue row for Categories");

        const jet::Row_Image model_image = tables[0].rows[model_row];
        const jet::Table_Image model_table = tables[model];
        for (std::size_t k = 0; k < clones; ++k) {
            const std::uint32_t page = pages[tables.size()];
            jet::Row_Image row = model_image;
            const auto f = fields_of(row.bytes);
            jet::Put_U32(row.bytes, f[id].offset, page);
            const bool compressed = f[name].length >= 2 && row.bytes[f[name].offset] == 0xFF &&
                                    row.bytes[f[name].offset + 1] == 0xFE;
            const std::size_t chars = compressed ? f[name].length - 2 : f[name].length / 2;
            const std::string text = Clone_Name(k, chars);
            for (std::size_t i = 0; i < chars; ++i) {
                if (compressed) {
                    row.bytes[f[name].offset + 2 + i] = static_cast<std::uint8_t>(text[i]);
                } else {
                    row.bytes[f[name].offset + 2 * i] = static_cast<std::uint8_t>(text[i]);
                    row.bytes[f[name].offset + 2 * i + 1] = 0;
                }
            }
            jet::Live_Row live;
            live.bytes = row.bytes;
            const auto values = jet::Decode_Row(catalog, live, "catalogue row");
            const auto number = static_cast<std::uint32_t>(tables[0].rows.size());
            for (std::size_t i = 0; i < catalog.real_indexes.size(); ++i) {
                Bytes key;
                for (const auto& ic : catalog.real_indexes[i].columns) {
                    const jet::Column* c = catalog.Find_Column(ic.column_number);
                    const auto at = static_cast<std::size_t>(c - catalog.columns.data());
                    jet::Append_Key_Part(key, c->type, Key_Value(values[at]), ic.Ascending());
                }
                tables[0].indexes[i].Add(key, number);
            }
            tables[0].rows.push_back(std::move(row));
            jet::Table_Image clone;
            clone.name = text;
            clone.definition = model_table.definition;
            clone.indexes.resize(model_table.indexes.size());
            tables.push_back(std::move(clone));
        }
        fs::remove(out);
        jet::Write_Database(source.image, out, {}, false);
    }
    fs::remove(base);
}

// The copies' definitions (tables named T…) all continue on the same 63 appended
// continuation pages, and each declares the whole chain as its length.
inline void Share_Definition_Pages(const fs::path& path) {
    std::vector<std::uint32_t> firsts;
    {
        jet::Database db(path);
        for (const auto& t : db.Tables(false))
            if (t.name.starts_with("T0") && db.Definition(t).pages.size() == 1) firsts.push_back(t.Page());
    }
    Bytes b = Load(path);
    constexpr std::uint32_t chain = 63;
    const std::uint32_t first = Page_Count(b);
    b.resize(b.size() + std::size_t{chain} * fmt::Page_Size, 0);
    for (std::uint32_t k = 0; k < chain; ++k) {
        b[At(first + k)] = fmt::Page_Type_Tdef;
        b[At(first + k, 1)] = 0x01;
        jet::Put_U32(b, At(first + k, fmt::Tdef_Next_Page), k + 1 < chain ? first + k + 1 : 0);
    }
    const std::uint32_t length = fmt::Page_Size + chain * (fmt::Page_Size - fmt::Tdef_Page_Header_Size);
    for (std::uint32_t p : firsts) {
        jet::Put_U32(b, At(p, fmt::Tdef_Next_Page), first);
        jet::Put_U32(b, At(p, fmt::Tdef_Length), length);
    }
    Save(path, b);
}

// Every table gets a page map of its own (an inline map on appended host pages) that
// lists every page of the file.
inline void Map_Every_Page_Per_Table(const fs::path& path) {
    std::vector<std::uint32_t> definitions;
    {
        jet::Database db(path);
        for (const auto& t : db.Tables(true)) definitions.push_back(t.Page());
    }
    Bytes b = Load(path);
    // Host pages needed, and with them the file's final page count (a fixed point).
    std::uint32_t total = Page_Count(b), hosts = 0;
    std::size_t row_bytes = 0, per_page = 0;
    for (;;) {
        row_bytes = fmt::Map_Inline_Bitmap + (total + 7) / 8;
        per_page = std::min<std::size_t>(fmt::Max_Rows_Per_Page,
                                         (fmt::Page_Size - fmt::Data_Row_Table) / (row_bytes + fmt::Data_Row_Slot_Size));
        if (per_page == 0) throw std::runtime_error("the file is too large for inline maps");
        const auto needed = static_cast<std::uint32_t>((definitions.size() + per_page - 1) / per_page);
        if (Page_Count(b) + needed == total) {
            hosts = needed;
            break;
        }
        total = Page_Count(b) + needed;
    }
    Bytes map(row_bytes, 0);
    map[0] = fmt::Map_Type_Inline;
    for (std::uint32_t p = 0; p < total; ++p) map[fmt::Map_Inline_Bitmap + p / 8] |= static_cast<std::uint8_t>(1u << (p % 8));
    std::size_t next = 0;
    for (std::uint32_t h = 0; h < hosts; ++h) {
        const std::size_t count = std::min(per_page, definitions.size() - next);
        const std::uint32_t host = Append_Data_Page(b, 0, std::vector<Bytes>(count, map));
        for (std::size_t r = 0; r < count; ++r, ++next)
            jet::Put_Row_Pointer(b, At(definitions[next], fmt::Tdef_Owned_Map),
                                 jet::Row_Pointer{host, static_cast<std::uint8_t>(r)});
    }
    Save(path, b);
}

// The every-type database with `rows` rows (no history) whose memo/OLE values kept out of
// their rows all point at one appended chain of `chain_pages` long-value pages.
inline void Rows_Sharing_One_Chain(const fs::path& out, std::uint64_t rows, std::uint32_t chain_pages) {
    fs::remove(out);
    jet::Generate_Options g;
    g.profile = "every-type";
    g.rows = rows;
    g.deleted_fraction = 0;
    jet::Generate_Database(g, out);
    std::vector<std::size_t> definitions;  // file offsets of the 12-byte definitions
    Bytes b = Load(out);
    {
        jet::Database db(out);
        for (const auto& t : db.Tables(false))
            db.Rows(db.Definition(t), [&](const jet::Live_Row& row) {
                const std::size_t slot = At(row.header.page, fmt::Data_Row_Table + fmt::Data_Row_Slot_Size * row.header.row);
                const std::uint16_t raw = jet::Get_U16(b, slot);
                if (raw & fmt::Row_Flag_Overflow) return;
                for (const auto& lv : row.long_values)
                    if (lv.storage != fmt::Long_Value_Inline)
                        definitions.push_back(At(row.header.page, raw & fmt::Row_Offset_Mask) + lv.definition_offset);
            }, jet::Long_Values::Skip);
    }
    const std::uint32_t first = Page_Count(b);
    const std::size_t chunk = fmt::Page_Size - fmt::Data_Row_Table - fmt::Data_Row_Slot_Size;  // one row a page
    for (std::uint32_t k = 0; k < chain_pages; ++k) {
        Bytes row(chunk, static_cast<std::uint8_t>('a' + k % 26));
        jet::Put_Row_Pointer(row, 0, k + 1 < chain_pages ? jet::Row_Pointer{first + k + 1, 0} : jet::Row_Pointer{});
        Append_Data_Page(b, jet::Get_U32(fmt::Lval_Signature, 0), {row});
    }
    const auto length = static_cast<std::uint32_t>(chain_pages * (chunk - fmt::Long_Value_Chain_Link));
    for (std::size_t d : definitions) {
        jet::Put_U32(b, d + fmt::Long_Value_Length, length & fmt::Long_Value_Length_Mask);  // chain: flags 0
        jet::Put_Row_Pointer(b, d + fmt::Long_Value_Pointer, jet::Row_Pointer{first, 0});
    }
    Save(out, b);
}

}  // namespace hostile
