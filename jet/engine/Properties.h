// Properties of catalogue objects, as Access keeps them in a blob in MSysObjects.LvProp:
// a signature, then chunks. One chunk lists the property names; each of the others holds
// the properties of one object (the table itself, or one of its columns by name), each
// property a typed value naming its property by its place in that list. The engine itself
// needs none of them (the compactor copies the blob unchanged); tools show some, such as
// a column's Required.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "jet/engine/Database.h"

namespace kelbrook::jet {

struct Property {
    std::uint8_t type = 0;  // format::Type_* of the value
    std::vector<std::uint8_t> value;
};
using Property_Map = std::map<std::string, Property>;

struct Object_Properties {
    Property_Map object;                          // the object's own
    std::map<std::string, Property_Map> columns;  // by column name, as the blob spells it

    // Whether the column has the boolean property `name` set.
    bool Column_Flag(const std::string& column, const std::string& name) const;
};

// Reads a property blob; `where` names it in errors (Error_Kind::Corrupt when a chunk or
// a property runs past the blob's end or names a property the blob does not list).
Object_Properties Parse_Properties(std::span<const std::uint8_t> blob, const std::string& where);

// The properties of those of `objects` that have some, by MSysObjects.Id.
std::map<std::int32_t, Object_Properties> Read_Object_Properties(const Database& db,
                                                                 const std::vector<Catalog_Entry>& objects);

}  // namespace kelbrook::jet
