#include "jet/generator/Building.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "jet/generator/Profiles.h"
#include "jet/generator/System_Tables.h"
#include "jet/generator/Values.h"
#include "jet/index/Key_Encoding.h"
#include "jet/util/Error.h"

namespace kelbrook::jet::generator {

namespace {

namespace f = format;

// Row and long-value bytes beyond which no Jet 4.0 file (2 GB) can hold the database.
constexpr std::uint64_t Max_Generated_Bytes = 2ull * 1024 * 1024 * 1024;

// ---- Making a table's rows --------------------------------------------------------------

enum class Row_Kind { Deleted, Live, Moved };

// One row as made, in stored order. A moved row is stored twice: first as made (its slot
// becomes the header pointing at the new version), and again as `updated` after all the
// table's other rows.
struct Made_Row {
    Row_Kind kind;
    std::uint64_t id;
    const std::vector<Field_Value>& values;
    const std::vector<Field_Value>* updated;  // moved rows: the new version
    Rng before_update;                        // moved rows: the state `updated` was made from
};

// Makes `recipe`'s rows from `rng` on, calling `row` for each in stored order (moved rows'
// new versions excepted); returns the last counter handed out. Deletions come singly and
// in runs (a purge of old results); a few rows are updated and outgrow their place.
std::uint64_t Make_Rows(const Table_Recipe& recipe, const Context& ctx, double deleted_fraction, Rng& rng,
                        const std::function<void(const Made_Row&)>& row) {
    const bool with_history = recipe.history && deleted_fraction > 0;
    const double single = deleted_fraction * 0.6;
    const double run_start = deleted_fraction * 0.4 / 40.0;
    const double move_share = with_history ? std::min(0.03, deleted_fraction * 0.1) : 0.0;
    std::uint64_t run_left = 0, id = 0, live = 0;
    while (live < recipe.live) {
        ++id;
        bool deleted = false;
        if (with_history) {
            if (run_left > 0) {
                deleted = true;
                --run_left;
            } else if (rng.Chance(run_start)) {
                run_left = static_cast<std::uint64_t>(rng.Between(10, 70));
                deleted = true;
            } else {
                deleted = rng.Chance(single / (1.0 - deleted_fraction * 0.4));
            }
        }
        const std::vector<Field_Value> values = recipe.make(id, 0, rng, ctx);
        if (deleted) {
            row({Row_Kind::Deleted, id, values, nullptr, rng});
            continue;
        }
        if (move_share > 0 && rng.Chance(move_share)) {
            const Rng before = rng;
            const std::vector<Field_Value> updated = recipe.make(id, 1, rng, ctx);
            row({Row_Kind::Moved, id, values, &updated, before});
        } else {
            row({Row_Kind::Live, id, values, nullptr, rng});
        }
        ++live;
    }
    return id;
}

struct Moved_Row {
    std::uint32_t header;  // its stored row
    std::uint64_t id;
    Rng before_update;
};

// What the row sources share: the recipes, the rows other tables refer to, and where
// each table's rows start.
struct Row_Plans {
    Row_Plans(Profile p, double fraction) : profile(std::move(p)), ctx(Kept_Tables(profile)), deleted_fraction(fraction) {}
    static std::vector<bool> Kept_Tables(const Profile& p) {
        std::vector<bool> kept;
        for (const auto& t : p.tables) kept.push_back(t.referenced);
        return kept;
    }
    Profile profile;
    Context ctx;
    double deleted_fraction;
    std::vector<Rng> starts;                   // per table: the state before its first row
    std::vector<std::vector<Moved_Row>> moved;  // per table
};

// Table `t`'s rows, made again each time the writer asks, exactly as the plan pass made them.
std::shared_ptr<Row_Source> Rows_Of(std::shared_ptr<const Row_Plans> plans, std::size_t t) {
    return Row_Source_Of([plans, t](const Row_Visitor& visit, bool) {
        const Table_Recipe& recipe = plans->profile.tables[t];
        Rng rng = plans->starts[t];
        Make_Rows(recipe, plans->ctx, plans->deleted_fraction, rng,
                  [&](const Made_Row& r) { visit(Build_Row(recipe.layout, r.values)); });
        for (const Moved_Row& m : plans->moved[t]) {
            Rng again = m.before_update;
            visit(Build_Row(recipe.layout, recipe.make(m.id, 1, again, plans->ctx)));
        }
    });
}

std::uint64_t Stored_Size(const Row_Image& row) {
    std::uint64_t size = row.bytes.size();
    for (const auto& lv : row.long_values) size += lv.Size();
    return size;
}

void Add_Keys(const Table_Layout& layout, Table_Image& image, const std::vector<Field_Value>& values,
              std::uint32_t row) {
    for (std::size_t i = 0; i < layout.indexes.size(); ++i) {
        if (Index_Skips_Row(layout, layout.indexes[i], values)) continue;
        image.indexes[i].Add(Encode_Index_Key(layout, layout.indexes[i], values), row);
    }
}

// ---- The plan pass: one table ----------------------------------------------------------

// Takes a table's rows as they are made and keeps what writing and the history need:
// index entries, deleted rows, moved rows, the counts and first rows for the report.
class Table_Planner {
public:
    Table_Planner(Row_Plans& plans, std::size_t t, Table_Image& image, Table_History& history,
                  Generated_Table& report, std::uint64_t& written_bytes, const std::shared_ptr<Spill_Space>& spill)
        : plans_(plans), t_(t), layout_(plans.profile.tables[t].layout), image_(image), history_(history),
          report_(report), written_bytes_(written_bytes) {
        for (std::size_t i = 0; i < layout_.indexes.size(); ++i) image_.indexes.emplace_back(spill);
    }

