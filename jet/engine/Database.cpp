#include "jet/engine/Database.h"

#include <algorithm>
#include <cctype>

namespace kelbrook::jet {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

Database::Database(const std::filesystem::path& path, const std::string& password, const File_System& files)
    : file_(std::make_unique<Page_File>(path, password, files)) {
    if (file_->Page_Count() <= format::Catalog_Tdef_Page)
        file_->Fail("the file is truncated: it has " + std::to_string(file_->Page_Count()) +
                    " pages, too few to hold the catalogue");
    const Table_Definition& catalog = Definition(format::Catalog_Tdef_Page);
    const Column* id = catalog.Find_Column("Id");
    const Column* parent = catalog.Find_Column("ParentId");
    const Column* name = catalog.Find_Column("Name");
    const Column* type = catalog.Find_Column("Type");
    const Column* flags = catalog.Find_Column("Flags");
    if (!id || !parent || !name || !type || !flags)
        file_->Fail(format::Catalog_Tdef_Page, "the catalogue (MSysObjects) lacks one of its columns Id, ParentId, "
                                               "Name, Type, Flags");
    auto index_of = [&catalog](const Column* c) { return static_cast<std::size_t>(c - catalog.columns.data()); };
    const std::size_t i_id = index_of(id), i_parent = index_of(parent), i_name = index_of(name),
                      i_type = index_of(type), i_flags = index_of(flags);
    Rows(catalog, [&](const Live_Row& row) {
        auto values = Decode(catalog, row);
        Catalog_Entry e;
        e.row = row.header;
        e.id = static_cast<std::int32_t>(values[i_id].integer);
        e.parent_id = static_cast<std::int32_t>(values[i_parent].integer);
        e.name = values[i_name].text;
        e.type = static_cast<std::int16_t>(values[i_type].integer);
        e.flags = static_cast<std::uint32_t>(values[i_flags].integer);
        objects_.push_back(std::move(e));
    });
}

std::vector<Catalog_Entry> Database::Tables(bool include_system) const {
    std::vector<Catalog_Entry> out;
    for (const auto& e : objects_)
        if (e.Is_Table() && (include_system || !e.Is_System())) out.push_back(e);
    return out;
}

const Catalog_Entry& Database::Find_Table(const std::string& name) const {
    for (const auto& e : objects_)
        if (e.Is_Table() && e.name == name) return e;
    for (const auto& e : objects_)
        if (e.Is_Table() && Lower(e.name) == Lower(name)) return e;
    throw Error(Name() + ": there is no table \"" + name + "\" in the database", Error_Kind::Not_Found);
}

const Table_Definition& Database::Definition(std::uint32_t page) const {
    auto it = definitions_.find(page);
    if (it != definitions_.end()) return *it->second;
    // A definition that failed fails again at once, without reading its pages again.
    if (auto failed = failed_definitions_.find(page); failed != failed_definitions_.end())
        throw Error(failed->second);
    try {
        auto t = std::make_unique<Table_Definition>(Read_Table_Definition(*file_, page, &definition_pages_));
        for (std::uint32_t p : t->pages) definition_pages_.emplace(p, page);
        return *definitions_.emplace(page, std::move(t)).first->second;
    } catch (const Error& e) {
        if (e.kind() != Error_Kind::Corrupt) throw;
        failed_definitions_.emplace(page, e.what());
        throw;
    }
}

std::vector<Value> Database::Decode(const Table_Definition& table, const Live_Row& row) const {
    return Decode_Row(table, row,
                      Name() + ": page " + std::to_string(row.header.page) + ", row " + std::to_string(row.header.row));
}

}  // namespace kelbrook::jet
