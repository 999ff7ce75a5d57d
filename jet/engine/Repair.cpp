#include "jet/engine/Repair.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "jet/file/Format.h"
#include "jet/index/Index.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

std::string Slot_Text(Row_Pointer p) {
    return "page " + std::to_string(p.page) + ", row " + std::to_string(p.row);
}

// The column that holds the table's autonumber counter, if any.
const Column* Counter_Column(const Table_Definition& def) {
    for (const auto& c : def.columns)
        if (c.type == f::Type_Int32 && (c.flags & f::Column_Flag_Auto_Long) != 0) return &c;
    return nullptr;
}

// The table's definition with only the columns its index keys and its counter need, so
// that a row's values are decoded for those alone.
Table_Definition Key_Definition(const Table_Definition& def) {
    std::set<std::uint16_t> wanted;
    for (const auto& ri : def.real_indexes)
        for (const auto& ic : ri.columns) wanted.insert(ic.column_number);
    if (const Column* counter = Counter_Column(def)) wanted.insert(counter->number);
    Table_Definition key_def = def;  // the bytes too: sort orders are read from them
    key_def.columns.clear();
    for (const auto& c : def.columns)
        if (wanted.count(c.number)) key_def.columns.push_back(c);
    if (key_def.var_columns == 0)  // keeps Split_Row's view of the row whatever columns are left
        for (const auto& c : def.columns)
            if (!c.Is_Fixed()) key_def.var_columns = 1;
    return key_def;
}

// Leaves listed in tree order must link to each other in that order, the first and last
// to nothing. Empty when they do, else what is wrong.
std::string Leaf_Link_Problem(const Page_File& file, const std::vector<std::uint32_t>& tree_pages) {
    std::vector<std::uint32_t> leaves;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;  // (prev, next) per leaf
    for (std::uint32_t p : tree_pages) {
        const Page_Ref page = file.Read(p);
        if ((*page)[0] != f::Page_Type_Index_Leaf) continue;
        leaves.push_back(p);
        links.emplace_back(Get_U32(*page, f::Index_Prev_Page), Get_U32(*page, f::Index_Next_Page));
    }
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        const std::uint32_t prev = k == 0 ? 0 : leaves[k - 1];
        const std::uint32_t next = k + 1 == leaves.size() ? 0 : leaves[k + 1];
        if (links[k].first != prev || links[k].second != next)
            return "its leaf page " + std::to_string(leaves[k]) + " links to pages " + std::to_string(links[k].first) +
                   " and " + std::to_string(links[k].second) + " instead of " + std::to_string(prev) + " and " +
                   std::to_string(next);
    }
    return {};
}

}  // namespace

std::string Describe(const Repair_Note& note) {
    std::string text = "table '" + note.table + "'";
    if (note.row) text += ", " + Slot_Text(*note.row);
    return text + ": " + note.description;
}

Table_Repair::Table_Repair(const Database& db, const Table_Definition& def, std::string name, bool system)
    : def_(def), name_(std::move(name)), where_(db.Name() + ": table '" + name_ + "'"), system_(system),
      key_def_(Key_Definition(def)), key_split_(key_def_) {
    for (const auto& ri : def.real_indexes) {
        encoders_.emplace_back(key_def_, ri, db.Header());
        expected_.push_back(0);
        for (const auto& ic : ri.columns)
            if (const Column* c = def.Find_Column(ic.column_number); c && c->Is_Long_Value() && encoders_.back().Encodable())
                needs_long_values_ = true;
    }
    demote_.assign(def.real_indexes.size(), false);
    keep_headers_ = std::any_of(encoders_.begin(), encoders_.end(), [](const auto& e) { return !e.Encodable(); });
    tree_problems_.resize(def.real_indexes.size());
    found_.assign(def.real_indexes.size(), 0);
    listed_.resize(def.real_indexes.size());
    if (const Column* counter = Counter_Column(def))
        for (std::size_t k = 0; k < key_def_.columns.size(); ++k)
            if (key_def_.columns[k].number == counter->number) counter_column_ = k;
}

