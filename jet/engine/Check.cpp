#include "jet/engine/Check.h"

#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "jet/row/Data_Page.h"
#include "jet/row/Row_Numbers.h"
#include "jet/row/Rows.h"
#include "jet/index/Index.h"
#include "jet/index/Key_Encoding.h"

namespace kelbrook::jet {
namespace {

std::string List(const std::vector<std::uint32_t>& pages) {
    std::string out;
    std::size_t shown = 0;
    for (auto p : pages) {
        if (shown == 8) {
            out += ", ... (" + std::to_string(pages.size()) + " in all)";
            break;
        }
        out += (shown++ ? ", " : "") + std::to_string(p);
    }
    return out;
}

// Sorts packed row pointers: two passes of 16-bit buckets, linear in their number (an
// index of a large table lists its rows in key order, which is far from row order).
void Sort_Packed(std::vector<std::uint32_t>& values) {
    if (values.size() < 4096) {
        std::sort(values.begin(), values.end());
        return;
    }
    std::vector<std::uint32_t> scratch(values.size());
    std::vector<std::size_t> start(65537);
    for (int shift = 0; shift < 32; shift += 16) {
        std::fill(start.begin(), start.end(), 0);
        for (std::uint32_t v : values) ++start[((v >> shift) & 0xFFFF) + 1];
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        for (std::uint32_t v : values) scratch[start[(v >> shift) & 0xFFFF]++] = v;
        values.swap(scratch);
    }
}

// Sorts (row pointer << 32 | key hash) pairs by row pointer alone, the same way.
void Sort_By_Row(std::vector<std::uint64_t>& values) {
    if (values.size() < 4096) {
        std::sort(values.begin(), values.end(), [](std::uint64_t a, std::uint64_t b) { return (a >> 32) < (b >> 32); });
        return;
    }
    std::vector<std::uint64_t> scratch(values.size());
    std::vector<std::size_t> start(65537);
    for (int shift = 32; shift < 64; shift += 16) {
        std::fill(start.begin(), start.end(), 0);
        for (std::uint64_t v : values) ++start[((v >> shift) & 0xFFFF) + 1];
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        for (std::uint64_t v : values) scratch[start[(v >> shift) & 0xFFFF]++] = v;
        values.swap(scratch);
    }
}

std::vector<std::uint32_t> Difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

class Checker {
public:
    Checker(const Database& db, const Check_Options& options)
        : db_(db), file_(db.File()), file_name_(file_.Name()), options_(options), in_use_(file_.Page_Count(), false) {}

    std::vector<std::string> Run() {
        Use(0);
        Use(format::Global_Map_Page);
        std::set<std::uint32_t> table_pages;
        for (const auto& t : db_.Tables(true)) table_pages.insert(t.Page());
        if (options_.progress)
            for (const auto& t : db_.Tables(true)) try {
                    rows_expected_ += db_.Definition(t).num_rows;
                } catch (const Error&) {  // Check_Table reports it
                }
        std::map<std::uint32_t, std::string> checked;  // definition page -> table name
        std::vector<Catalog_Entry> tables = db_.Tables(true);
        // The catalogue is checked even where it has lost its own row (say with the page
        // that held it): its damage would hide every table it no longer names.
        if (!table_pages.count(format::Catalog_Tdef_Page)) {
            Catalog_Entry catalogue;
            catalogue.name = "MSysObjects";
            catalogue.id = static_cast<std::int32_t>(format::Catalog_Tdef_Page);
            catalogue.type = format::Object_Type_Table;
            catalogue.flags = format::Object_Flag_System;
            tables.insert(tables.begin(), catalogue);
        }
        for (const auto& t : tables) {
            // A damaged catalogue may name one definition many times: it is checked once.
            if (auto [at, fresh] = checked.emplace(t.Page(), t.name); !fresh) {
                Problem(t.Page(), "the catalogue names this table definition for table \"" + t.name +
                                      "\" as well as for table \"" + at->second + "\"");
                continue;
            }
            try {
                Check_Table(t, table_pages);
            } catch (const Error& e) {
                if (e.kind() == Error_Kind::IO) throw;  // the host failed, not the file
                Problem(std::string(e.what()) + " (table \"" + t.name + "\")");
            }
        }
        if (side_)  // the pages its walks found in use
            for (std::size_t p = 0; p < in_use_.size() && p < side_->in_use_.size(); ++p)
                if (side_->in_use_[p]) in_use_[p] = true;
        try {
            Check_Global_Map();
        } catch (const Error& e) {
            if (e.kind() == Error_Kind::IO) throw;
            Problem(e.what());
        }
        if (unverified_ > 0 && options_.note)
            options_.note(file_.Name() + ": keys not verified in " + std::to_string(unverified_) +
                          (unverified_ == 1 ? " index: " : " indexes, the first: ") + first_unverified_);
        if (options_.progress) options_.progress(1.0);
        return problems_;
    }

private:
    void Problem(const std::string& line) { problems_.push_back(line); }
    void Problem(std::uint32_t page, const std::string& what) {
        Problem(file_.Name() + ": page " + std::to_string(page) + ": " + what);
    }
    void Use(std::uint32_t page) {
        if (page < in_use_.size()) in_use_[page] = true;
    }

