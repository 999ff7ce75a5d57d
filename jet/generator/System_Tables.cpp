#include "jet/generator/System_Tables.h"

#include <cstring>
#include <span>

#include "jet/generator/Values.h"
#include "jet/util/Bytes.h"

namespace kelbrook::jet::generator {

namespace {

namespace f = format;

// Owner and permission SIDs as a Jet workgroup writes them (two bytes each).
const Byte_Vector Sid_Creator = {0x65, 0x89};
const Byte_Vector Sid_Admins = {0x64, 0x8B};
const Byte_Vector Sid_Users = {0x65, 0x8B};
const Byte_Vector Sid_Engine = {0x65, 0x8E};

Column_Layout Col(std::string name, std::uint8_t type, std::uint16_t length = 0) {
    Column_Layout c;
    c.name = std::move(name);
    c.type = type;
    c.length = length;
    return c;
}

Logical_Index_Layout Logical(std::string name, std::uint32_t real_index, std::uint8_t type = 0) {
    Logical_Index_Layout li;
    li.name = std::move(name);
    li.real_index = real_index;
    li.type = type;
    return li;
}

// A table of Jet's own, columns laid out and blocks sorted by name as Jet writes them.
Table_Layout Jet_Table(std::string name, std::vector<Column_Layout> columns) {
    Table_Layout t;
    t.name = std::move(name);
    t.system = true;
    t.blocks_by_name = true;
    t.columns = std::move(columns);
    t.Lay_Out();
    return t;
}

Table_Layout Catalog_Layout() {
    Table_Layout t = Jet_Table(
        "MSysObjects",
        {Col("Id", f::Type_Int32), Col("ParentId", f::Type_Int32), Col("Name", f::Type_Text, 255),
         Col("Type", f::Type_Int16), Col("DateCreate", f::Type_Datetime), Col("DateUpdate", f::Type_Datetime),
         Col("Owner", f::Type_Binary, 510), Col("Flags", f::Type_Int32), Col("Database", f::Type_Memo),
         Col("Connect", f::Type_Memo), Col("ForeignName", f::Type_Text, 255), Col("RmtInfoShort", f::Type_Binary, 510),
         Col("RmtInfoLong", f::Type_Ole), Col("Lv", f::Type_Ole), Col("LvProp", f::Type_Ole),
         Col("LvModule", f::Type_Ole), Col("LvExtra", f::Type_Ole)});
    t.indexes = {{{{1, true}, {2, true}}, f::Index_Flag_Unique}, {{{0, true}}, f::Index_Flag_Unique}};
    t.logical_indexes = {Logical("ParentIdName", 0), Logical("Id", 1, f::Logical_Index_Primary_Key)};
    return t;
}

Table_Layout Aces_Layout() {
    Table_Layout t = Jet_Table("MSysACEs", {Col("ObjectId", f::Type_Int32), Col("SID", f::Type_Binary, 510),
                                            Col("ACM", f::Type_Int32), Col("FInheritable", f::Type_Boolean)});
    t.indexes = {{{{0, true}}, f::Index_Flag_Required}};
    t.logical_indexes = {Logical("ObjectId", 0)};
    return t;
}

Table_Layout Queries_Layout() {
    Table_Layout t = Jet_Table("MSysQueries", {Col("ObjectId", f::Type_Int32), Col("Attribute", f::Type_Byte),
                                               Col("Order", f::Type_Binary, 510), Col("Name1", f::Type_Text, 255),
                                               Col("Name2", f::Type_Text, 255), Col("Expression", f::Type_Memo),
                                               Col("Flag", f::Type_Int16), Col("LvExtra", f::Type_Int32)});
    t.indexes = {{{{0, true}, {1, true}, {2, true}}, f::Index_Flag_Unique}};
    t.logical_indexes = {Logical("ObjectIdAttribute", 0, f::Logical_Index_Primary_Key)};
    return t;
}

Table_Layout Relationships_Layout() {
    Table_Layout t = Jet_Table(
        "MSysRelationships",
        {Col("szRelationship", f::Type_Text, 255), Col("grbit", f::Type_Int32), Col("ccolumn", f::Type_Int32),
         Col("icolumn", f::Type_Int32), Col("szObject", f::Type_Text, 255), Col("szColumn", f::Type_Text, 255),
         Col("szReferencedObject", f::Type_Text, 255), Col("szReferencedColumn", f::Type_Text, 255)});
    t.indexes = {{{{0, true}}, f::Index_Flag_Ignore_Nulls},
                 {{{4, true}}, f::Index_Flag_Ignore_Nulls},
                 {{{6, true}}, f::Index_Flag_Ignore_Nulls}};
    t.logical_indexes = {Logical("szRelationship", 0), Logical("szObject", 1), Logical("szReferencedObject", 2)};
    return t;
}

struct Catalog_Entry {
    std::int32_t id;
    std::int32_t parent;
    std::string name;
    std::int16_t type;
    std::uint32_t flags;
    Byte_Vector owner;
    bool dropped = false;
};

std::vector<Catalog_Entry> Catalog_Entries(const std::vector<std::uint32_t>& system_pages,
                                           const std::vector<Table_Object>& tables,
                                           const std::vector<Relation>& relations) {
    const std::vector<Table_Layout> system = System_Layouts();
    std::vector<Catalog_Entry> catalog = {
        {f::Tables_Container_Id, f::Root_Container_Id, "Tables", f::Object_Type_Container, f::Object_Flag_System,
         Sid_Creator},
        {f::Databases_Container_Id, f::Root_Container_Id, "Databases", f::Object_Type_Container,
         f::Object_Flag_System, Sid_Creator},
        {f::Relationships_Container_Id, f::Root_Container_Id, "Relationships", f::Object_Type_Container,
         f::Object_Flag_System, Sid_Creator},
        {f::Database_Object_Id, f::Databases_Container_Id, "MSysDb", f::Object_Type_Database, f::Object_Flag_System,
         Sid_Admins},
    };
    for (std::size_t i = 0; i < system.size(); ++i)
        catalog.push_back({static_cast<std::int32_t>(system_pages[i]), f::Tables_Container_Id, system[i].name,
                           f::Object_Type_Table, f::Object_Flag_System, Sid_Creator});
    for (const Table_Object& t : tables)
        catalog.push_back({static_cast<std::int32_t>(t.tdef_page), f::Tables_Container_Id, t.name,
                           f::Object_Type_Table, 0, Sid_Creator, t.dropped});
    std::uint32_t synthetic = f::First_Synthetic_Id;
    for (const Relation& r : relations)
        catalog.push_back({static_cast<std::int32_t>(synthetic++), f::Relationships_Container_Id, r.name,
                           f::Object_Type_Relationship, 0, Sid_Creator});
    return catalog;
}

}  // namespace

std::array<std::uint8_t, f::Page_Size> Header_Page() {
    std::array<std::uint8_t, f::Page_Size> h{};
    std::span<std::uint8_t> s(h);
    std::copy(f::Header_Signature.begin(), f::Header_Signature.end(), h.begin());
    std::memcpy(h.data() + f::Header_Engine_Name, f::Engine_Name, sizeof f::Engine_Name);
    h[f::Header_Version] = f::Version_Jet4;
    std::copy(f::Engine_Constants.begin(), f::Engine_Constants.end(), h.begin() + f::Header_Engine_Constants);
    Put_U16(s, f::Header_Code_Page, f::Code_Page_Western);
    Put_U16(s, f::Header_Creator_Build, f::Creator_Build);
    Put_U16(s, f::Header_Sort_Order, f::General_Sort_Lcid);
    const double created = Created();
    std::uint64_t date_bits;
    std::memcpy(&date_bits, &created, 8);
    Put_U32(s, f::Header_Creation_Date, static_cast<std::uint32_t>(date_bits));
    Put_U32(s, f::Header_Creation_Date + 4, static_cast<std::uint32_t>(date_bits >> 32));
    Put_U32(s, f::Header_Marker_98, f::Marker_98_Value);
    std::memcpy(h.data() + f::Header_Format_Text, "4.0", 4);
    for (std::size_t i = 0; i < 256; ++i) {
        h[f::Header_Word_Table + 2 * i] = i == 0 ? 0x01 : 0x00;
        h[f::Header_Word_Table + 2 * i + 1] = 0x01;
    }
    return h;
}

std::vector<Table_Layout> System_Layouts() {
    return {Catalog_Layout(), Aces_Layout(), Queries_Layout(), Relationships_Layout()};
}

std::vector<System_Row> Catalog_Rows(const Table_Layout& catalog, const std::vector<std::uint32_t>& system_pages,
                                     const std::vector<Table_Object>& tables, const std::vector<Relation>& relations) {
    std::vector<System_Row> rows;
    for (const Catalog_Entry& e : Catalog_Entries(system_pages, tables, relations)) {
        std::vector<Field_Value> v(catalog.columns.size());
        v[0] = Int(e.id);
        v[1] = Int(e.parent);
        v[2] = Text(e.name);
        v[3] = Int(e.type);
        v[4] = Real(Created());
        v[5] = Real(Created());
        v[6] = Blob(e.owner);
        v[7] = Int(static_cast<std::int32_t>(e.flags));
        rows.push_back({std::move(v), e.dropped});
    }
    return rows;
}

std::vector<System_Row> Ace_Rows(const std::vector<std::uint32_t>& system_pages,
                                 const std::vector<Table_Object>& tables, std::size_t relations) {
    struct Ace {
        std::int32_t object;
        Byte_Vector sid;
        std::int32_t acm;
        bool inheritable;
        bool dropped;
    };
    const auto id_of = [&](std::size_t i) { return static_cast<std::int32_t>(system_pages[i]); };
    std::vector<Ace> aces = {
        {id_of(0), Sid_Admins, f::Ace_Security, false, false},
        {id_of(1), Sid_Admins, f::Ace_Security, false, false},
        {id_of(2), Sid_Admins, f::Ace_Security, false, false},
        {id_of(3), Sid_Admins, f::Ace_Security_Owner, false, false},
        {f::Tables_Container_Id, Sid_Engine, f::Ace_Engine_Rights, true, false},
        {f::Tables_Container_Id, Sid_Admins, f::Ace_Security_Create, false, false},
        {f::Relationships_Container_Id, Sid_Engine, f::Ace_Engine_Rights, true, false},
        {f::Relationships_Container_Id, Sid_Admins, f::Ace_Security_Create, false, false},
        {f::Databases_Container_Id, Sid_Admins, f::Ace_Security, false, false},
        {f::Database_Object_Id, Sid_Admins, f::Ace_Database_Admin, false, false},
        {f::Database_Object_Id, Sid_Users, f::Ace_Database_Open, false, false},
        {id_of(2), Sid_Users, f::Ace_Read_Data, false, false},
        {id_of(3), Sid_Users, f::Ace_Read_Data, false, false},
        {id_of(0), Sid_Users, f::Ace_Read_Data, false, false},
        {f::Tables_Container_Id, Sid_Users, f::Ace_Table_Rights, true, false},
        {f::Relationships_Container_Id, Sid_Users, f::Ace_Full_Access, true, false},
    };
    for (const Table_Object& t : tables) {
        aces.push_back({static_cast<std::int32_t>(t.tdef_page), Sid_Engine, f::Ace_Table_Rights, false, t.dropped});
        aces.push_back({static_cast<std::int32_t>(t.tdef_page), Sid_Users, f::Ace_Table_Rights, false, t.dropped});
    }
    for (std::size_t r = 0; r < relations; ++r) {
        const auto id = static_cast<std::int32_t>(f::First_Synthetic_Id + r);
        aces.push_back({id, Sid_Engine, f::Ace_Engine_Rights, false, false});
        aces.push_back({id, Sid_Users, f::Ace_Full_Access, false, false});
    }
    std::vector<System_Row> rows;
    for (const Ace& a : aces) rows.push_back({{Int(a.object), Blob(a.sid), Int(a.acm), Flag(a.inheritable)}, a.dropped});
    return rows;
}

std::vector<System_Row> Relationship_Rows(const Profile& profile) {
    std::vector<System_Row> rows;
    for (const Relation& r : profile.relations) {
        const std::int32_t grbit =
            (r.cascade_update ? f::Relation_Cascade_Update : 0) | (r.cascade_delete ? f::Relation_Cascade_Delete : 0);
        rows.push_back({{Text(r.name), Int(grbit), Int(1), Int(0), Text(profile.tables[r.child].layout.name),
                         Text(r.child_column), Text(profile.tables[r.parent].layout.name), Text(r.parent_column)},
                        false});
    }
    return rows;
}

}  // namespace kelbrook::jet::generator
