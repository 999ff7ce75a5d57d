#include "jet/engine/Properties.h"

#include <algorithm>
#include <set>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {
namespace {

namespace f = format;

// Bounded reading of one blob: every access is checked and a failure names the blob.
class Blob_Reader {
public:
    Blob_Reader(std::span<const std::uint8_t> b, const std::string& where) : b_(b), where_(where) {}
    void Need(std::size_t at, std::size_t size, const char* what) const {
        if (!Has_Range(b_.size(), at, size))
            throw Error(where_ + ": the property blob is truncated or damaged (" + what + " at offset " +
                        std::to_string(at) + " lies past its end, " + std::to_string(b_.size()) + " bytes)");
    }
    std::uint16_t U16(std::size_t at, const char* what) const { Need(at, 2, what); return Get_U16(b_, at); }
    std::uint32_t U32(std::size_t at, const char* what) const { Need(at, 4, what); return Get_U32(b_, at); }
    std::string Text(std::size_t at, std::size_t size, const char* what) const {
        Need(at, size, what);
        return Utf16le_To_Utf8(b_.subspan(at, size));
    }
    std::span<const std::uint8_t> Bytes(std::size_t at, std::size_t size, const char* what) const {
        Need(at, size, what);
        return b_.subspan(at, size);
    }
    [[noreturn]] void Fail(const std::string& what) const { throw Error(where_ + ": " + what); }

private:
    std::span<const std::uint8_t> b_;
    const std::string& where_;
};

// The names chunk: each name its 2-byte length, then UTF-16LE.
std::vector<std::string> Read_Names(const Blob_Reader& r, std::size_t at, std::size_t end) {
    std::vector<std::string> names;
    while (at < end) {
        const std::uint16_t size = r.U16(at, "property name");
        names.push_back(r.Text(at + 2, size, "property name"));
        at += 2 + std::size_t{size};
    }
    return names;
}

// One object's chunk: the object's name, then its properties.
std::pair<std::string, Property_Map> Read_Object(const Blob_Reader& r, const std::vector<std::string>& names,
                                                 std::size_t at, std::size_t end) {
    const std::uint16_t name_size = r.U16(at + f::Property_Block_Name_Length, "object name");
    std::string name = r.Text(at + f::Property_Block_Name, name_size, "object name");
    Property_Map properties;
    for (at += f::Property_Block_Name + name_size; at < end;) {
        const std::uint16_t size = r.U16(at + f::Property_Entry_Length, "property");
        r.Need(at, std::max<std::size_t>(size, f::Property_Entry_Value), "property");
        const std::uint16_t index = r.U16(at + f::Property_Entry_Name, "property");
        if (index >= names.size())
            r.Fail("a property of \"" + name + "\" names property " + std::to_string(index) + " of " +
                   std::to_string(names.size()));
        const std::uint16_t value_size = r.U16(at + f::Property_Entry_Value_Size, "property");
        const auto value = r.Bytes(at + f::Property_Entry_Value, value_size, "property value");
        properties[names[index]] = Property{r.Bytes(at + f::Property_Entry_Type, 1, "property")[0],
                                            std::vector<std::uint8_t>(value.begin(), value.end())};
        at += std::max<std::size_t>(size, f::Property_Entry_Value + value_size);
    }
    return {std::move(name), std::move(properties)};
}

}  // namespace

bool Object_Properties::Column_Flag(const std::string& column, const std::string& name) const {
    const auto c = columns.find(column);
    if (c == columns.end()) return false;
    const auto p = c->second.find(name);
    if (p == c->second.end() || p->second.type != f::Type_Boolean) return false;
    return std::any_of(p->second.value.begin(), p->second.value.end(), [](std::uint8_t b) { return b != 0; });
}

Object_Properties Parse_Properties(std::span<const std::uint8_t> blob, const std::string& where) {
    const Blob_Reader r(blob, where);
    r.Need(0, f::Property_Signature.size(), "signature");
    if (!std::equal(f::Property_Signature.begin(), f::Property_Signature.end(), blob.begin()))
        r.Fail("the property blob does not start with a Jet 4.0 signature");
    Object_Properties out;
    std::vector<std::string> names;
    for (std::size_t at = f::Property_Signature.size(); at < blob.size();) {
        const std::uint32_t size = r.U32(at + f::Property_Chunk_Length, "chunk");
        const std::uint16_t type = r.U16(at + f::Property_Chunk_Type, "chunk");
        if (size < f::Property_Chunk_Header_Size) r.Fail("a chunk of the property blob is shorter than its header");
        r.Need(at, size, "chunk");
        const std::size_t data = at + f::Property_Chunk_Header_Size, end = at + size;
        if (type == f::Property_Chunk_Names) {
            names = Read_Names(r, data, end);
        } else if (type == f::Property_Chunk_Object || type == f::Property_Chunk_Column) {
            auto [name, properties] = Read_Object(r, names, data, end);
            if (type == f::Property_Chunk_Object) out.object = std::move(properties);
            else out.columns[name] = std::move(properties);
        }  // other chunks hold nothing we read
        at = end;
    }
    return out;
}

std::map<std::int32_t, Object_Properties> Read_Object_Properties(const Database& db,
                                                                 const std::vector<Catalog_Entry>& objects) {
    std::map<std::int32_t, Object_Properties> out;
    std::set<std::int32_t> wanted;
    for (const auto& o : objects) wanted.insert(o.id);
    const Table_Definition& catalog = db.Definition(f::Catalog_Tdef_Page);
    const Column* id = catalog.Find_Column(std::string("Id"));
    const Column* blob = catalog.Find_Column(std::string("LvProp"));
    if (!id || !blob) return out;  // a catalogue without properties
    const auto id_at = static_cast<std::size_t>(id - catalog.columns.data());
    const auto blob_at = static_cast<std::size_t>(blob - catalog.columns.data());
    db.Rows(catalog, [&](const Live_Row& row) {
        const std::vector<Value> values = db.Decode(catalog, row);
        if (values[id_at].Is_Null() || values[blob_at].Is_Null() || values[blob_at].bytes.empty()) return;
        const auto object = static_cast<std::int32_t>(values[id_at].integer);
        if (!wanted.count(object)) return;
        out[object] = Parse_Properties(values[blob_at].bytes,
                                       db.Name() + ": the properties of catalogue object " + std::to_string(object));
    });
    return out;
}

}  // namespace kelbrook::jet