    // Reads a usage map and marks its host and bitmap pages in use.
    Usage_Map Map(Row_Pointer where, const std::string& what) {
        Usage_Map m = Read_Usage_Map(file_, where, what);
        if (m.present) {
            Use(where.page);
            for (auto p : m.bitmap_pages) Use(p);
            if (m.beyond_end > 0)
                Problem(where.page, what + " lists " + std::to_string(m.beyond_end) + " pages past the end of the file");
        }
        return m;
    }

    // What one pass over a table's rows gathers for the checks after it.
    struct Rows_Seen {
        std::uint64_t count = 0;
        // Row pointers, packed (page << 8 | row), 4 bytes a row, ascending.
        std::vector<std::uint32_t> live;
        // Per real index: the rows it must list, as (packed row << 32 | key hash); the
        // hash is 0 for indexes whose keys are not built here.
        std::vector<std::vector<std::uint64_t>> keyed;
        std::map<std::uint16_t, std::vector<std::uint32_t>> lval_pages;  // sorted and made unique later
        // Per column: the pages of values lying partly on pages without the long-value
        // signature (the reader saw it), to be named.
        std::map<std::uint16_t, std::vector<std::uint32_t>> off_lval_pages;
        std::vector<std::int64_t> largest_auto;  // per autonumber column: its largest value
    };

    // The columns the indexes and the autonumber counter need. Where the check decodes
    // every value anyway, keys are built from those; else only these columns are decoded.
    struct Key_Plan {
        Table_Definition keyed;  // the table, or only those columns of it
        std::vector<Index_Key_Encoder> encoders;  // per real index, on `keyed`
        // Per real index: the caller's digest of its entries (Check_Options::expected_entries);
        // its keys are not built then.
        std::vector<std::optional<std::uint64_t>> expected;
        std::vector<std::size_t> auto_columns;    // autonumber columns, positions in `keyed`
        bool needed = false;
    };

    static bool Is_Autonumber(const Column& c) {
        return c.type == format::Type_Int32 && (c.flags & format::Column_Flag_Auto_Long) != 0;
    }

    Key_Plan Plan_Keys(const Table_Definition& t, const std::string& name) {
        Key_Plan plan;
        for (std::size_t k = 0; k < t.real_indexes.size(); ++k)
            plan.expected.push_back(options_.expected_entries ? options_.expected_entries(t, k) : std::nullopt);
        plan.keyed = t;
        if (!options_.decode_values) {
            plan.keyed.columns.clear();
            for (const auto& c : t.columns) {
                bool wanted = Is_Autonumber(c);
                for (std::size_t k = 0; k < t.real_indexes.size(); ++k)
                    for (const auto& ic : t.real_indexes[k].columns)
                        wanted = wanted || (!plan.expected[k] && ic.column_number == c.number);
                if (wanted) plan.keyed.columns.push_back(c);
            }
        }
        for (std::size_t i = 0; i < plan.keyed.columns.size(); ++i)
            if (Is_Autonumber(plan.keyed.columns[i])) plan.auto_columns.push_back(i);
        for (std::size_t k = 0; k < t.real_indexes.size(); ++k) {
            const Real_Index& ix = t.real_indexes[k];
            plan.encoders.emplace_back(plan.keyed, ix, db_.Header());
            if (plan.expected[k]) continue;
            plan.needed = true;
            if (!plan.encoders.back().Encodable() && unverified_++ == 0)
                first_unverified_ = Index_Name(t, ix, name) + ": " + plan.encoders.back().Obstacle();
        }
        plan.needed = plan.needed || !plan.auto_columns.empty();
        return plan;
    }

