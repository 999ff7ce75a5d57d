// A Jet 4.0 database opened read-only: the page file and header, the catalogue
// (MSysObjects, whose definition is on page 2) and the table definitions it names,
// parsed on first use and kept. Entry point of the reading half of the engine:
//   Database db(path, password);
//   for (auto& t : db.Tables(false)) db.Rows(db.Definition(t.page), visit);
// Everything it reads is checked; damage gives jet::Error naming the file, the page and
// what is wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jet/file/Page_File.h"
#include "jet/row/Rows.h"
#include "jet/table/Table_Definition.h"

namespace kelbrook::jet {

struct Catalog_Entry {
    std::string name;
    std::int32_t id = 0;
    std::int32_t parent_id = 0;
    std::int16_t type = 0;
    std::uint32_t flags = 0;
    Row_Pointer row;  // the MSysObjects row

    bool Is_Table() const { return type == format::Object_Type_Table; }
    bool Is_System() const {
        return (flags & (format::Object_Flag_System | format::Object_Flag_Access_System)) != 0;
    }
    std::uint32_t Page() const { return static_cast<std::uint32_t>(id) & format::Object_Id_Page_Mask; }
};

class Database {
public:
    // Opens `path` through `files` (the host's unless another is given).
    explicit Database(const std::filesystem::path& path, const std::string& password = {},
                      const File_System& files = Host_Files());

    const Page_File& File() const { return *file_; }
    const Database_Header& Header() const { return file_->Header(); }
    std::string Name() const { return file_->Name(); }

    // Every MSysObjects row, in storage order.
    const std::vector<Catalog_Entry>& Objects() const { return objects_; }
    // Local tables (type 1), with or without the system ones, in catalogue order.
    std::vector<Catalog_Entry> Tables(bool include_system) const;
    // The table called `name` (exact, then case-blind); throws Error when there is none.
    const Catalog_Entry& Find_Table(const std::string& name) const;

    // The definition starting on `page`, parsed once.
    const Table_Definition& Definition(std::uint32_t page) const;
    const Table_Definition& Definition(const Catalog_Entry& table) const { return Definition(table.Page()); }

    void Rows(const Table_Definition& table, const Live_Row_Visitor& visit,
              Long_Values long_values = Long_Values::Copied) const {
        Table_Rows(*file_, table, visit, long_values, &claims_);
    }
    std::vector<Value> Decode(const Table_Definition& table, const Live_Row& row) const;

private:
    std::unique_ptr<Page_File> file_;
    std::vector<Catalog_Entry> objects_;
    mutable std::map<std::uint32_t, std::unique_ptr<Table_Definition>> definitions_;
    // Every page of the definitions parsed so far -> the definition's first page: no page
    // may serve two definitions (else each would copy the same continuation pages).
    mutable std::map<std::uint32_t, std::uint32_t> definition_pages_;
    mutable std::map<std::uint32_t, std::string> failed_definitions_;  // page -> the error
    // Long-value rows -> the value they belong to, over every walk of every table.
    mutable Long_Value_Claims claims_;
};

}  // namespace kelbrook::jet
