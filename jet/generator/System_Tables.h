// What every database Jet makes holds besides the user's tables: page 0, and Jet's four
// system tables with their rows: the catalogue (MSysObjects: containers, MSysDb, every
// table and relationship), the permissions (MSysACEs), the saved queries (MSysQueries,
// empty here) and the relationships (MSysRelationships).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "jet/file/Format.h"
#include "jet/generator/Profiles.h"
#include "jet/row/Row_Builder.h"
#include "jet/table/Table_Builder.h"

namespace kelbrook::jet::generator {

// Page 0 as the writer takes it (decoded): format, code page, sort order, creation date.
std::array<std::uint8_t, format::Page_Size> Header_Page();

// MSysObjects, MSysACEs, MSysQueries and MSysRelationships, in the order they are laid
// out (the catalogue first, as the writer requires).
enum System_Table : std::size_t { Catalog_Table = 0, Aces_Table, Queries_Table, Relationships_Table, System_Tables };
std::vector<Table_Layout> System_Layouts();

// A user table as the system tables name it.
struct Table_Object {
    std::uint32_t tdef_page = 0;  // its id
    std::string name;
    bool dropped = false;
};

// A row of a system table; rows of a dropped table's objects are written, then deleted.
struct System_Row {
    std::vector<Field_Value> values;
    bool dropped = false;
};

// The catalogue's rows: the containers, MSysDb, the system tables (on `system_pages`),
// the user tables and the relationships.
std::vector<System_Row> Catalog_Rows(const Table_Layout& catalog, const std::vector<std::uint32_t>& system_pages,
                                     const std::vector<Table_Object>& tables, const std::vector<Relation>& relations);

// The permissions a new database gives its objects.
std::vector<System_Row> Ace_Rows(const std::vector<std::uint32_t>& system_pages,
                                 const std::vector<Table_Object>& tables, std::size_t relations);

// One MSysRelationships row per relationship.
std::vector<System_Row> Relationship_Rows(const Profile& profile);

}  // namespace kelbrook::jet::generator