    std::string Index_Name(const Table_Definition& t, const Real_Index& ix, const std::string& table_name) const {
        for (const auto& li : t.logical_indexes)
            if (li.real_index == ix.number) return "index \"" + li.name + "\" of " + table_name;
        return "index " + std::to_string(ix.number) + " of " + table_name;
    }

    // Notes what one live row gives the index and counter checks.
    void Take_Keys(const Key_Plan& plan, const std::vector<Value>& values, const Live_Row& row, Rows_Seen& seen,
                   std::vector<std::uint8_t>& key) {
        const std::uint64_t packed = static_cast<std::uint64_t>(Pack(row.header)) << 32;
        for (std::size_t k = 0; k < plan.encoders.size(); ++k) {
            const Index_Key_Encoder& encoder = plan.encoders[k];
            if (plan.expected[k] || encoder.Skips(values)) continue;
            seen.keyed[k].push_back(packed | (encoder.Encode(values, key) ? Index_Key_Hash(key) : 0));
        }
        for (std::size_t a = 0; a < plan.auto_columns.size(); ++a)
            if (const Value& v = values[plan.auto_columns[a]]; !v.Is_Null())
                seen.largest_auto[a] = std::max(seen.largest_auto[a], v.integer);
    }

    Rows_Seen Read_Rows(const Table_Definition& t, const Key_Plan& plan) {
        Rows_Seen seen;
        seen.keyed.resize(t.real_indexes.size());
        seen.largest_auto.assign(plan.auto_columns.size(), 0);
        std::vector<std::uint8_t> key;
        std::vector<Value> values;
        const Row_Split split(plan.keyed);
        const Live_Row_Visitor take = [&](Live_Row& row) {
            ++seen.count;
            seen.live.push_back(Pack(row.header));
            if (options_.decode_values || plan.needed)
                Decode_Row_Into(
                    plan.keyed, split, row,
                    [&] {
                        return file_name_ + ": page " + std::to_string(row.header.page) + ", row " +
                               std::to_string(row.header.row);
                    },
                    values);
            if (options_.on_row) options_.on_row(t, row);
            if (options_.progress && ++rows_read_ % 4096 == 0)
                options_.progress(std::min(0.99, static_cast<double>(rows_read_) /
                                                     static_cast<double>(std::max<std::uint64_t>(rows_expected_, 1))));
            if (plan.needed) Take_Keys(plan, values, row, seen, key);
            for (const auto& lv : row.long_values)
                if (!lv.pages.empty()) {
                    auto& pages = seen.lval_pages[lv.column_number];
                    for (auto p : lv.pages)
                        if (pages.empty() || pages.back() != p) pages.push_back(p);
                    if (lv.off_lval_pages) {
                        auto& off = seen.off_lval_pages[lv.column_number];
                        off.insert(off.end(), lv.pages.begin(), lv.pages.end());
                    }
                }
        };
        db_.Rows(t, take, options_.long_values);
        if (!std::is_sorted(seen.live.begin(), seen.live.end())) Sort_Packed(seen.live);
        for (auto& keyed : seen.keyed)
            if (!std::is_sorted(keyed.begin(), keyed.end())) Sort_By_Row(keyed);
        return seen;
    }

