// The profiles: which user tables a generated database holds, their columns and indexes,
// how many rows each gets, how a row's values are made, and the relationships between
// the tables. Nothing here writes bytes; Building.h turns a profile into a database.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "jet/generator/Values.h"
#include "jet/row/Row_Builder.h"
#include "jet/table/Table_Builder.h"

namespace kelbrook::jet::generator {

// The live rows of the tables that others refer to, for foreign keys. A table's rows may
// refer only to tables made in full before it, so that making its rows again later gives
// the same rows.
class Context {
public:
    explicit Context(std::vector<bool> kept)
        : kept_(std::move(kept)), complete_(kept_.size(), false), live_ids_(kept_.size()) {}
    void Add_Live(std::size_t table, std::uint32_t id) {
        if (kept_[table]) live_ids_[table].push_back(id);
    }
    void Complete(std::size_t table) { complete_[table] = true; }
    // A live row of `table` for a new row to refer to: mostly a recent one, as
    // measurements follow samples. 0 when the table has no live rows.
    std::uint32_t Parent_Of(std::size_t table, Rng& rng) const;

private:
    std::vector<bool> kept_;
    std::vector<bool> complete_;
    std::vector<std::vector<std::uint32_t>> live_ids_;  // counters of the live rows, kept tables only
};

struct Table_Recipe {
    Table_Layout layout;
    std::uint64_t live = 0;  // live rows wanted
    bool history = true;     // deletions and overflow rows
    bool dropped = false;    // written, then dropped: its pages end up free
    bool referenced = false; // later tables' rows refer to its rows (Context keeps its ids)
    // Values of the row with counter `id` (1-based); `version` > 0 for an updated row. Refers
    // only to referenced tables made before this one.
    std::function<std::vector<Field_Value>(std::uint64_t id, int version, Rng& rng, const Context& ctx)> make;
};

struct Relation {
    std::string name;
    std::size_t child = 0;   // recipe holding the foreign key
    std::string child_column;
    std::size_t parent = 0;  // recipe referenced
    std::string parent_column;
    bool cascade_update = false;
    bool cascade_delete = false;
    // Filled in while wiring.
    std::uint32_t child_logical = 0;
    std::uint32_t parent_logical = 0;
};

struct Profile {
    std::vector<Table_Recipe> tables;
    std::vector<Relation> relations;
    std::string default_password;
};

// The profile names Make_Profile accepts.
std::vector<std::string> Profile_Names();

// The profile `name` with `main` live rows in its main table. Throws Error naming the
// profiles for an unknown name.
Profile Make_Profile(const std::string& name, std::uint64_t main);

}  // namespace kelbrook::jet::generator