void Table_Repair::Add_Row(const Live_Row& live) {
    ++rows_;
    if (keep_headers_) headers_.push_back(live.header);
    if (encoders_.empty() && !counter_column_) return;
    std::vector<Value>& values = values_;
    Decode_Row_Into(key_def_, key_split_, live, [this] { return where_; }, values);
    if (counter_column_ && values[*counter_column_].kind == Value::Kind::Int32)
        counter_max_ = std::max(counter_max_, values[*counter_column_].integer);
    const auto row = static_cast<std::uint32_t>(rows_ - 1);
    for (std::size_t i = 0; i < encoders_.size(); ++i) {
        const Index_Key_Encoder& encoder = encoders_[i];
        if (!encoder.Encodable() || encoder.Skips(values)) continue;
        encoder.Encode(values, key_);
        expected_[i] += Index_Entry_Digest(row, key_);
    }
}

std::string Table_Repair::Index_Name(std::size_t i) const {
    std::string names;
    for (const auto& li : def_.logical_indexes)
        if (li.real_index == i) names += (names.empty() ? "" : ", ") + li.name;
    return "index " + std::to_string(i) + (names.empty() ? "" : " (" + names + ")");
}

Index_Image Table_Repair::Read_Index(std::size_t i, const Page_File& file, const Row_Of& row_of,
                                     const Source_Key& source_key, const std::shared_ptr<Spill_Space>& spill) {
    const Real_Index& ri = def_.real_indexes[i];
    const bool encodable = encoders_[i].Encodable();
    std::string& problem = tree_problems_[i];  // the first thing found wrong
    problem.clear();
    auto found = [&problem](const std::string& what) {
        if (problem.empty()) problem = what;
    };
    std::uint64_t digest = 0;
    std::vector<bool>& listed = listed_[i];  // only where keys are not built here
    listed.clear();
    Index_Image copied(spill);
    if (ri.root != 0) {
        std::vector<std::uint32_t> tree_pages;
        std::vector<std::uint8_t> key;
        try {
            Walk_Index(file, def_, ri, [&](const Index_Entry& e) {
                if (!e.ordered) found("its entries are out of order at " + Slot_Text(e.row));
                const auto r = row_of(e.row);
                if (!r) return found("it lists " + Slot_Text(e.row) + ", which holds no live row");
                const std::vector<std::uint8_t>* stored = &e.key;
                if (source_key) {
                    key.assign(e.key.begin(), e.key.end());
                    source_key(key, *r);
                    stored = &key;
                }
                digest += Index_Entry_Digest(*r, *stored);
                // Entries in order, rows numbered in source order: they stay in order. Once
                // something is wrong the index is rebuilt, and its copy is of no use.
                if (problem.empty()) copied.Add(*stored, *r, e.ordered && !source_key);
                if (!encodable) {
                    if (*r >= listed.size()) listed.resize(std::max<std::size_t>(std::size_t{*r} + 1, 2 * listed.size()));
                    if (listed[*r]) return found("it lists " + Slot_Text(e.row) + " twice");
                    listed[*r] = true;
                }
            }, &tree_pages, true);
            found(Leaf_Link_Problem(file, tree_pages));
        } catch (const Error& e) {
            if (e.kind() != Error_Kind::Corrupt) throw;  // the host's failure, not the index's
            found(std::string("it cannot be read (") + e.what() + ")");
        }
    }
    found_[i] = digest;
    copied.Done_Adding();
    return copied;
}

std::string Table_Repair::Index_Problem(std::size_t i) const {
    if (!tree_problems_[i].empty()) return tree_problems_[i];
    // Every row listed with the key its values give, and no other; where keys are not
    // built here, every row listed unless the index may leave rows out.
    if (encoders_[i].Encodable())
        return found_[i] == expected_[i] ? std::string()
                                         : "its entries are not the ones the rows' values give (a key differs, or a "
                                           "row is left out or listed more than once)";
    const std::vector<bool>& listed = listed_[i];
    for (std::size_t r = 0; !def_.real_indexes[i].Ignore_Nulls() && r < rows_; ++r)
        if (r >= listed.size() || !listed[r]) return "it misses the row at " + Slot_Text(headers_[r]);
    return {};
}