    void Check_Table(const Catalog_Entry& entry, const std::set<std::uint32_t>& table_pages) {
        const Table_Definition& t = db_.Definition(entry);
        const std::string name = "table \"" + entry.name + "\"";
        for (auto p : t.pages) Use(p);
        const std::vector<std::uint32_t> owned_pages = Check_Data_Pages(t, name);
        const Key_Plan plan = Plan_Keys(t, name);
        Digest_Checks digests(*this, t, name, plan.expected);
        Rows_Seen seen = Read_Rows(t, plan);
        Check_Counters(entry, t, name, plan, seen);
        Check_Long_Values(t, name, seen);
        for (const auto& li : t.logical_indexes)
            if (li.Is_Foreign_Key() && li.related_table_page != 0 && !table_pages.count(li.related_table_page))
                Problem(t.page, "index \"" + li.name + "\" of " + name + " relates to table definition page " +
                                    std::to_string(li.related_table_page) + ", which is no table");
        const std::vector<std::vector<std::string>> digest_problems = digests.Finish();
        for (std::size_t k = 0; k < t.real_indexes.size(); ++k) {
            if (plan.expected[k]) {
                problems_.insert(problems_.end(), digest_problems[k].begin(), digest_problems[k].end());
                continue;
            }
            const std::string iname = Index_Name(t, t.real_indexes[k], name);
            try {
                Check_Index(t, t.real_indexes[k], iname, seen.live, seen.keyed[k], plan.encoders[k].Encodable());
            } catch (const Error& e) {
                if (e.kind() == Error_Kind::IO) throw;
                Problem(std::string(e.what()) + " (" + iname + ")");
            }
            std::vector<std::uint64_t>().swap(seen.keyed[k]);  // done with: memory back before the next
        }
    }

    // The indexes of `t` checked against a digest: their problems, per real index. They
    // need no row values, so that they may be checked on a second handle of the file
    // while the rows are read on the first.
    std::vector<std::vector<std::string>> Check_Digests(const Table_Definition& t, const std::string& name,
                                                         const std::vector<std::optional<std::uint64_t>>& expected) {
        std::vector<std::vector<std::string>> found(expected.size());
        std::vector<std::string> earlier = std::exchange(problems_, {});
        std::optional<Row_Numbers> numbers;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            if (!expected[k]) continue;
            const std::string iname = Index_Name(t, t.real_indexes[k], name);
            try {
                if (!numbers) numbers = Table_Row_Numbers(file_, t);
                Check_Index_Digest(t, t.real_indexes[k], iname, *numbers, *expected[k]);
            } catch (const Error& e) {
                if (e.kind() == Error_Kind::IO) {
                    problems_ = std::move(earlier);
                    throw;
                }
                Problem(std::string(e.what()) + " (" + iname + ")");
            }
            found[k] = std::exchange(problems_, {});
        }
        problems_ = std::move(earlier);
        return found;
    }

