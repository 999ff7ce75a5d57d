#include "jet/engine/Check.h"

#include <algorithm>
#include <map>
#include <set>

#include "jet/row/Data_Page.h"
#include "jet/index/Index.h"

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

std::vector<std::uint32_t> Difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

class Checker {
public:
    Checker(const Database& db, const Check_Options& options)
        : db_(db), file_(db.File()), options_(options), in_use_(file_.Page_Count(), false) {}

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
        for (const auto& t : db_.Tables(true)) {
            // A damaged catalogue may name one definition many times: it is checked once.
            if (auto [at, fresh] = checked.emplace(t.Page(), t.name); !fresh) {
                Problem(t.Page(), "the catalogue names this table definition for table \"" + t.name +
                                      "\" as well as for table \"" + at->second + "\"");
                continue;
            }
            try {
                Check_Table(t, table_pages);
            } catch (const Error& e) {
                Problem(std::string(e.what()) + " (table \"" + t.name + "\")");
            }
        }
        try {
            Check_Global_Map();
        } catch (const Error& e) {
            Problem(e.what());
        }
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

    void Check_Table(const Catalog_Entry& entry, const std::set<std::uint32_t>& table_pages) {
        const Table_Definition& t = db_.Definition(entry);
        const std::string name = "table \"" + entry.name + "\"";
        for (auto p : t.pages) Use(p);

        // Data pages: the owned map must list exactly the table's data pages.
        Usage_Map owned = Map(t.owned_map, "the page map of " + name);
        // One line for all the pages it should not list, however many: a damaged map may
        // list every page of the file, for every table.
        std::vector<std::uint32_t> foreign;
        const std::vector<std::uint32_t> owned_pages = owned.Pages();
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

        // Rows: decoded in full; long values on pages of their column's map. Row pointers
        // are kept packed (page << 8 | row), 4 bytes a row; they come in ascending order.
        std::vector<std::uint32_t> live;
        // Per ignore-nulls index: the rows whose index columns are all null.
        std::vector<std::vector<std::uint32_t>> all_null(t.real_indexes.size());
        std::vector<std::vector<std::size_t>> index_columns(t.real_indexes.size());
        for (std::size_t k = 0; k < t.real_indexes.size(); ++k)
            for (const auto& ic : t.real_indexes[k].columns)
                for (std::size_t i = 0; i < t.columns.size(); ++i)
                    if (t.columns[i].number == ic.column_number) index_columns[k].push_back(i);
        std::map<std::uint16_t, std::vector<std::uint32_t>> lval_pages;  // sorted and made unique below
        const bool ignore_nulls = std::any_of(t.real_indexes.begin(), t.real_indexes.end(),
                                              [](const Real_Index& ix) { return ix.Ignore_Nulls(); });
        std::uint64_t rows = 0;
        db_.Rows(t, [&](const Live_Row& row) {
            ++rows;
            live.push_back(Pack(row.header));
            if (options_.decode_values) db_.Decode(t, row);
            if (options_.on_row) options_.on_row(t, row);
            if (options_.progress && ++rows_read_ % 4096 == 0)
                options_.progress(std::min(0.99, static_cast<double>(rows_read_) /
                                                     static_cast<double>(std::max<std::uint64_t>(rows_expected_, 1))));
            if (ignore_nulls) {
                const auto fields = Split_Row(t, row.bytes, Describe(Pack(row.header)));
                for (std::size_t k = 0; k < t.real_indexes.size(); ++k) {
                    if (!t.real_indexes[k].Ignore_Nulls()) continue;
                    bool nulls = std::all_of(index_columns[k].begin(), index_columns[k].end(),
                                             [&fields](std::size_t i) { return fields[i].null; });
                    if (nulls) all_null[k].push_back(Pack(row.header));
                }
            }
            for (const auto& lv : row.long_values)
                if (!lv.pages.empty()) {
                    auto& pages = lval_pages[lv.column_number];
                    for (auto p : lv.pages)
                        if (pages.empty() || pages.back() != p) pages.push_back(p);
                }
        });
        if (!std::is_sorted(live.begin(), live.end())) Sort_Packed(live);
        if (options_.strict_global_map && rows != t.num_rows)
            Problem(t.page, name + " records " + std::to_string(t.num_rows) + " rows but holds " + std::to_string(rows));

        for (const auto& c : t.columns) {
            if (!c.Is_Long_Value()) continue;
            std::vector<std::uint32_t>& used = lval_pages[c.number];
            Sort_Packed(used);
            used.erase(std::unique(used.begin(), used.end()), used.end());
            for (auto p : used) {
                Use(p);
                Page_Ref page = file_.Read(p);
                if (!std::equal(format::Lval_Signature.begin(), format::Lval_Signature.end(),
                                page->begin() + format::Data_Tdef_Page))
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

        for (const auto& li : t.logical_indexes)
            if (li.Is_Foreign_Key() && li.related_table_page != 0 && !table_pages.count(li.related_table_page))
                Problem(t.page, "index \"" + li.name + "\" of " + name + " relates to table definition page " +
                                    std::to_string(li.related_table_page) + ", which is no table");

        for (const auto& ix : t.real_indexes) {
            std::string iname = "index " + std::to_string(ix.number);
            for (const auto& li : t.logical_indexes)
                if (li.real_index == ix.number) {
                    iname = "index \"" + li.name + "\"";
                    break;
                }
            iname += " of " + name;
            try {
                Check_Index(t, ix, iname, live, all_null[ix.number]);
            } catch (const Error& e) {
                Problem(std::string(e.what()) + " (" + iname + ")");
            }
        }
    }

    static std::uint32_t Pack(Row_Pointer p) { return (p.page << 8) | p.row; }
    static std::string Describe(std::uint32_t packed) {
        return "page " + std::to_string(packed >> 8) + ", row " + std::to_string(packed & 0xFF);
    }

    void Check_Index(const Table_Definition& t, const Real_Index& ix, const std::string& iname,
                     const std::vector<std::uint32_t>& live, const std::vector<std::uint32_t>& all_null) {
        std::vector<std::uint32_t> tree;
        std::vector<std::uint32_t> pointed;
        Index_Entry previous;
        bool first = true;
        std::size_t reported = 0;
        auto report = [&](const std::string& what) {
            if (reported++ < 10) Problem(ix.root, iname + ": " + what);
        };
        Walk_Index(
            file_, t, ix,
            [&](const Index_Entry& e) {
                if (!first && Compare_Entries(previous, e) >= 0)
                    report("entries out of order (" + Describe(Pack(e.row)) + " after " + Describe(Pack(previous.row)) + ")");
                first = false;
                previous = e;
                pointed.push_back(Pack(e.row));
            },
            &tree);
        for (auto p : tree) Use(p);
        // The leaves, in tree order, form one doubly linked list.
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
        std::sort(tree.begin(), tree.end());
        Usage_Map m = Map(ix.page_map, "the page map of " + iname);
        auto unlisted = Difference(tree, m.Pages());
        auto extra = Difference(m.Pages(), tree);
        if (!unlisted.empty()) report("its page map leaves out tree pages " + List(unlisted));
        if (!extra.empty()) report("its page map lists pages outside the tree: " + List(extra));

        // Entries against live rows, both sorted: each live row once, nothing else.
        Sort_Packed(pointed);
        std::size_t e = 0;
        for (std::size_t r = 0; r <= live.size(); ++r) {
            const bool at_end = r == live.size();
            while (e < pointed.size() && (at_end || pointed[e] < live[r]))
                report("an entry points at " + Describe(pointed[e++]) + ", which is not a live row of the table");
            if (at_end) break;
            std::size_t count = 0;
            while (e < pointed.size() && pointed[e] == live[r]) {
                ++count;
                ++e;
            }
            if (count > 1) report("the row on " + Describe(live[r]) + " is listed " + std::to_string(count) + " times");
            if (count == 0 && !std::binary_search(all_null.begin(), all_null.end(), live[r]))
                report("the live row on " + Describe(live[r]) + " is missing from it");
        }
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
    Check_Options options_;
    std::vector<bool> in_use_;
    std::vector<std::string> problems_;
    std::uint64_t rows_expected_ = 0;  // the tables' recorded row counts, for progress
    std::uint64_t rows_read_ = 0;
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