    void Add(const Made_Row& r) {
        const std::uint32_t row = Next_Row();
        const Row_Image built = Build_Row(layout_, r.values);
        Count_Written(built);
        if (r.kind == Row_Kind::Deleted) {
            history_.deleted[row] = true;
            ++report_.deleted_rows;
            return;
        }
        const std::vector<Field_Value>& current = r.kind == Row_Kind::Moved ? *r.updated : r.values;
        Add_Keys(layout_, image_, current, row);
        if (r.kind == Row_Kind::Moved) {
            report_.live_bytes += Stored_Size(Build_Row(layout_, current));
            plans_.moved[t_].push_back({row, r.id, r.before_update});
            ++report_.overflow_rows;
        } else {
            report_.live_bytes += Stored_Size(built);
        }
        plans_.ctx.Add_Live(t_, static_cast<std::uint32_t>(r.id));
        if (report_.first_rows.size() < 3) report_.first_rows.push_back(current);
        ++report_.live_rows;
    }

    // The moved rows' new versions, after all other rows.
    void Finish() {
        for (const Moved_Row& m : plans_.moved[t_]) history_.moved.emplace_back(m.header, Next_Row());
        history_.live = report_.live_rows;
    }

private:
    std::uint32_t Next_Row() {
        if (history_.stored == UINT32_MAX) Too_Large();
        history_.deleted.push_back(false);
        return history_.stored++;
    }
    // Stops long before the disk fills when the rows cannot fit a Jet 4.0 file.
    void Count_Written(const Row_Image& row) {
        written_bytes_ += Stored_Size(row);
        if (written_bytes_ > Max_Generated_Bytes) Too_Large();
    }
    [[noreturn]] static void Too_Large() {
        throw Error("The database would outgrow the 2 GB a Jet 4.0 file can hold; ask for fewer rows.");
    }