Index_Image Table_Repair::Index_Entries(std::size_t i, Index_Image copied, const Reread& reread,
                                        const std::shared_ptr<Spill_Space>& spill) {
    const std::string problem = Index_Problem(i);
    if (problem.empty()) return copied;
    copied.Clear();
    if (!encoders_[i].Encodable())
        throw Error(where_ + ": " + Index_Name(i) + ": " + problem + "; it cannot be rebuilt here because " +
                    encoders_[i].Obstacle() + ". The database needs repair.");
    return Rebuild(i, problem, reread, spill);
}

Index_Image Table_Repair::Rebuild(std::size_t i, const std::string& why, const Reread& reread,
                                  const std::shared_ptr<Spill_Space>& spill) {
    notes_.push_back(Repair_Note{false, Repair_Code::Index_Rebuilt, name_,
                                 Index_Name(i) + " was out of step with the rows: " + why +
                                     "; it was rebuilt from the rows' values",
                                 std::nullopt});
    // Phase: the key of every row the index does not leave out.
    const Real_Index& ri = def_.real_indexes[i];
    const Index_Key_Encoder& encoder = encoders_[i];
    Index_Image entries(spill);
    std::vector<bool> all_null(rows_, true);
    std::vector<Row_Pointer> headers;  // per row: its slot in the source, for the notes
    std::uint32_t r = 0;
    std::vector<Value> values;
    reread([&](const Live_Row& live) {
        const std::uint32_t row = r++;
        if (row >= rows_) throw Error(where_ + ": the table changed while it was being compacted.");
        if (ri.Unique()) headers.push_back(live.header);
        Decode_Row_Into(key_def_, key_split_, live, [this] { return where_; }, values);
        if (encoder.Skips(values)) return;
        for (const auto& ic : ri.columns)
            for (std::size_t k = 0; k < key_def_.columns.size(); ++k)
                if (key_def_.columns[k].number == ic.column_number && !values[k].Is_Null()) all_null[row] = false;
        encoder.Encode(values, key_);
        entries.Add(key_, row);
    });
    if (r != rows_) throw Error(where_ + ": the table changed while it was being compacted.");
    entries.Done_Adding();
    if (!ri.Unique()) return entries;

    // Phase: a unique index must still be one. Rows whose keys now agree (other than all
    // null) are all kept, and the index is kept as a non-unique one.
    std::vector<std::uint8_t> previous;
    std::optional<std::uint32_t> previous_row;
    entries.Each([&](std::span<const std::uint8_t> key, std::uint32_t row) {
        const bool same = previous_row && std::equal(key.begin(), key.end(), previous.begin(), previous.end());
        if (same && !all_null[row]) {
            demote_[i] = true;
            notes_.push_back(Repair_Note{true, Repair_Code::Duplicate_Key, name_,
                                         Index_Name(i) + " is unique but this row has the same key as the row at " +
                                             Slot_Text(headers[*previous_row]) +
                                             "; both rows were kept and the index is no longer unique",
                                         headers[row]});
        }
        if (!same) {
            previous.assign(key.begin(), key.end());
            previous_row = row;
        }
    });
    return entries;
}

void Table_Repair::Finish_Definition(std::vector<std::uint8_t>& definition) {
    if (def_.num_rows != rows_ && !system_)
        notes_.push_back(Repair_Note{false, Repair_Code::Row_Count, name_,
                                     "the stored row count " + std::to_string(def_.num_rows) + " was recounted as " +
                                         std::to_string(rows_),
                                     std::nullopt});
    if (counter_column_) {
        const auto last = static_cast<std::uint32_t>(std::max<std::int64_t>(0, counter_max_));
        if (def_.autonumber < last)
            notes_.push_back(Repair_Note{false, Repair_Code::Autonumber, name_,
                                         "the autonumber counter " + std::to_string(def_.autonumber) +
                                             " lay below the column's largest value " + std::to_string(last) +
                                             "; the next row gets " + std::to_string(std::uint64_t{last} + 1),
                                         std::nullopt});
        Put_U32(definition, f::Tdef_Autonumber, last);
    }
    for (std::size_t i = 0; i < demote_.size(); ++i)
        if (demote_[i])
            definition[def_.real_indexes[i].block_offset + f::Real_Index_Flags] &=
                static_cast<std::uint8_t>(~f::Index_Flag_Unique);
}

}  // namespace kelbrook::jet
