// CompactDatabase: a logical rebuild. Everything that is data is copied byte for byte
// (table definitions, rows, long values, index keys); everything that is a pointer or a
// container is made afresh by the writer (pages, usage maps, index trees, counts). The
// only values that change are the ids of tables, because a table's id is the page of its
// definition and definitions move: MSysObjects.Id, MSysACEs.ObjectId, the navigation-pane
// id columns, foreign-key table pages, and the index keys built on those columns.
//
// The output is written beside the destination under a temporary name, read back and
// compared with the source, and only then renamed into place.
#include "jet/Compactor.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <system_error>

#include "jet/Bytes.h"
#include "jet/Check.h"
#include "jet/Connection_String.h"
#include "jet/Database.h"
#include "jet/Digest.h"
#include "jet/Error.h"
#include "jet/File_Output.h"
#include "jet/Format.h"
#include "jet/Index.h"
#include "jet/Writer.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

// Columns that hold table ids, by table (names as Jet and Access create them).
struct Id_Column {
    const char* table;
    const char* column;
    bool only_tables;  // MSysObjects.Id: only rows describing local tables
};
constexpr Id_Column Id_Columns[] = {
    {"MSysObjects", "Id", true},
    {"MSysACEs", "ObjectId", false},
    {"MSysNavPaneObjectIDs", "Id", false},
    {"MSysNavPaneGroupToObjects", "ObjectID", false},
    {"MSysNavPaneGroups", "ObjectID", false},
};

bool Same_Name(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The 5-byte key of a non-null int32 column.
void Encode_Int32_Key(std::uint8_t* at, std::int32_t value, bool ascending) {
    const std::uint32_t v = static_cast<std::uint32_t>(value) ^ 0x80000000u;
    at[0] = ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending;
    for (int i = 0; i < 4; ++i) {
        const auto b = static_cast<std::uint8_t>(v >> (24 - 8 * i));
        at[1 + i] = ascending ? b : static_cast<std::uint8_t>(~b);
    }
}

// ---- What a table looks like, to compare source and output ---------------------------

struct Table_Summary {
    std::string name;
    std::uint64_t rows = 0;
    std::vector<std::uint64_t> hashes;  // per row, in row order: hash of its decoded values
};

std::uint32_t Derived_Key(const Database_Header& header) {
    // A fixed function of the database's creation date, so the same source and options
    // give the same bytes; never 0 (0 means "not encoded").
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < 8; ++i) {
        h ^= header.decoded[f::Header_Creation_Date + i];
        h *= 16777619u;
    }
    return h == 0 ? 0x4B454C42u : h;
}