    // The digest checks of one table: on a second thread with the side checker, where the
    // options give a second handle and the table is large enough; else here, at Finish.
    class Digest_Checks {
    public:
        Digest_Checks(Checker& here, const Table_Definition& t, const std::string& name,
                      const std::vector<std::optional<std::uint64_t>>& expected)
            : here_(here), t_(t), name_(name), expected_(expected) {
            const bool any = std::any_of(expected.begin(), expected.end(), [](const auto& d) { return d.has_value(); });
            Checker* side = any && t.num_rows >= here.options_.rows_beside ? here.Side() : nullptr;
            if (!side) return;
            try {
                thread_ = std::thread([this, side] {
                    try {
                        found_ = side->Check_Digests(t_, name_, expected_);
                    } catch (...) {
                        failure_ = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {  // no second thread: all here
            }
        }
        ~Digest_Checks() {
            if (thread_.joinable()) thread_.join();
        }
        std::vector<std::vector<std::string>> Finish() {
            if (!thread_.joinable()) return here_.Check_Digests(t_, name_, expected_);
            thread_.join();
            if (failure_) std::rethrow_exception(failure_);
            return std::move(found_);
        }

    private:
        Checker& here_;
        const Table_Definition& t_;
        const std::string& name_;
        const std::vector<std::optional<std::uint64_t>>& expected_;
        std::thread thread_;
        std::vector<std::vector<std::string>> found_;
        std::exception_ptr failure_;
    };

    // The checker of the second handle (Check_Options::beside), made when first needed.
    Checker* Side() {
        if (!options_.beside) return nullptr;
        if (!side_) {
            Check_Options side_options;
            side_options.strict_global_map = options_.strict_global_map;
            side_ = std::make_unique<Checker>(*options_.beside, side_options);
        }
        return side_.get();
    }

    // The owned map must list exactly the table's data pages; the free-space map only
    // pages the table owns. Returns the owned pages.
    std::vector<std::uint32_t> Check_Data_Pages(const Table_Definition& t, const std::string& name) {
        Usage_Map owned = Map(t.owned_map, "the page map of " + name);
        // One line for all the pages it should not list, however many: a damaged map may
        // list every page of the file, for every table.
        std::vector<std::uint32_t> foreign;
        std::vector<std::uint32_t> owned_pages = owned.Pages();
        for (auto p : owned_pages) {
            if (file_.Data_Page_Table(p) != t.page) {
                foreign.push_back(p);
                continue;
            }
            Use(p);
        }
        if (!foreign.empty())
            Problem(foreign.front(), "the page map of " + name + " lists pages that are not data pages of the table: " +
                                         List(foreign));
        Usage_Map free_map = Map(t.free_map, "the free-space map of " + name);
        auto stray = Difference(free_map.Pages(), owned_pages);
        if (!stray.empty())
            Problem(t.page, "the free-space map of " + name + " lists pages the table does not own: " + List(stray));
        return owned_pages;
    }

    // The row count and the autonumber counter of the definition against the rows. Access
    // leaves stale counts in some of its own tables, so theirs are held to it only when
    // strict; a user table's count and every autonumber counter always.
    void Check_Counters(const Catalog_Entry& entry, const Table_Definition& t, const std::string& name,
                        const Key_Plan& plan, const Rows_Seen& seen) {
        if (seen.count != t.num_rows && (options_.strict_global_map || !entry.Is_System()))
            Problem(t.page, name + " records " + std::to_string(t.num_rows) + " rows but holds " + std::to_string(seen.count));
        for (std::size_t a = 0; a < plan.auto_columns.size(); ++a)
            if (seen.largest_auto[a] > static_cast<std::int64_t>(t.autonumber))
                Problem(t.page, "the autonumber counter of " + name + " is " + std::to_string(t.autonumber) +
                                    ", below the largest value of column \"" +
                                    plan.keyed.columns[plan.auto_columns[a]].name + "\" (" +
                                    std::to_string(seen.largest_auto[a]) + "): new rows would repeat values");
    }

    // Long values on long-value pages listed in their column's map.
    void Check_Long_Values(const Table_Definition& t, const std::string& name, Rows_Seen& seen) {
        for (const auto& c : t.columns) {
            if (!c.Is_Long_Value()) continue;
            std::vector<std::uint32_t>& used = seen.lval_pages[c.number];
            Sort_Packed(used);
            used.erase(std::unique(used.begin(), used.end()), used.end());
            for (auto p : used) Use(p);
            std::vector<std::uint32_t>& off = seen.off_lval_pages[c.number];
            Sort_Packed(off);
            off.erase(std::unique(off.begin(), off.end()), off.end());
            for (auto p : off) {
                if (!Is_Lval_Page(*file_.Read(p)))
                    Problem(p, "column \"" + c.name + "\" of " + name + " keeps a memo/OLE value here, which is not a long-value page");
            }
            if (!c.has_page_maps) continue;
            Usage_Map lv_map = Map(c.owned_map, "the memo/OLE page map of column \"" + c.name + "\" of " + name);
            Map(c.free_map, "the memo/OLE free-space map of column \"" + c.name + "\" of " + name);
            if (!lv_map.present) continue;
            auto missing = Difference(used, lv_map.Pages());
            if (!missing.empty())
                Problem(t.page, "column \"" + c.name + "\" of " + name +
                                    " keeps values on pages its page map does not list: " + List(missing));
            if (options_.strict_global_map) {
                auto extra = Difference(lv_map.Pages(), used);
                if (!extra.empty())
                    Problem(t.page, "the memo/OLE page map of column \"" + c.name + "\" of " + name +
                                        " lists pages holding none of its values: " + List(extra));
            }
        }
    }

    static std::uint32_t Pack(Row_Pointer p) { return (p.page << 8) | p.row; }
    static std::string Describe(std::uint32_t packed) {
        return "page " + std::to_string(packed >> 8) + ", row " + std::to_string(packed & 0xFF);
    }

    // Walks the tree: entries in order, leaves linked in order, the page map listing the
    // tree; `take` gets each entry.
    void Walk_Tree(const Table_Definition& t, const Real_Index& ix, const std::string& iname,
                   const std::function<void(const std::string&)>& report,
                   const std::function<void(const Index_Entry&)>& take) {
        std::vector<std::uint32_t> tree;
        Row_Pointer previous{};
        Walk_Index(
            file_, t, ix,
            [&](const Index_Entry& e) {
                if (!e.ordered)
                    report("entries out of order (" + Describe(Pack(e.row)) + " after " + Describe(Pack(previous)) + ")");
                previous = e.row;
                take(e);
            },
            &tree, true);
        for (auto p : tree) Use(p);
        Check_Leaf_Links(tree, report);
        std::sort(tree.begin(), tree.end());
        Usage_Map m = Map(ix.page_map, "the page map of " + iname);
        auto unlisted = Difference(tree, m.Pages());
        auto extra = Difference(m.Pages(), tree);
        if (!unlisted.empty()) report("its page map leaves out tree pages " + List(unlisted));
        if (!extra.empty()) report("its page map lists pages outside the tree: " + List(extra));
    }

    // The leaves, in tree order, form one doubly linked list.
    void Check_Leaf_Links(const std::vector<std::uint32_t>& tree, const std::function<void(const std::string&)>& report) {
        struct Leaf_Links {
            std::uint32_t prev = 0, next = 0;
        };
        std::vector<Leaf_Links> leaves;
        std::vector<std::uint32_t> leaf_pages;
        for (auto p : tree) {
            // The walk has read and checked every tree page; only the links are needed here.
            Page_Ref page = file_.Read(p);
            if ((*page)[0] != format::Page_Type_Index_Leaf) continue;
            leaves.push_back({Get_U32(*page, format::Index_Prev_Page), Get_U32(*page, format::Index_Next_Page)});
            leaf_pages.push_back(p);
        }
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            std::uint32_t prev = i == 0 ? 0 : leaf_pages[i - 1];
            std::uint32_t next = i + 1 == leaves.size() ? 0 : leaf_pages[i + 1];
            if (leaves[i].prev != prev || leaves[i].next != next)
                report("leaf page " + std::to_string(leaf_pages[i]) + " links to pages " + std::to_string(leaves[i].prev) +
                       " and " + std::to_string(leaves[i].next) + " instead of its neighbours " + std::to_string(prev) +
                       " and " + std::to_string(next));
        }
    }

    // `keyed`: the rows the index must list, with their keys' hashes, sorted by row; rows
    // of `live` missing from it are ones the index leaves out (ignore-nulls, all null).
    void Check_Index(const Table_Definition& t, const Real_Index& ix, const std::string& iname,
                     const std::vector<std::uint32_t>& live, const std::vector<std::uint64_t>& keyed, bool keys_built) {
        std::size_t reported = 0;
        auto report = [&](const std::string& what) {
            if (reported++ < 10) Problem(ix.root, iname + ": " + what);
        };
        // The entries as (packed row << 32 | key hash), sorted by row.
        std::vector<std::uint64_t> pointed;
        Walk_Tree(t, ix, iname, report, [&](const Index_Entry& e) {
            pointed.push_back(static_cast<std::uint64_t>(Pack(e.row)) << 32 | Index_Key_Hash(e.key));
        });
        Sort_By_Row(pointed);

        // Entries against live rows, both sorted: each live row once, nothing else, and
        // each entry's key the one its row's values give.
        std::size_t e = 0, k = 0;
        for (std::size_t r = 0; r <= live.size(); ++r) {
            const bool at_end = r == live.size();
            while (e < pointed.size() && (at_end || (pointed[e] >> 32) < live[r]))
                report("an entry points at " + Describe(static_cast<std::uint32_t>(pointed[e++] >> 32)) +
                       ", which is not a live row of the table");
            if (at_end) break;
            while (k < keyed.size() && (keyed[k] >> 32) < live[r]) ++k;
            const bool listed = k < keyed.size() && (keyed[k] >> 32) == live[r];
            std::size_t count = 0;
            for (; e < pointed.size() && (pointed[e] >> 32) == live[r]; ++e)
                if (++count == 1 && listed && keys_built && static_cast<std::uint32_t>(pointed[e]) != static_cast<std::uint32_t>(keyed[k]))
                    report("the entry for the row on " + Describe(live[r]) +
                           " holds another key than the row's values give");
            if (count > 1) report("the row on " + Describe(live[r]) + " is listed " + std::to_string(count) + " times");
            if (count == 0 && listed) report("the live row on " + Describe(live[r]) + " is missing from it");
        }
    }

    // The index against the digest of the entries it must hold (Check_Options::
    // expected_entries): each entry a live row, each row at most once, and the (row
    // number, key) pairs the digest stands for. `numbers`: the live rows' numbers.
    void Check_Index_Digest(const Table_Definition& t, const Real_Index& ix, const std::string& iname,
                            const Row_Numbers& numbers, std::uint64_t expected) {
        std::size_t reported = 0;
        auto report = [&](const std::string& what) {
            if (reported++ < 10) Problem(ix.root, iname + ": " + what);
        };
        std::uint64_t digest = 0;
        std::vector<bool> listed(numbers.Count(), false);
        Walk_Tree(t, ix, iname, report, [&](const Index_Entry& e) {
            const auto r = numbers.Of(e.row);
            if (!r) return report("an entry points at " + Describe(Pack(e.row)) + ", which is not a live row of the table");
            if (listed[*r]) return report("the row on " + Describe(Pack(e.row)) + " is listed more than once");
            listed[*r] = true;
            digest += Index_Entry_Digest(*r, e.key);
        });
        if (reported == 0 && digest != expected)
            report("its entries are not the ones the rows' values give (rows left out, or keys that differ)");
    }

    void Check_Global_Map() {
        Usage_Map global = Read_Usage_Map(file_, Row_Pointer{format::Global_Map_Page, 0}, "the global page map");
        for (auto p : global.bitmap_pages) Use(p);
        std::vector<std::uint32_t> marked_free, uncovered, orphans;
        for (std::uint32_t p = 0; p < in_use_.size(); ++p) {
            bool covered = global.Covers(p);
            bool is_free = global.Has(p);
            if (in_use_[p]) {
                if (is_free) marked_free.push_back(p);
                else if (!covered) uncovered.push_back(p);
            } else if (options_.strict_global_map && !is_free) {
                orphans.push_back(p);
            }
        }
        if (!marked_free.empty())
            Problem(format::Global_Map_Page, "the global page map marks pages in use as free: " + List(marked_free));
        if (!uncovered.empty() && (options_.strict_global_map || !global.reference))
            Problem(format::Global_Map_Page, "the global page map does not cover pages in use: " + List(uncovered));
        if (!orphans.empty())
            Problem(format::Global_Map_Page,
                    "pages that nothing uses are marked in use by the global page map: " + List(orphans));
    }

    const Database& db_;
    const Page_File& file_;
    const std::string file_name_;  // for the rows' places in errors, made once
    Check_Options options_;
    std::vector<bool> in_use_;
    std::vector<std::string> problems_;
    std::uint64_t rows_expected_ = 0;  // the tables' recorded row counts, for progress
    std::uint64_t rows_read_ = 0;
    std::size_t unverified_ = 0;    // indexes whose keys are not built here
    std::string first_unverified_;  // the first of them, and why
    std::unique_ptr<Checker> side_;  // on Check_Options::beside, for Digest_Checks
};

}  // namespace

std::vector<std::string> Check(const Database& database, const Check_Options& options) {
    return Checker(database, options).Run();
}

std::vector<std::string> Check(const std::filesystem::path& path, const std::string& password,
                               const Check_Options& options) {
    std::unique_ptr<Database> db;
    try {
        db = std::make_unique<Database>(path, password);
    } catch (const Password_Error&) {
        throw;
    } catch (const Error& e) {
        return {e.what()};
    }
    return Check(*db, options);
}

}  // namespace kelbrook::jet
