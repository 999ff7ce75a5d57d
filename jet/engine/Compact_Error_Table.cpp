#include "jet/engine/Compact_Error_Table.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "jet/file/Format.h"
#include "jet/index/Key_Encoding.h"
#include "jet/row/Row_Builder.h"
#include "jet/table/Table_Builder.h"
#include "jet/util/Bytes.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

constexpr std::size_t Text_Chars = 255;

bool Same_Name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// At most `chars` characters of UTF-8 `text`, cut between characters.
std::string Clip(const std::string& text, std::size_t chars) {
    std::size_t at = 0, count = 0;
    while (at < text.size() && count < chars) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t size = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        count += size == 4 ? 2 : 1;  // UTF-16 units: the column's length counts those
        if (count > chars) break;
        at = std::min(text.size(), at + size);
    }
    return text.substr(0, at);
}

Table_Layout Error_Layout() {
    Table_Layout t;
    t.name = Compact_Error_Table_Name;
    Column_Layout code{"ErrorCode", f::Type_Int32};
    Column_Layout description{"ErrorDescription", f::Type_Text, Text_Chars};
    Column_Layout recid{"ErrorRecid", f::Type_Binary, 4};
    Column_Layout table{"ErrorTable", f::Type_Text, Text_Chars};
    t.columns = {code, description, recid, table};
    t.Lay_Out();
    return t;
}

// The catalogue's columns as a layout Build_Row can fill, when they lie in a row the way
// Jet lays out columns (numbers 0.., fixed ones packed in number order, variable ones
// in number order); nothing otherwise.
std::optional<Table_Layout> Mirror_Layout(const Table_Definition& def) {
    Table_Layout t;
    t.name = "MSysObjects";
    std::uint16_t fixed_offset = 0, var_index = 0;
    for (std::size_t i = 0; i < def.columns.size(); ++i) {
        const Column& c = def.columns[i];
        if (c.number != i) return std::nullopt;
        Column_Layout l{c.name, c.type, static_cast<std::uint16_t>(c.type == f::Type_Text ? c.length / 2 : c.length)};
        l.number = c.number;
        l.fixed = c.Is_Fixed();
        l.stored_length = c.length;
        if (l.fixed) {
            if (c.fixed_offset != fixed_offset || Fixed_Column_Size(c.type) != Fixed_Size(c.type, c.length))
                return std::nullopt;
            l.fixed_offset = fixed_offset;
            l.var_index = var_index;
            fixed_offset = static_cast<std::uint16_t>(fixed_offset + Fixed_Column_Size(c.type));
        } else {
            if (c.var_index != var_index || !(c.type == f::Type_Text || c.type == f::Type_Binary || c.Is_Long_Value()))
                return std::nullopt;
            l.var_index = var_index++;
        }
        t.columns.push_back(l);
    }
    return t;
}

// The catalogue row describing the new table.
std::optional<Row_Image> Catalog_Row(const Table_Layout& layout, std::uint32_t page, double date) {
    std::vector<Field_Value> values(layout.columns.size());
    auto set = [&](const char* name, Field_Value v) {
        for (const auto& c : layout.columns)
            if (Same_Name(c.name, name)) values[c.number] = std::move(v);
    };
    set("Id", std::int64_t{page});
    set("ParentId", std::int64_t{f::Tables_Container_Id});
    set("Name", std::string(Compact_Error_Table_Name));
    set("Type", std::int64_t{f::Object_Type_Table});
    set("DateCreate", date);
    set("DateUpdate", date);
    set("Flags", std::int64_t{0});
    try {
        return Build_Row(layout, values);
    } catch (const Error&) {
        return std::nullopt;
    }
}

// The 4 bytes that name a source row: its row number, then its page.
Byte_Vector Record_Id(const std::optional<Row_Pointer>& row) {
    Byte_Vector id(4, 0);
    if (row) Put_Row_Pointer(id, 0, *row);
    return id;
}

}  // namespace

bool Add_Compact_Error_Table(Source_Image& source, const Table_Definition& catalog, std::size_t catalog_rows,
                             const Database_Header& header, const std::vector<Repair_Note>& losses,
                             std::string& why_not) {
    Database_Image& image = source.image;
    if (losses.empty()) return false;
    for (const auto& t : image.tables)
        if (Same_Name(t.name, Compact_Error_Table_Name)) {
            why_not = "the database already has a table " + t.name;
            return false;
        }
    const std::optional<Table_Layout> mirror = Mirror_Layout(catalog);
    std::vector<Index_Key_Encoder> encoders;
    for (const auto& ri : catalog.real_indexes) encoders.emplace_back(catalog, ri, header);
    if (!mirror || std::any_of(encoders.begin(), encoders.end(), [](const auto& e) { return !e.Encodable(); })) {
        why_not = "the catalogue's rows or keys cannot be built here";
        return false;
    }

    // Phase: the table, after every other definition.
    const Table_Layout layout = Error_Layout();
    Table_Image table;
    table.name = layout.name;
    table.definition = Build_Definition(layout);
    std::vector<std::size_t> lengths;
    for (const auto& t : image.tables) lengths.push_back(t.definition.size());
    lengths.push_back(table.definition.size());
    const std::uint32_t page = Definition_Pages(lengths).back();
    auto hashes = std::make_shared<std::vector<std::uint64_t>>();
    for (const auto& loss : losses) {
        table.rows.push_back(Build_Row(layout, {std::int64_t{static_cast<std::int32_t>(loss.code)},
                                                Clip(loss.description, Text_Chars), Record_Id(loss.row),
                                                Clip(loss.table, Text_Chars)}));
        hashes->push_back(Stored_Row_Hash(table.rows.back().bytes, {}));
    }

    // Phase: its catalogue row, the last of MSysObjects, in every catalogue index.
    const double date = Get_Double(image.header, f::Header_Creation_Date);
    std::optional<Row_Image> row = Catalog_Row(*mirror, page, date);
    if (!row || !row->long_values.empty()) {
        why_not = "the catalogue row cannot be built here";
        return false;
    }
    Live_Row live;
    live.bytes = row->bytes;
    const std::vector<Value> values = Decode_Row(catalog, live, "the catalogue row of " + layout.name);
    Table_Image& objects = image.tables.front();
    std::vector<std::uint8_t> key;
    for (std::size_t i = 0; i < encoders.size(); ++i) {
        if (encoders[i].Skips(values)) continue;
        encoders[i].Encode(values, key);
        objects.indexes[i].Add(key, static_cast<std::uint32_t>(catalog_rows));
        source.index_digests.front()[i] += Index_Entry_Digest(static_cast<std::uint32_t>(catalog_rows), key);
    }
    const auto catalog_hashes = source.row_hashes.front();
    objects.source = Row_Source_Of([inner = objects.source, extra = std::move(*row), catalog_hashes](
                                       const Row_Visitor& visit, bool with_values) {
        inner->Each_Row(visit, with_values);
        visit(extra);
        if (with_values) catalog_hashes->push_back(Stored_Row_Hash(extra.bytes, {}));
    });

    image.tables.push_back(std::move(table));
    source.definition_pages.push_back(page);
    source.old_pages.push_back(0);
    source.row_hashes.push_back(hashes);
    source.index_digests.emplace_back();  // it has no indexes
    return true;
}

}  // namespace kelbrook::jet