std::filesystem::path Resolve(const Compact_Options& options, const std::string& text) {
    if (options.resolve_path) return options.resolve_path(text);
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

Source_Image Read_Source_Image(const Database& db, const std::function<void(double)>& progress) {
    Source_Image result;
    // Tables in their new order: MSysObjects first, then by old definition page.
    std::vector<Catalog_Entry> tables = db.Tables(true);
    std::stable_sort(tables.begin(), tables.end(), [](const Catalog_Entry& a, const Catalog_Entry& b) {
        const bool ca = a.Page() == f::Catalog_Tdef_Page, cb = b.Page() == f::Catalog_Tdef_Page;
        if (ca != cb) return ca;
        return a.Page() < b.Page();
    });
    {
        std::set<std::uint32_t> pages;
        for (const auto& t : tables)
            if (!pages.insert(t.Page()).second)
                throw Error(db.Name() + ": the catalogue lists the table definition on page " +
                            std::to_string(t.Page()) + " twice.");
    }
    if (tables.empty() || tables.front().Page() != f::Catalog_Tdef_Page)
        throw Error(db.Name() + ": the catalogue does not describe MSysObjects on page 2.");

    std::vector<const Table_Definition*> definitions;
    std::vector<std::size_t> lengths;
    for (const auto& t : tables) {
        definitions.push_back(&db.Definition(t));
        lengths.push_back(definitions.back()->bytes.size());
    }
    result.definition_pages = Definition_Pages(lengths);
    const auto& new_pages = result.definition_pages;
    std::map<std::uint32_t, std::uint32_t> id_map;  // old table id -> new
    for (std::size_t i = 0; i < tables.size(); ++i) id_map[tables[i].Page()] = new_pages[i];
    auto remap = [&](std::int32_t id) -> std::int32_t {
        auto it = id_map.find(static_cast<std::uint32_t>(id));
        return it == id_map.end() ? id : static_cast<std::int32_t>(it->second);
    };

    Database_Image& image = result.image;
    image.header = db.Header().decoded;
    image.password = db.Header().password;
    image.database_key = db.Header().database_key;
    image.tables.resize(tables.size());
    result.row_hashes.resize(tables.size());

    for (std::size_t t = 0; t < tables.size(); ++t) {
        const Table_Definition& def = *definitions[t];
        const std::string where = db.Name() + ": table '" + tables[t].name + "'";
        Table_Image& out = image.tables[t];
        out.name = tables[t].name;
        out.definition = def.bytes;
        // Foreign keys name the other table by its definition page.
        for (const auto& li : def.logical_indexes)
            if (li.Is_Foreign_Key() && li.related_table_page != 0)
                Put_U32(out.definition, li.related_table_offset(),
                        static_cast<std::uint32_t>(remap(static_cast<std::int32_t>(li.related_table_page))));

        // Id columns of this table, if it is one of the catalogue tables that hold ids.
        const Column* id_column = nullptr;
        bool only_tables = false;
        const Column* type_column = nullptr;
        for (const auto& ic : Id_Columns)
            if (Same_Name(out.name, ic.table)) {
                const Column* c = def.Find_Column(std::string(ic.column));
                if (c && c->type == f::Type_Int32) {  // fixed, or (nav-pane tables) variable
                    id_column = c;
                    only_tables = ic.only_tables;
                    if (only_tables) type_column = def.Find_Column(std::string("Type"));
                }
            }

        std::map<Row_Pointer, std::uint32_t> row_of;  // source header slot -> row index
        std::vector<std::int32_t> new_ids;            // per row, when the id column changed
        std::vector<bool> id_changed;
        auto& hashes = result.row_hashes[t];
        db.Rows(def, [&](const Live_Row& live) {
            Row_Image row;
            row.bytes = live.bytes;
            for (const auto& lv : live.long_values)
                if (lv.storage != f::Long_Value_Inline)
                    row.long_values.push_back({lv.definition_offset, lv.column_number, lv.value});
            bool changed = false;
            std::int32_t id = 0;
            if (id_column) {
                const std::string row_where = where + ", row on page " + std::to_string(live.header.page);
                const auto fields = Split_Row(def, live.bytes, row_where);
                const auto index = static_cast<std::size_t>(id_column - def.columns.data());
                const Field& field = fields[index];
                bool eligible = !field.null && field.length == 4;
                if (eligible && only_tables) {
                    eligible = false;
                    if (type_column) {
                        const Field& tf = fields[static_cast<std::size_t>(type_column - def.columns.data())];
                        if (!tf.null && tf.length == 2)
                            eligible = static_cast<std::int16_t>(Get_U16(live.bytes, tf.offset)) ==
                                       f::Object_Type_Table;
                    }
                }
                if (eligible) {
                    id = static_cast<std::int32_t>(Get_U32(live.bytes, field.offset));
                    const std::int32_t to = remap(id);
                    if (to != id) {
                        Put_U32(row.bytes, field.offset, static_cast<std::uint32_t>(to));
                        changed = true;
                        id = to;
                    }
                }
            }
            row_of[live.header] = static_cast<std::uint32_t>(out.rows.size());
            id_changed.push_back(changed);
            new_ids.push_back(id);
            if (changed) {
                Live_Row patched = live;
                patched.bytes = row.bytes;
                hashes.push_back(Row_Hash(def, db.Decode(def, patched)));
            } else {
                hashes.push_back(Row_Hash(def, db.Decode(def, live)));
            }
            out.rows.push_back(std::move(row));
        });

        // Indexes: the source's own keys, with new row numbers.
        for (const auto& ri : def.real_indexes) {
            Index_Image index;
            std::vector<Index_Entry> entries;
            if (ri.root != 0)
                Walk_Index(db.File(), def, ri, [&](const Index_Entry& e) { entries.push_back(e); });
            const bool keyed_on_id = id_column && !ri.columns.empty() &&
                                     ri.columns.front().column_number == id_column->number;
            std::vector<std::uint32_t> hits(out.rows.size(), 0);
            for (auto& e : entries) {
                auto it = row_of.find(e.row);
                if (it == row_of.end()) continue;  // a stale entry: its row is gone
                const std::uint32_t r = it->second;
                if (keyed_on_id && id_changed[r] && e.key.size() >= 5 &&
                    (e.key[0] == f::Key_Flag_Ascending || e.key[0] == f::Key_Flag_Descending))
                    Encode_Int32_Key(e.key.data(), new_ids[r], e.key[0] == f::Key_Flag_Ascending);
                ++hits[r];
                index.entries.push_back({std::move(e.key), r});
            }
            for (std::uint32_t r = 0; r < hits.size(); ++r) {
                if (hits[r] > 1)
                    throw Error(where + ": index " + std::to_string(ri.number) +
                                " lists a row more than once; the database needs repair.");
                if (hits[r] == 0 && !ri.Ignore_Nulls())
                    throw Error(where + ": index " + std::to_string(ri.number) +
                                " misses a row; the database needs repair.");
            }
            out.indexes.push_back(std::move(index));
        }

        if (progress) progress(static_cast<double>(t + 1) / static_cast<double>(tables.size()));
    }

    result.old_pages.reserve(tables.size());
    for (const auto& t : tables) result.old_pages.push_back(t.Page());
    return result;
}

Compact_Result CompactDatabase(const std::string& source_connection,
                               const std::string& destination_connection,
                               const Compact_Options& options) {
    auto progress = [&](double share) {
        if (options.progress) options.progress(share);
    };
    const Source_Request source = Interpret_Source(Parse_Connection_String(source_connection));
    const Destination_Request destination =
        Interpret_Destination(Parse_Connection_String(destination_connection), source);
    const std::filesystem::path source_path = Resolve(options, source.data_source);
    const std::filesystem::path destination_path = Resolve(options, destination.data_source);

    std::error_code ec;
    const auto source_status = std::filesystem::status(source_path, ec);
    if (!std::filesystem::is_regular_file(source_status))
        throw Error("Could not find file '" + source.data_source + "'.");
    if (std::filesystem::exists(std::filesystem::symlink_status(destination_path, ec)))
        throw Error("Database already exists.");
    {
        const auto folder = destination_path.parent_path();
        if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
            throw Error("'" + destination.data_source +
                        "' is not a valid path. Make sure that the path name is spelled correctly "
                        "and that you are connected to the server on which the file resides.");
    }

    // Open the source read-only; a bad header is an unrecognised format.
    try {
        Page_File probe(source_path, source.password);
    } catch (const Password_Error&) {
        throw;
    } catch (const Error& e) {
        throw Error("Unrecognized database format '" + source.data_source + "'. (" + e.what() + ")");
    }
    auto db = std::make_unique<Database>(source_path, source.password);
    const Database_Header& header = db->Header();
    if (source.locale && *source.locale != header.sort_order)
        throw Error("Locale Identifier " + std::to_string(*source.locale) +
                    " does not match the database's own (" + std::to_string(header.sort_order) +
                    "); changing the sort order is not supported.");
    if (destination.locale && *destination.locale != header.sort_order)
        throw Error("Locale Identifier " + std::to_string(*destination.locale) +
                    " is not supported for the new database; only the source's own (" +
                    std::to_string(header.sort_order) + ") can be kept.");
    const std::uint32_t pages_before = db->File().Page_Count();

    Source_Image source_image = Read_Source_Image(*db, [&](double share) { progress(0.5 * share); });
    Database_Image& image = source_image.image;
    const auto& new_pages = source_image.definition_pages;
    image.password = destination.password;
    const bool encrypt = destination.encrypt.value_or(header.database_key != 0);
    image.database_key = !encrypt ? 0 : header.database_key != 0 ? header.database_key : Derived_Key(header);
    std::vector<Table_Summary> expected(image.tables.size());
    for (std::size_t t = 0; t < image.tables.size(); ++t) {
        expected[t].name = image.tables[t].name;
        expected[t].rows = image.tables[t].rows.size();
        expected[t].hashes = std::move(source_image.row_hashes[t]);
    }
    const auto& tables = image.tables;
    db.reset();  // the source is closed before anything is written

    // Write beside the destination, check, then move into place.
    std::filesystem::path temporary = destination_path;
    temporary += ".compacting";
    Remove_Quietly(temporary);
    struct Cleanup {
        std::filesystem::path path;
        bool keep = false;
        ~Cleanup() {
            if (!keep) Remove_Quietly(path);
        }
    } cleanup{temporary};

    const Write_Result written = Write_Database(image, temporary, [&](double share) {
        progress(0.5 + 0.35 * share);
    });

    {
        const std::string failed = "The compacted database did not read back the same as '" +
                                   source.data_source + "': ";
        Database check(temporary, destination.password);
        Check_Options strict;
        strict.strict_global_map = true;
        const auto problems = Check(check, strict);
        if (!problems.empty()) throw Error(failed + problems.front());
        const auto out_tables = check.Tables(true);
        if (out_tables.size() != tables.size())
            throw Error(failed + "it has " + std::to_string(out_tables.size()) + " tables instead of " +
                        std::to_string(tables.size()) + ".");
        for (std::size_t t = 0; t < tables.size(); ++t) {
            const auto& entry = check.Find_Table(expected[t].name);
            if (entry.Page() != new_pages[t])
                throw Error(failed + "table '" + expected[t].name + "' is not where it was written.");
            const Table_Definition& def = check.Definition(entry);
            std::size_t r = 0;
            bool same = true;
            check.Rows(def, [&](const Live_Row& live) {
                const std::uint64_t hash = Row_Hash(def, check.Decode(def, live));
                if (r >= expected[t].hashes.size() || expected[t].hashes[r] != hash) same = false;
                ++r;
            });
            if (r != expected[t].rows)
                throw Error(failed + "table '" + expected[t].name + "' has " + std::to_string(r) +
                            " rows instead of " + std::to_string(expected[t].rows) + ".");
            if (!same) throw Error(failed + "table '" + expected[t].name + "' holds different values.");
        }
    }
    progress(0.95);

    if (std::filesystem::exists(std::filesystem::symlink_status(destination_path, ec)))
        throw Error("Database already exists.");
    Replace_File(temporary, destination_path);
    cleanup.keep = true;
    progress(1.0);
    return Compact_Result{pages_before, written.pages};
}

}  // namespace kelbrook::jet
