// jetdb schema: the user tables as Access SQL, close to what mdb-schema prints: one
// CREATE TABLE a table (columns with their types, sizes and NOT NULL), its indexes as
// CREATE [UNIQUE] INDEX (WITH PRIMARY for the primary key, DESC for descending columns,
// WITH IGNORE NULL / DISALLOW NULL), and at the end the relationships as
// ALTER TABLE ... ADD CONSTRAINT ... FOREIGN KEY ... REFERENCES, with their cascades.
// A column is NOT NULL when it is a boolean (never null) or its Required property is set
// (in the table's property blob, MSysObjects.LvProp).
#include <iostream>
#include <memory>

#include "jet/engine/Database.h"
#include "jet/engine/Properties.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

namespace f = jet::format;

std::string Name(const std::string& name) { return "[" + name + "]"; }

// The column's type as Access SQL names it.
std::string Type_Text(const jet::Column& c) {
    switch (c.type) {
        case f::Type_Boolean: return "Boolean";
        case f::Type_Byte: return "Byte";
        case f::Type_Int16: return "Integer";
        case f::Type_Int32: return "Long Integer";
        case f::Type_Money: return "Currency";
        case f::Type_Float: return "Single";
        case f::Type_Double: return "Double";
        case f::Type_Datetime: return "DateTime";
        case f::Type_Binary: return "Binary (" + std::to_string(c.length) + ")";
        case f::Type_Text: return "Text (" + std::to_string(c.length / 2) + ")";  // UCS-2: two bytes a character
        case f::Type_Ole: return "OLE";
        case f::Type_Memo: return "Memo/Hyperlink";
        case f::Type_Guid: return "Replication ID";
        case f::Type_Numeric:
            return "Numeric (" + std::to_string(c.precision) + ", " + std::to_string(c.scale) + ")";
        default: return jet::Type_Name(c.type);
    }
}

const jet::Real_Index* Real(const jet::Table_Definition& t, std::uint32_t number) {
    for (const auto& r : t.real_indexes)
        if (r.number == number) return &r;
    return nullptr;
}

// "[a], [b] DESC" for the index's columns.
std::string Column_List(const jet::Table_Definition& t, const jet::Real_Index& ix, bool with_order) {
    std::string out;
    for (const auto& ic : ix.columns) {
        const jet::Column* c = t.Find_Column(ic.column_number);
        if (!out.empty()) out += ", ";
        out += c ? Name(c->name) : "[column " + std::to_string(ic.column_number) + "]";
        if (with_order && !ic.Ascending()) out += " DESC";
    }
    return out;
}

void Print_Table(const std::string& name, const jet::Table_Definition& t, const jet::Object_Properties& properties) {
    std::cout << "CREATE TABLE " << Name(name) << "\n (\n";
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const auto& c = t.columns[i];
        std::cout << "\t" << Name(c.name) << "\t\t\t" << Type_Text(c);
        if (c.type == f::Type_Boolean || properties.Column_Flag(c.name, "Required")) std::cout << " NOT NULL";
        std::cout << (i + 1 < t.columns.size() ? ",\n" : "\n");
    }
    std::cout << ");\n";
}

void Print_Indexes(const std::string& name, const jet::Table_Definition& t) {
    for (const auto& li : t.logical_indexes) {
        const jet::Real_Index* ix = Real(t, li.real_index);
        if (li.Is_Foreign_Key() || !ix) continue;  // relationships come at the end
        const bool primary = li.index_type == f::Logical_Index_Primary_Key;
        std::cout << "CREATE " << (ix->Unique() || primary ? "UNIQUE " : "") << "INDEX " << Name(li.name) << " ON "
                  << Name(name) << " (" << Column_List(t, *ix, true) << ")";
        if (primary) std::cout << " WITH PRIMARY";
        else if (ix->flags & f::Index_Flag_Required) std::cout << " WITH DISALLOW NULL";
        else if (ix->Ignore_Nulls()) std::cout << " WITH IGNORE NULL";
        std::cout << ";\n";
    }
}

struct Table_Entry {
    std::string name;
    std::int32_t id;
    const jet::Table_Definition* definition;
};

void Print_Relationships(const std::vector<Table_Entry>& tables) {
    for (const auto& [name, id, t] : tables)
        for (const auto& li : t->logical_indexes) {
            if (!li.Is_Foreign_Key() || li.relation_role != f::Relation_Role_Secondary) continue;
            const Table_Entry* other = nullptr;
            for (const auto& e : tables)
                if (e.definition->page == li.related_table_page) other = &e;
            const jet::Real_Index* ix = Real(*t, li.real_index);
            if (!other || !ix) continue;
            const jet::Real_Index* other_ix = nullptr;
            for (const auto& oli : other->definition->logical_indexes)
                if (static_cast<std::int32_t>(oli.number) == li.related_index)
                    other_ix = Real(*other->definition, oli.real_index);
            if (!other_ix) continue;
            std::cout << "ALTER TABLE " << Name(name) << " ADD CONSTRAINT " << Name(li.name) << " FOREIGN KEY ("
                      << Column_List(*t, *ix, false) << ") REFERENCES " << Name(other->name) << " ("
                      << Column_List(*other->definition, *other_ix, false) << ")";
            if (li.cascade_updates & f::Cascade_Byte_Cascade) std::cout << " ON UPDATE CASCADE";
            if (li.cascade_deletes & f::Cascade_Byte_Cascade) std::cout << " ON DELETE CASCADE";
            else if (li.cascade_deletes & f::Cascade_Byte_Set_Null) std::cout << " ON DELETE SET NULL";
            std::cout << ";\n";
        }
}

int Schema(const Database_Args& a, bool system) {
    jet::Database db(a.file, a.password);
    const std::vector<jet::Catalog_Entry> entries = db.Tables(system);
    const auto properties = jet::Read_Object_Properties(db, entries);
    const jet::Object_Properties none;
    std::vector<Table_Entry> tables;
    for (const auto& t : entries) tables.push_back({t.name, t.id, &db.Definition(t)});
    for (const auto& [name, id, t] : tables) {
        const auto p = properties.find(id);
        Print_Table(name, *t, p != properties.end() ? p->second : none);
        Print_Indexes(name, *t);
        std::cout << "\n";
    }
    Print_Relationships(tables);
    return 0;
}

const Command_Registration schema_command(
    "schema", "[--system] [--password PW] FILE",
    "the tables as CREATE TABLE, CREATE INDEX and FOREIGN KEY statements (Access SQL)", [](CLI::App& cmd) {
        auto system = std::make_shared<bool>(false);
        cmd.add_flag("--system", *system, "the system tables (MSys...) too");
        auto a = Add_Database_Args(cmd, false);
        return Command_Function([a, system] { return Schema(*a, *system); });
    });

}  // namespace
}  // namespace kelbrook::tools