    Row_Plans& plans_;
    std::size_t t_;
    const Table_Layout& layout_;
    Table_Image& image_;
    Table_History& history_;
    Generated_Table& report_;
    std::uint64_t& written_bytes_;
};

// ---- Phases of Build -------------------------------------------------------------------

// Page 0, the password and, when asked, the key every page is encoded with.
void Start_Image(Database_Image& image, const Generate_Options& options, const std::string& default_password) {
    image.header = Header_Page();
    image.password = options.password.value_or(default_password);
    if (!options.encrypt) return;
    Rng key_rng(options.seed ^ 0x5EC1E7ull);
    std::uint32_t key = 0;
    while (key == 0) key = static_cast<std::uint32_t>(key_rng.Next());
    image.database_key = key;
}

// Foreign keys: a real index on the referencing column and a logical index on each side,
// each naming the other.
void Wire_Relations(Profile& profile) {
    for (Relation& r : profile.relations) {
        Table_Layout& child = profile.tables[r.child].layout;
        Table_Layout& parent = profile.tables[r.parent].layout;
        Index_Layout fk_index;
        fk_index.columns = {{child.Column_Number(r.child_column), true}};
        child.indexes.push_back(fk_index);
        r.child_logical = static_cast<std::uint32_t>(child.logical_indexes.size());
        Logical_Index_Layout cl;
        cl.name = r.name;
        cl.real_index = static_cast<std::uint32_t>(child.indexes.size() - 1);
        cl.type = f::Logical_Index_Foreign_Key;
        cl.relation_role = 2;
        cl.cascade_update = r.cascade_update ? 1 : 0;
        cl.cascade_delete = r.cascade_delete ? 1 : 0;
        child.logical_indexes.push_back(cl);
        r.parent_logical = static_cast<std::uint32_t>(parent.logical_indexes.size());
        Logical_Index_Layout pl;
        pl.name = ".rC";
        pl.real_index = 0;  // the primary key, always the first real index
        pl.type = f::Logical_Index_Foreign_Key;
        pl.relation_role = 1;
        pl.cascade_update = cl.cascade_update;
        pl.cascade_delete = cl.cascade_delete;
        parent.logical_indexes.push_back(pl);
    }
    for (Relation& r : profile.relations) {
        profile.tables[r.child].layout.logical_indexes[r.child_logical].related_index =
            static_cast<std::int32_t>(r.parent_logical);
        profile.tables[r.parent].layout.logical_indexes[r.parent_logical].related_index =
            static_cast<std::int32_t>(r.child_logical);
    }
}

// Every table's definition page (Jet's tables first): table ids are these pages, and the
// foreign keys name the other table by it.
std::vector<std::uint32_t> Place_Definitions(Profile& profile, const std::vector<Table_Layout>& system) {
    std::vector<std::size_t> lengths;
    for (const auto& t : system) lengths.push_back(Build_Definition(t).size());
    for (const auto& t : profile.tables) lengths.push_back(Build_Definition(t.layout).size());
    const std::vector<std::uint32_t> pages = Definition_Pages(lengths);
    auto user_page = [&](std::size_t t) { return pages[system.size() + t]; };
    for (const Relation& r : profile.relations) {
        profile.tables[r.child].layout.logical_indexes[r.child_logical].related_table_page = user_page(r.parent);
        profile.tables[r.parent].layout.logical_indexes[r.parent_logical].related_table_page = user_page(r.child);
    }
    return pages;
}

// The plan pass over every user table, in order, from one random sequence; each table
// gets the Row_Source that makes its rows again.
void Plan_User_Tables(const std::shared_ptr<Row_Plans>& plans, Built& out, std::size_t first_image,
                      std::uint64_t seed, const std::shared_ptr<Spill_Space>& spill) {
    Rng rng(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull);
    std::uint64_t written_bytes = 0;
    for (std::size_t t = 0; t < plans->profile.tables.size(); ++t) {
        Table_Recipe& recipe = plans->profile.tables[t];
        Table_Image& image = out.image.tables[first_image + t];
        image.name = recipe.layout.name;
        Table_History history;
        history.name = recipe.layout.name;
        history.tdef_page = out.tdef_pages[first_image + t];
        Generated_Table report;
        report.name = recipe.layout.name;
        for (const auto& c : recipe.layout.columns) report.column_names.push_back(c.name);

        plans->starts.push_back(rng);
        plans->moved.emplace_back();
        Table_Planner planner(*plans, t, image, history, report, written_bytes, spill);
        const std::uint64_t last_id = Make_Rows(recipe, plans->ctx, plans->deleted_fraction, rng,
                                                [&](const Made_Row& r) { planner.Add(r); });
        planner.Finish();
        plans->ctx.Complete(t);
        recipe.layout.last_autonumber = static_cast<std::uint32_t>(last_id);
        image.definition = Build_Definition(recipe.layout);
        image.source = Rows_Of(plans, t);
        if (recipe.dropped) {
            out.dropped_tdef_pages.push_back(history.tdef_page);
        } else {
            out.tables.push_back(std::move(report));
            out.history.push_back(std::move(history));
        }
    }
}

// A table of Jet's own, rows held. Rows of dropped objects are written without index
// entries and flagged deleted by the history pass.
void Add_System_Table(Built& out, std::size_t t, const Table_Layout& layout, const std::vector<System_Row>& rows) {
    Table_Image& image = out.image.tables[t];
    image.name = layout.name;
    image.indexes.resize(layout.indexes.size());
    Table_History history;
    history.name = layout.name;
    history.tdef_page = out.tdef_pages[t];
    bool any_dropped = false;
    for (const System_Row& r : rows) {
        const auto row = static_cast<std::uint32_t>(image.rows.size());
        image.rows.push_back(Build_Row(layout, r.values));
        history.deleted.push_back(r.dropped);
        ++history.stored;
        if (r.dropped) {
            any_dropped = true;
        } else {
            Add_Keys(layout, image, r.values, row);
            ++history.live;
        }
    }
    image.definition = Build_Definition(layout);
    if (any_dropped) out.history.push_back(std::move(history));
}

void Add_System_Tables(Built& out, const std::vector<Table_Layout>& system, const Profile& profile) {
    const std::vector<std::uint32_t> system_pages(out.tdef_pages.begin(),
                                                  out.tdef_pages.begin() + static_cast<std::ptrdiff_t>(system.size()));
    std::vector<Table_Object> objects;
    for (std::size_t t = 0; t < profile.tables.size(); ++t)
        objects.push_back({out.tdef_pages[system.size() + t], profile.tables[t].layout.name, profile.tables[t].dropped});
    Add_System_Table(out, Catalog_Table, system[Catalog_Table],
                     Catalog_Rows(system[Catalog_Table], system_pages, objects, profile.relations));
    Add_System_Table(out, Aces_Table, system[Aces_Table], Ace_Rows(system_pages, objects, profile.relations.size()));
    Add_System_Table(out, Queries_Table, system[Queries_Table], {});  // no saved queries
    Add_System_Table(out, Relationships_Table, system[Relationships_Table], Relationship_Rows(profile));
}

}  // namespace

Built Build(const Generate_Options& options, std::uint64_t main_rows, const std::shared_ptr<Spill_Space>& spill) {
    const double fraction = std::clamp(options.deleted_fraction, 0.0, 0.95);
    auto plans = std::make_shared<Row_Plans>(Make_Profile(options.profile, main_rows), fraction);
    Built out;
    Start_Image(out.image, options, plans->profile.default_password);
    Wire_Relations(plans->profile);
    const std::vector<Table_Layout> system = System_Layouts();
    out.tdef_pages = Place_Definitions(plans->profile, system);
    out.image.tables.resize(system.size() + plans->profile.tables.size());
    Plan_User_Tables(plans, out, system.size(), options.seed, spill);
    Add_System_Tables(out, system, plans->profile);
    return out;
}

}  // namespace kelbrook::jet::generator
