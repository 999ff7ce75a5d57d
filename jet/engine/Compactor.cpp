// CompactDatabase: a logical rebuild. Everything that is data is copied byte for byte
// (table definitions, rows, long values, index keys); everything that is a pointer or a
// container is made afresh by the writer (pages, usage maps, index trees, counts). The
// only values that change are the ids of tables, because a table's id is the page of its
// definition and definitions move: MSysObjects.Id, MSysACEs.ObjectId, the navigation-pane
// id columns, foreign-key table pages, and the index keys built on those columns.
//
// The rows are not held: they are read from the source as the writer asks for them
// (once for their sizes, once to write them), so memory stays small whatever the size.
// The source is held for this process alone throughout (Exclusive_Use). The output is
// written beside the destination under a temporary name, flushed to the disk while it is
// read back, strictly checked and compared row by row with the source, and only then
// renamed into place by a rename that never replaces an existing file.
#include "jet/engine/Compactor.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <atomic>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "jet/util/Beside.h"
#include "jet/util/Bytes.h"
#include "jet/engine/Check.h"
#include "jet/engine/Compact_Error_Table.h"
#include "jet/engine/Connection_String.h"
#include "jet/engine/Database.h"
#include "jet/util/Error.h"
#include "jet/file/Exclusive_Use.h"
#include "jet/file/File_Output.h"
#include "jet/file/Format.h"
#include "jet/index/Index.h"
#include "jet/index/Key_Encoding.h"
#include "jet/engine/Repair.h"
#include "jet/engine/Row_Pipe.h"
#include "jet/engine/Writer.h"
#include "jet/row/Row_Numbers.h"
#include "jet/row/Salvage_Rows.h"

namespace kelbrook::jet {

namespace f = format;

namespace {

// Columns that hold table ids, by table (names as Jet and Access create them).
struct Id_Column {
    const char* table;
    const char* column;
    bool only_tables;  // MSysObjects.Id: only rows describing local tables
};
constexpr Id_Column Id_Columns[] = {
    {"MSysObjects", "Id", true},
    {"MSysACEs", "ObjectId", false},
    {"MSysNavPaneObjectIDs", "Id", false},
    {"MSysNavPaneGroupToObjects", "ObjectID", false},
    {"MSysNavPaneGroups", "ObjectID", false},
};

bool Same_Name(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// ---- What a table looks like, to compare source and output ---------------------------

struct Table_Summary {
    std::string name;
    std::uint64_t rows = 0;
    std::vector<std::uint64_t> hashes;  // per row, in row order: Stored_Row_Hash
    std::vector<std::uint64_t> index_digests;  // per real index: of the entries it must hold
};

std::uint32_t Derived_Key(const Database_Header& header) {
    // A fixed function of the database's creation date, so the same source and options
    // give the same bytes; never 0 (0 means "not encoded").
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < 8; ++i) {
        h ^= header.decoded[f::Header_Creation_Date + i];
        h *= 16777619u;
    }
    return h == 0 ? 0x4B454C42u : h;
}

std::filesystem::path Resolve(const Compact_Options& options, const std::string& text) {
    if (options.resolve_path) return options.resolve_path(text);
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

namespace {

// Where a catalogue table keeps table ids, and how to renumber them.
struct Id_Patch {
    const Column* id_column = nullptr;
    const Column* type_column = nullptr;  // set when only rows describing tables count
    bool only_tables = false;
    const std::map<std::uint32_t, std::uint32_t>* id_map = nullptr;  // old table id -> new

    // Renumbers the id in `bytes` (a row of the table) when it names a moved table; gives
    // the id the row ends up with, or nothing when the row has no eligible id.
    std::optional<std::int32_t> Apply(const Table_Definition& def, std::vector<std::uint8_t>& bytes,
                                      const std::string& where) const {
        if (!id_column) return std::nullopt;
        const auto fields = Split_Row(def, bytes, where);
        const Field& field = fields[static_cast<std::size_t>(id_column - def.columns.data())];
        if (field.null || field.length != 4) return std::nullopt;
        if (only_tables) {
            if (!type_column) return std::nullopt;
            const Field& tf = fields[static_cast<std::size_t>(type_column - def.columns.data())];
            if (tf.null || tf.length != 2 ||
                static_cast<std::int16_t>(Get_U16(bytes, tf.offset)) != f::Object_Type_Table)
                return std::nullopt;
        }
        const auto id = static_cast<std::int32_t>(Get_U32(bytes, field.offset));
        auto it = id_map->find(static_cast<std::uint32_t>(id));
        if (it == id_map->end()) return id;
        Put_U32(bytes, field.offset, it->second);
        return static_cast<std::int32_t>(it->second);
    }
};

std::string Row_Where(const std::string& table_where, const Live_Row& live) {
    return table_where + ", row on page " + std::to_string(live.header.page);
}

}  // namespace

namespace {

// Word-at-a-time multiply-xorshift, four words abreast for long runs: quick, and any change
// of a byte or a length changes the result with overwhelming likelihood.
class Word_Hash {
public:
    explicit Word_Hash(std::uint64_t seed) : h_(0x4B454C42524F4F4BULL ^ seed) {}
    void Mix(std::uint64_t w) { h_ = Step(h_, w); }
    void Add(std::span<const std::uint8_t> b) {
        Mix(b.size());
        std::size_t i = 0;
        if (b.size() >= 64) {
            std::uint64_t lane[4] = {h_, h_ ^ 1, h_ ^ 2, h_ ^ 3};
            Blocks(lane, b.data(), b.size() / 32);
            i = b.size() / 32 * 32;
            for (int k = 0; k < 4; ++k) Mix(lane[k]);
        }
        for (; i + 8 <= b.size(); i += 8) Mix(Word_At(b.data() + i));
        if (i < b.size()) {
            std::uint64_t w = 0;
            std::memcpy(&w, b.data() + i, b.size() - i);
            Mix(w);
        }
    }
    // Adds `size` bytes that `each(take)` gives as spans, one after another: the same as
    // Add of them joined (which is quicker for one span). A unit (a block of four words, a
    // word, the last few bytes) that two spans share is put together first.
    template <class Each>
    void Add(std::size_t size, const Each& each) {
        Mix(size);
        const std::size_t blocks_end = size >= 64 ? size / 32 * 32 : 0;  // four words abreast up to here
        std::uint64_t lane[4] = {h_, h_ ^ 1, h_ ^ 2, h_ ^ 3};
        std::size_t at = 0;  // bytes taken
        std::array<std::uint8_t, 32> carry;
        std::size_t carried = 0;
        auto take_unit = [&](const std::uint8_t* p, std::size_t n) {  // one unit, whole
            at += n;
            if (n == 32) {
                Blocks(lane, p, 1);
                if (at == blocks_end)
                    for (int k = 0; k < 4; ++k) Mix(lane[k]);
            } else {
                std::uint64_t w = 0;
                std::memcpy(&w, p, n);
                Mix(w);
            }
        };
        each([&](std::span<const std::uint8_t> b) {
            const std::uint8_t* p = b.data();
            std::size_t n = b.size();
            while (n > 0) {
                const std::size_t unit = at < blocks_end ? 32 : std::min<std::size_t>(8, size - at);
                if (unit == 0) throw Error("Internal error: a value was hashed past its length.");
                if (carried > 0 || n < unit) {
                    const std::size_t k = std::min(unit - carried, n);
                    std::memcpy(carry.data() + carried, p, k);
                    carried += k;
                    p += k;
                    n -= k;
                    if (carried == unit) {
                        carried = 0;
                        take_unit(carry.data(), unit);
                    }
                } else if (unit == 32) {  // as many whole blocks as the span holds, in one loop
                    const std::size_t blocks = std::min((blocks_end - at) / 32, n / 32);
                    Blocks(lane, p, blocks);
                    p += 32 * blocks;
                    at += 32 * blocks;
                    n -= 32 * blocks;
                    if (at == blocks_end)
                        for (int k = 0; k < 4; ++k) Mix(lane[k]);
                } else {
                    take_unit(p, unit);
                    p += unit;
                    n -= unit;
                }
            }
        });
        if (at != size) throw Error("Internal error: a value was hashed short of its length.");
    }
    std::uint64_t Value() const { return Final_Mix(h_); }
    static std::uint64_t Final_Mix(std::uint64_t x) {
        x ^= x >> 31;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        return x;
    }

private:
    // `count` blocks of four words from `p`, a word to each lane.
    static void Blocks(std::uint64_t (&lane)[4], const std::uint8_t* p, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, p += 32)
            for (int k = 0; k < 4; ++k) lane[k] = Step(lane[k], Word_At(p + 8 * k));
    }
    static std::uint64_t Word_At(const std::uint8_t* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    static std::uint64_t Step(std::uint64_t h, std::uint64_t w) {
        h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
        return h ^ (h >> 29);
    }
    std::uint64_t h_;
};

}  // namespace

// A row's hash is made of parts that add up (modulo 2^64), so that they can be made on
// different threads: the row without its long-value definitions, and each long value
// with its column (a column appears once in a row, so the order of the parts does not
// matter, but which value is in which column does).
namespace {

// Row_Bytes_Part of a row whose long values (definition offsets) are given as walks give
// them or as the writer takes them.
template <class Long_Value>
std::uint64_t Row_Bytes_Part_Of(std::span<const std::uint8_t> bytes, const std::vector<Long_Value>& long_values) {
    // The definitions' pointers and storage change between files.
    Word_Hash hash(0);
    std::size_t from = 0;
    for (const auto& lv : long_values) {
        const std::size_t at = std::min<std::size_t>(lv.definition_offset, bytes.size());
        if (at < from) continue;
        hash.Add(bytes.subspan(from, at - from));
        from = std::min(bytes.size(), at + f::Long_Value_Definition_Size);
    }
    hash.Add(bytes.subspan(from));
    return hash.Value();
}

}  // namespace

std::uint64_t Row_Bytes_Part(std::span<const std::uint8_t> bytes, const std::vector<Long_Value_Field>& long_values) {
    return Row_Bytes_Part_Of(bytes, long_values);
}

std::uint64_t Long_Value_Part(std::uint16_t column, std::span<const std::uint8_t> value) {
    Word_Hash hash(std::uint64_t{column} + 1);
    hash.Add(value);
    return hash.Value();
}

namespace {

// Long_Value_Part of a value copied or in pieces.
template <class Long_Value>
std::uint64_t Long_Value_Part_Of(const Long_Value& lv) {
    if (lv.pieces.size() <= 1) {
        Word_Hash hash(std::uint64_t{lv.column_number} + 1);
        hash.Add(lv.pieces.empty() ? std::span<const std::uint8_t>(lv.value) : lv.pieces.front().bytes);
        return hash.Value();
    }
    std::size_t size = 0;
    for (const auto& piece : lv.pieces) size += piece.bytes.size();
    Word_Hash hash(std::uint64_t{lv.column_number} + 1);
    hash.Add(size, [&](const auto& take) {
        for (const auto& piece : lv.pieces) take(piece.bytes);
    });
    return hash.Value();
}

}  // namespace

std::uint64_t Long_Value_Part(const Long_Value_Field& lv) { return Long_Value_Part_Of(lv); }

std::uint64_t Row_Hash_Of_Parts(std::uint64_t sum) { return Word_Hash::Final_Mix(sum ^ 0x6A09E667F3BCC909ULL); }

std::uint64_t Stored_Row_Hash(std::span<const std::uint8_t> bytes, const std::vector<Long_Value_Field>& long_values) {
    std::uint64_t sum = Row_Bytes_Part(bytes, long_values);
    for (const auto& lv : long_values) sum += Long_Value_Part(lv);
    return Row_Hash_Of_Parts(sum);
}

namespace {

using Id_Map = std::map<std::uint32_t, std::uint32_t>;  // old table id -> new

// The tables in their new order: MSysObjects first, then by old definition page; each
// definition page listed once.
std::vector<Catalog_Entry> Tables_In_New_Order(const Database& db) {
    std::vector<Catalog_Entry> tables = db.Tables(true);
    std::stable_sort(tables.begin(), tables.end(), [](const Catalog_Entry& a, const Catalog_Entry& b) {
        const bool ca = a.Page() == f::Catalog_Tdef_Page, cb = b.Page() == f::Catalog_Tdef_Page;
        if (ca != cb) return ca;
        return a.Page() < b.Page();
    });
    std::set<std::uint32_t> pages;
    for (const auto& t : tables)
        if (!pages.insert(t.Page()).second)
            throw Error(db.Name() + ": the catalogue lists the table definition on page " +
                        std::to_string(t.Page()) + " twice.");
    if (tables.empty() || tables.front().Page() != f::Catalog_Tdef_Page)
        throw Error(db.Name() + ": the catalogue does not describe MSysObjects on page 2.");
    return tables;
}

// The id columns of a table, if it is one of the catalogue tables that hold table ids.
Id_Patch Id_Patch_For(const Table_Definition& def, const std::string& table, const Id_Map& id_map) {
    Id_Patch patch;
    patch.id_map = &id_map;
    for (const auto& ic : Id_Columns)
        if (Same_Name(table, ic.table)) {
            const Column* c = def.Find_Column(std::string(ic.column));
            if (c && c->type == f::Type_Int32) {  // fixed, or (nav-pane tables) variable
                patch.id_column = c;
                patch.only_tables = ic.only_tables;
                if (patch.only_tables) patch.type_column = def.Find_Column(std::string("Type"));
            }
        }
    return patch;
}

// The table's definition as it will be stored: foreign keys name the other table by its
// definition page, which moves.
std::vector<std::uint8_t> Renumbered_Definition(const Table_Definition& def, const Id_Map& id_map) {
    std::vector<std::uint8_t> bytes = def.bytes;
    for (const auto& li : def.logical_indexes) {
        if (!li.Is_Foreign_Key() || li.related_table_page == 0) continue;
        const auto it = id_map.find(li.related_table_page);
        Put_U32(bytes, li.related_table_offset(), it == id_map.end() ? li.related_table_page : it->second);
    }
    return bytes;
}

// A long value the writer places on long-value pages (not one stored in its row).
bool Stored_Apart(const Long_Value_Field& lv) { return lv.storage != f::Long_Value_Inline; }

// What the writer's sizes pass asks of each row (Row_Source), kept from the first pass so
// that the rows need not be read again for it: per row, its length and, for each long
// value stored apart from it, the column, where its definition is and its length; each
// number as a varint (7 bits a byte, the last byte's top bit clear).
class Row_Sizes {
public:
    void Add(const Live_Row& row) {
        Put(row.bytes.size());
        Put(static_cast<std::size_t>(std::count_if(row.long_values.begin(), row.long_values.end(), Stored_Apart)));
        for (const auto& lv : row.long_values) {
            if (!Stored_Apart(lv)) continue;
            Put(lv.column_number);
            Put(lv.definition_offset);
            Put(lv.length);
        }
    }
    bool Empty() const { return bytes_.empty(); }
    // Each row as the sizes pass takes it: bytes as long as the row (what they hold is
    // not kept), long values not loaded.
    void Each_Row(const std::function<void(const Row_Image&)>& visit) const {
        Row_Image row;
        std::size_t at = 0;
        while (at < bytes_.size()) {
            row.bytes.resize(Get(at));
            row.long_values.resize(Get(at));
            for (auto& lv : row.long_values) {
                lv.column_number = static_cast<std::uint16_t>(Get(at));
                lv.definition_offset = static_cast<std::uint16_t>(Get(at));
                lv.length = static_cast<std::uint32_t>(Get(at));
                lv.loaded = false;
                lv.value.clear();
            }
            visit(row);
        }
    }
    void Release() { std::vector<std::uint8_t>().swap(bytes_); }

private:
    void Put(std::uint64_t n) {
        while (n >= 0x80) {
            bytes_.push_back(static_cast<std::uint8_t>(n | 0x80));
            n >>= 7;
        }
        bytes_.push_back(static_cast<std::uint8_t>(n));
    }
    std::uint64_t Get(std::size_t& at) const {
        std::uint64_t n = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = bytes_[at++];
            n |= std::uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) return n;
        }
    }
    std::vector<std::uint8_t> bytes_;
};

// The first pass over a table's rows, without their long values: the row pointer of each
// live row in slot order (output row r is the r-th), the rows whose id changes, and (not
// when salvaging) what the sizes pass needs of each row.
struct Row_Order {
    Row_Numbers rows;  // the rows read, numbered in the order read
    std::vector<std::pair<std::uint32_t, std::int32_t>> new_ids;  // (row, id), by row
    Row_Sizes sizes;

    std::optional<std::int32_t> New_Id(std::uint32_t r) const {
        auto it = std::lower_bound(new_ids.begin(), new_ids.end(),
                                   std::pair<std::uint32_t, std::int32_t>{r, INT32_MIN});
        if (it == new_ids.end() || it->first != r) return std::nullopt;
        return it->second;
    }
};

// How rows are read: with the source's own reader, or (salvage) passing over what cannot
// be read, with long values always read so that each pass sees the same sizes.
struct Row_Reader {
    const Database& db;
    std::shared_ptr<Long_Value_Claims> salvage;  // set: salvage

    void Rows(const Table_Definition& def, const Live_Row_Visitor& visit, Long_Values long_values,
              const std::function<void(const Row_Loss&)>& lost = [](const Row_Loss&) {}) const {
        if (!salvage) return db.Rows(def, visit, long_values);
        Salvage_Rows(db.File(), def, visit, true, salvage.get(), lost);
    }
};

// The first pass: the rows' order and new ids. It also hands every row, as it will be
// stored, to the table's repairs (when given) and notes each loss (salvage).
Row_Order Read_Row_Order(const Row_Reader& reader, const Table_Definition& def, const Id_Patch& patch,
                         const std::string& table, const std::string& where, Table_Repair* repair,
                         std::vector<Repair_Note>& notes) {
    if (!reader.salvage)
        if (const std::uint32_t page = Mistyped_Data_Page(reader.db.File(), def))
            throw Error(where + ": page " + std::to_string(page) + " of its data pages is not a data page.");
    Row_Order order;
    Live_Row patched;
    std::optional<Row_Pointer> last;
    reader.Rows(
        def,
        [&](const Live_Row& live) {
            const std::uint32_t r = order.rows.Count();
            if (last && !(*last < live.header))
                throw Error(Row_Where(where, live) + ": the table lists its rows out of order.");
            last = live.header;
            order.rows.Add(live.header);
            if (!reader.salvage) order.sizes.Add(live);
            if (!patch.id_column) {
                if (repair) repair->Add_Row(live);
                return;
            }
            patched = live;
            const auto id = patch.Apply(def, patched.bytes, Row_Where(where, live));
            if (id && patched.bytes != live.bytes) order.new_ids.emplace_back(r, *id);
            if (repair) repair->Add_Row(patched);
        },
        repair && repair->Needs_Long_Values() ? Long_Values::Copied : Long_Values::Skip,
        [&](const Row_Loss& loss) {
            notes.push_back(Repair_Note{loss.lost, Repair_Code::Damaged_Data, table, loss.what, loss.row});
        });
    return order;
}

// How the keys of index `ri` are stored: with the new id where the index is on a
// renumbered id column, else as they are (empty).
Table_Repair::Source_Key New_Id_Key(const Real_Index& ri, const Id_Patch& patch, const Row_Order& order) {
    const bool keyed_on_id = patch.id_column && !ri.columns.empty() &&
                             ri.columns.front().column_number == patch.id_column->number;
    if (!keyed_on_id) return {};
    return [&order](std::vector<std::uint8_t>& key, std::uint32_t r) {
        if (const auto id = order.New_Id(r)) Replace_Leading_Int32(key, *id);
    };
}

// The indexes of a large table, each checked and copied in one walk (Table_Repair::
// Read_Index) on a second thread, over another handle of the source, while this thread
// reads the rows; where no thread can be started, in Finish. Rows are numbered there from
// the pages' row tables as reading them here numbers them: both read the same file, held
// for this process alone, and the counts are compared.
class Indexes_Beside {
public:
    Indexes_Beside(const Database& second, const Table_Definition& def, Table_Repair& repair,
                   const std::shared_ptr<Spill_Space>& spill)
        : second_(second), def_(def), repair_(repair), spill_(spill) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    ~Indexes_Beside() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Waits for the walks; rethrows their failure. The entries of every index.
    std::vector<Index_Image> Finish() {
        if (thread_.joinable())
            thread_.join();
        else
            Run();
        if (failure_) std::rethrow_exception(failure_);
        return std::move(copied_);
    }
    // How many rows the walks numbered, once finished.
    std::uint32_t Rows_Numbered() const { return rows_.Count(); }

private:
    struct Stopped {};
    void Run() {
        try {
            rows_ = Table_Row_Numbers(second_.File(), def_);
            for (std::size_t i = 0; i < def_.real_indexes.size(); ++i)
                copied_.push_back(repair_.Read_Index(i, second_.File(), [&](Row_Pointer p) {
                    if (stop_) throw Stopped{};
                    return rows_.Of(p);
                }, {}, spill_));
        } catch (const Stopped&) {
        } catch (...) {
            failure_ = std::current_exception();
        }
    }
    const Database& second_;
    const Table_Definition& def_;
    Table_Repair& repair_;
    const std::shared_ptr<Spill_Space> spill_;
    Row_Numbers rows_;
    std::vector<Index_Image> copied_;
    std::atomic<bool> stop_{false};
    std::exception_ptr failure_;
    std::thread thread_;
};

// A table's rows, read again from the source whenever the writer asks for them; with
// their values, each row's hash is kept for comparing with the output.
class Table_Rows final : public Row_Source {
public:
    Table_Rows(const Row_Reader& reader, const Table_Definition& def, Id_Patch patch, std::string where,
               std::shared_ptr<std::vector<std::uint64_t>> hashes, std::size_t expected,
               std::shared_ptr<const Id_Map> id_map, Row_Sizes sizes)
        : reader_(reader), def_(def), patch_(patch), where_(std::move(where)), hashes_(std::move(hashes)),
          expected_(expected), id_map_(std::move(id_map)), sizes_(std::move(sizes)) {}

    void Each_Row(const Row_Visitor& visit, bool with_values) override {
        count_ = 0;
        if (with_values) {
            hashes_->clear();
            hashes_->reserve(expected_);
        }
        // The sizes, as the first pass kept them (then let go: the writer asks once), else
        // read on this thread. With their values, the rows are read (and each row's hash
        // kept) on a second thread while this one writes; where no thread can be started,
        // here.
        if (!with_values && !sizes_.Empty()) {
            sizes_.Each_Row([&](const Row_Image& row) {
                ++count_;
                visit(row);
            });
            sizes_.Release();
        } else if (!with_values || !Read_Beside(visit)) {
            Read_Here(visit, with_values);
        }
        if (count_ != expected_)
            throw Error(where_ + ": the table changed while it was being compacted.");
        // The long values went to the writer as pieces of the source's pages, most of them
        // copied after the walk last read the file: a file cut short meanwhile, whose lost
        // pages then read as zeros, shows now.
        if (with_values) reader_.db.File().Check_Not_Cut_Short();
    }

private:
    // A row as the writer takes it, with what its hash has so far: the row's bytes and
    // the values stored in it. The values the row points to are added where the row is
    // used (Keep_Hash), which with a second thread reading is not where it is read,
    // unless the reading thread had the time (Finish_Hash there).
    struct Hashed_Row : Row_Image {
        std::uint64_t hash_so_far = 0;
        bool hashed = false;  // hash_so_far is the row's whole hash
    };

    // Takes the row's bytes and its long values' bytes from `live` (which the walk refills
    // for the next row). The row's bytes are swapped: a row is at most a page, so the
    // buffer handed back stays small. The long values' are moved: a buffer handed back
    // would keep the room of the largest value it ever held, and the pipe's many slots
    // would keep all of them.
    void Fill(Hashed_Row& row, Live_Row& live, bool with_values) {
        // The sizes pass needs only the row's length (Row_Source): its bytes are not taken.
        if (with_values || patch_.id_column)
            row.bytes.swap(live.bytes);
        else
            row.bytes.resize(live.bytes.size());
        if (patch_.id_column) patch_.Apply(def_, row.bytes, Row_Where(where_, live));
        std::size_t n = 0;
        row.hashed = false;
        if (with_values) row.hash_so_far = Row_Bytes_Part(row.bytes, live.long_values);
        for (auto& lv : live.long_values) {
            if (!Stored_Apart(lv)) {
                if (with_values) row.hash_so_far += Long_Value_Part(lv);
                continue;
            }
            if (n == row.long_values.size()) row.long_values.emplace_back();
            auto& image = row.long_values[n++];
            image.definition_offset = lv.definition_offset;
            image.column_number = lv.column_number;
            image.loaded = with_values;
            image.length = lv.length;
            image.value = std::move(lv.value);
            image.pieces = std::move(lv.pieces);
        }
        row.long_values.resize(n);
        ++count_;
    }

    // The row's hash with the values the row points to added.
    static std::uint64_t Whole_Hash(const Hashed_Row& row) {
        if (row.hashed) return row.hash_so_far;
        std::uint64_t sum = row.hash_so_far;
        for (const auto& lv : row.long_values) sum += Long_Value_Part_Of(lv);
        return sum;
    }
    static void Finish_Hash(Hashed_Row& row) {
        row.hash_so_far = Whole_Hash(row);
        row.hashed = true;
    }

    // Keeps the row's hash, for comparing with the output.
    void Keep_Hash(const Hashed_Row& row) { hashes_->push_back(Row_Hash_Of_Parts(Whole_Hash(row))); }

    void Read_Here(const Row_Visitor& visit, bool with_values) {
        Hashed_Row hashed;
        reader_.Rows(
            def_,
            [&](Live_Row& live) {
                Fill(hashed, live, with_values);
                if (with_values) Keep_Hash(hashed);
                visit(hashed);
            },
            with_values ? Long_Values::In_Place : Long_Values::Skip);
    }

    // Reads the rows with their values on a second thread, handing them over through a
    // pipe; false when no thread can be started (nothing was read then). The long values'
    // hashes are made where the values are copied (by the writer), where they are then in
    // the cache, except while the writer lags behind: then the reading thread, which would
    // only wait, makes them.
    bool Read_Beside(const Row_Visitor& visit) {
        return jet::Read_Beside<Hashed_Row>(
            [&](Row_Pipe<Hashed_Row>& pipe) {
                reader_.Rows(
                    def_,
                    [&](Live_Row& live) {
                        Hashed_Row& row = pipe.Slot();
                        Fill(row, live, true);
                        if (pipe.User_Behind()) Finish_Hash(row);
                        pipe.Commit();
                    },
                    Long_Values::In_Place);
            },
            [&](const Hashed_Row& row) {
                Keep_Hash(row);
                visit(row);
            });
    }

    const Row_Reader reader_;
    const Table_Definition& def_;
    const Id_Patch patch_;
    const std::string where_;
    const std::shared_ptr<std::vector<std::uint64_t>> hashes_;
    const std::size_t expected_;
    const std::shared_ptr<const Id_Map> id_map_;  // what patch_ points into
    Row_Sizes sizes_;  // from the first pass; empty once used, or when salvaging
    std::size_t count_ = 0;
};

// One table of the output: its definition, its indexes and where its rows come from.
Table_Image Read_Table(const Row_Reader& reader, const Catalog_Entry& entry, const Table_Definition& def,
                       const std::shared_ptr<const Id_Map>& id_map,
                       const std::shared_ptr<std::vector<std::uint64_t>>& hashes,
                       const std::shared_ptr<Spill_Space>& spill, const Database* second,
                       std::uint32_t rows_checked_beside, std::vector<Repair_Note>& notes, std::size_t& row_count,
                       std::vector<std::uint64_t>& digests) {
    const Database& db = reader.db;
    const std::string where = db.Name() + ": table '" + entry.name + "'";
    Table_Image out;
    out.name = entry.name;
    out.definition = Renumbered_Definition(def, *id_map);
    const Id_Patch patch = Id_Patch_For(def, out.name, *id_map);

    Table_Repair repair(db, def, entry.name, entry.Is_System());
    const std::vector<Real_Index>& indexes = def.real_indexes;
    std::vector<Index_Image> copied;
    Row_Order order;
    // A large table's indexes are read on a second thread while this one reads its rows.
    if (second && !patch.id_column && def.num_rows >= rows_checked_beside) {
        Indexes_Beside walks(*second, def, repair, spill);
        order = Read_Row_Order(reader, def, patch, entry.name, where, &repair, notes);
        copied = walks.Finish();
        if (walks.Rows_Numbered() != order.rows.Count())
            throw Error(where + ": the table changed while it was being compacted.");
    } else {
        order = Read_Row_Order(reader, def, patch, entry.name, where, &repair, notes);
        auto row_of = [&order](Row_Pointer p) { return order.rows.Of(p); };
        for (std::size_t i = 0; i < indexes.size(); ++i)
            copied.push_back(repair.Read_Index(i, db.File(), row_of, New_Id_Key(indexes[i], patch, order), spill));
    }
    const std::uint32_t rows = order.rows.Count();
    order.rows = Row_Numbers();  // done with: memory back before the writer's passes
    // An index that must be rebuilt reads the rows once more, as the first pass had them.
    const Table_Repair::Reread reread = [&](const std::function<void(const Live_Row&)>& visit) {
        Live_Row patched;
        reader.Rows(
            def,
            [&](const Live_Row& live) {
                if (!patch.id_column) return visit(live);
                patched = live;
                patch.Apply(def, patched.bytes, Row_Where(where, live));
                visit(patched);
            },
            repair.Needs_Long_Values() ? Long_Values::Copied : Long_Values::Skip);
    };
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        out.indexes.push_back(repair.Index_Entries(i, std::move(copied[i]), reread, spill));
        digests.push_back(repair.Entries_Digest(i));
    }

    repair.Finish_Definition(out.definition);
    notes.insert(notes.end(), repair.Notes().begin(), repair.Notes().end());
    row_count = rows;

    out.source = std::make_shared<Table_Rows>(reader, def, patch, where, hashes, rows, id_map, std::move(order.sizes));
    return out;
}

// The losses among the repairs, as the rows of MSysCompactError; where that table cannot
// be made, a note says so.
void Record_Losses(Source_Image& result, const Table_Definition& catalog, std::size_t catalog_rows,
                   const Database_Header& header) {
    std::vector<Repair_Note> losses;
    for (const auto& note : result.repairs)
        if (note.recorded) losses.push_back(note);
    std::string why_not;
    if (!Add_Compact_Error_Table(result, catalog, catalog_rows, header, losses, why_not) && !why_not.empty())
        result.repairs.push_back(Repair_Note{false, Repair_Code::Damaged_Data, Compact_Error_Table_Name,
                                             "the losses above are not recorded in the copy: " + why_not,
                                             std::nullopt});
}

}  // namespace

Source_Image Read_Source_Image(const Database& db, const std::function<void(double)>& progress,
                               const std::shared_ptr<Spill_Space>& spill, bool salvage, const Database* second,
                               std::uint32_t rows_checked_beside) {
    Source_Image result;
    const Row_Reader reader{db, salvage ? std::make_shared<Long_Value_Claims>() : nullptr};
    const std::vector<Catalog_Entry> tables = Tables_In_New_Order(db);

    // Definitions are laid out first, in table order; a table's id is its definition page.
    std::vector<const Table_Definition*> definitions;
    std::vector<std::size_t> lengths;
    for (const auto& t : tables) {
        definitions.push_back(&db.Definition(t));
        lengths.push_back(definitions.back()->bytes.size());
    }
    result.definition_pages = Definition_Pages(lengths);
    auto id_map = std::make_shared<Id_Map>();
    for (std::size_t i = 0; i < tables.size(); ++i) (*id_map)[tables[i].Page()] = result.definition_pages[i];

    Database_Image& image = result.image;
    image.header = db.Header().decoded;
    image.password = db.Header().password;
    image.database_key = db.Header().database_key;
    image.tables.reserve(tables.size());
    result.row_hashes.resize(tables.size());
    result.index_digests.resize(tables.size());
    std::size_t catalog_rows = 0;
    for (std::size_t t = 0; t < tables.size(); ++t) {
        result.row_hashes[t] = std::make_shared<std::vector<std::uint64_t>>();
        std::size_t rows = 0;
        image.tables.push_back(Read_Table(reader, tables[t], *definitions[t], id_map, result.row_hashes[t], spill,
                                          salvage ? nullptr : second, rows_checked_beside, result.repairs, rows,
                                          result.index_digests[t]));
        if (t == 0) catalog_rows = rows;
        if (progress) progress(static_cast<double>(t + 1) / static_cast<double>(tables.size()));
    }

    result.old_pages.reserve(tables.size());
    for (const auto& t : tables) result.old_pages.push_back(t.Page());
    Record_Losses(result, *definitions.front(), catalog_rows, db.Header());
    return result;
}

namespace {

// The two files named by the connection strings, as on this host.
struct Compact_Paths {
    Source_Request source;
    Destination_Request destination;
    std::filesystem::path source_path;
    std::filesystem::path destination_path;
};

// Reads the connection strings and checks that the source exists and the destination
// does not, in a folder that does.
Compact_Paths Locate_Files(const std::string& source_connection, const std::string& destination_connection,
                           const Compact_Options& options) {
    Compact_Paths paths{Interpret_Source(Parse_Connection_String(source_connection)), {}, {}, {}};
    paths.destination = Interpret_Destination(Parse_Connection_String(destination_connection), paths.source);
    paths.source_path = Resolve(options, paths.source.data_source);
    paths.destination_path = Resolve(options, paths.destination.data_source);

    std::error_code ec;
    const auto source_status = std::filesystem::status(paths.source_path, ec);
    if (!std::filesystem::is_regular_file(source_status))
        throw Error("Could not find file '" + paths.source.data_source + "'.", Error_Kind::Not_Found);
    if (std::filesystem::exists(std::filesystem::symlink_status(paths.destination_path, ec)))
        throw Error("Database already exists.", Error_Kind::Exists);
    const auto folder = paths.destination_path.parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        throw Error("'" + paths.destination.data_source +
                        "' is not a valid path. Make sure that the path name is spelled correctly "
                        "and that you are connected to the server on which the file resides.",
                    Error_Kind::Not_Found);
    return paths;
}

// Opens the source read-only; a bad header is an unrecognised format, a locale other than
// the source's own is refused.
std::unique_ptr<Database> Open_Source(const Compact_Paths& paths, const File_System& files) {
    const Source_Request& source = paths.source;
    try {
        Page_File probe(paths.source_path, source.password, files);
    } catch (const Password_Error&) {
        throw;
    } catch (const Error& e) {
        if (e.kind() == Error_Kind::IO) throw;  // the host's failure, not the file's
        throw Error("Unrecognized database format '" + source.data_source + "'. (" + e.what() + ")", e.kind());
    }
    auto db = std::make_unique<Database>(paths.source_path, source.password, files);
    const Database_Header& header = db->Header();
    if (source.locale && *source.locale != header.sort_order)
        throw Error("Locale Identifier " + std::to_string(*source.locale) +
                    " does not match the database's own (" + std::to_string(header.sort_order) +
                    "); changing the sort order is not supported.", Error_Kind::Unsupported);
    if (paths.destination.locale && *paths.destination.locale != header.sort_order)
        throw Error("Locale Identifier " + std::to_string(*paths.destination.locale) +
                    " is not supported for the new database; only the source's own (" +
                    std::to_string(header.sort_order) + ") can be kept.", Error_Kind::Unsupported);
    return db;
}

// The output's password and page encoding, as the destination asks.
void Apply_Destination(Database_Image& image, const Destination_Request& destination,
                       const Database_Header& header) {
    image.password = destination.password;
    const bool encrypt = destination.encrypt.value_or(header.database_key != 0);
    image.database_key = !encrypt ? 0 : header.database_key != 0 ? header.database_key : Derived_Key(header);
}

// What each table of the output must hold, taken out of the image once it is written:
// its rows, and its indexes' entries as the rows' values give them (Repair.h).
std::vector<Table_Summary> Expected_Tables(Source_Image& source_image) {
    auto& tables = source_image.image.tables;
    std::vector<Table_Summary> expected(tables.size());
    for (std::size_t t = 0; t < tables.size(); ++t) {
        expected[t].name = tables[t].name;
        expected[t].hashes = std::move(*source_image.row_hashes[t]);
        expected[t].rows = expected[t].hashes.size();
        expected[t].index_digests = std::move(source_image.index_digests[t]);
    }
    return expected;
}

// Reads the written file back: the same tables at the pages they were written to, a
// strict check, and every row the same as the source's; the file goes to the disk
// meanwhile, and this returns only once both are done.
void Verify_Output(const std::filesystem::path& temporary, const std::string& password,
                   const std::vector<Table_Summary>& expected, const std::vector<std::uint32_t>& new_pages,
                   const std::string& source_name, const File_System& files, std::uint32_t rows_checked_beside) {
    const std::string failed = "The compacted database did not read back the same as '" + source_name + "': ";
    Database check(temporary, password, files);
    const auto out_tables = check.Tables(true);
    if (out_tables.size() != expected.size())
        throw Error(failed + "it has " + std::to_string(out_tables.size()) + " tables instead of " +
                    std::to_string(expected.size()) + ".");
    std::map<std::uint32_t, std::size_t> table_at;  // definition page -> expected table
    for (std::size_t t = 0; t < expected.size(); ++t) {
        const auto& entry = check.Find_Table(expected[t].name);
        if (entry.Page() != new_pages[t])
            throw Error(failed + "table '" + expected[t].name + "' is not where it was written.");
        table_at[entry.Page()] = t;
    }
    Beside flush([&] { Flush_To_Disk(temporary, files); });

    // The strict check reads every row once; each is compared with the source on the way.
    // The rows being the source's, each index must hold the entries the writer was given.
    std::vector<std::size_t> seen(expected.size(), 0);
    std::vector<bool> same(expected.size(), true);
    Check_Options strict;
    strict.strict_global_map = true;
    strict.decode_values = false;  // the values are compared byte for byte instead
    strict.long_values = Long_Values::In_Place;  // and hashed where they lie
    // Indexes of large tables are walked on a second handle while the rows are read.
    std::unique_ptr<Database> second;
    try {
        second = std::make_unique<Database>(temporary, password, files);
    } catch (const Error& e) {
        if (e.kind() == Error_Kind::IO) throw;
    }
    strict.beside = second.get();
    strict.rows_beside = rows_checked_beside;
    strict.expected_entries = [&](const Table_Definition& def, std::size_t index) -> std::optional<std::uint64_t> {
        auto it = table_at.find(def.page);
        if (it == table_at.end() || index >= expected[it->second].index_digests.size()) return std::nullopt;
        return expected[it->second].index_digests[index];
    };
    // Each row is compared with the source's by its hash. The check reads the file on this
    // thread and hands each row over to a second one, which hashes it and compares: the
    // row's bytes and its long values as pieces of the file's pages, moved (as
    // Table_Rows::Fill does). The check stays on this thread, whose heap has the room the
    // writer gave back. Where no thread can be started, all is done here.
    struct Row_Values {
        std::vector<std::uint8_t> bytes;
        std::vector<Long_Value_Image> long_values;
        std::size_t table = 0;
    };
    auto compare = [&](std::size_t t, std::uint64_t hash) {
        const std::size_t r = seen[t]++;
        if (r >= expected[t].hashes.size() || expected[t].hashes[r] != hash) same[t] = false;
    };
    std::vector<std::string> problems;
    Row_Pipe<Row_Values>* handing = nullptr;  // set while a second thread hashes
    std::uint32_t last_page = 0;  // rows come table by table; no table's definition is on page 0
    std::size_t last_table = expected.size();
    strict.on_row = [&](const Table_Definition& def, Live_Row& live) {
        if (def.page != last_page) {
            auto it = table_at.find(def.page);
            last_page = def.page;
            last_table = it == table_at.end() ? expected.size() : it->second;
        }
        if (last_table == expected.size()) return;
        if (!handing) return compare(last_table, Stored_Row_Hash(live.bytes, live.long_values));
        Row_Values& values = handing->Slot();
        values.table = last_table;
        values.bytes.swap(live.bytes);
        values.long_values.resize(live.long_values.size());
        for (std::size_t i = 0; i < live.long_values.size(); ++i) {
            values.long_values[i].column_number = live.long_values[i].column_number;
            values.long_values[i].definition_offset = live.long_values[i].definition_offset;
            values.long_values[i].value = std::move(live.long_values[i].value);
            values.long_values[i].pieces = std::move(live.long_values[i].pieces);
        }
        handing->Commit();
    };
    Row_Pipe<Row_Values> pipe;
    std::thread hasher;
    try {
        hasher = std::thread([&] {
            pipe.Drain([&](const Row_Values& values) {
                std::uint64_t sum = Row_Bytes_Part_Of(values.bytes, values.long_values);
                for (const auto& lv : values.long_values) sum += Long_Value_Part_Of(lv);
                compare(values.table, Row_Hash_Of_Parts(sum));
            });
        });
        handing = &pipe;
    } catch (const std::system_error&) {
    }
    struct Finish_Hashing {  // once the check is done, or fails: every row handed over is hashed
        Row_Pipe<Row_Values>& pipe;
        std::thread& hasher;
        void operator()() {
            if (!hasher.joinable()) return;
            pipe.Finish(nullptr);
            hasher.join();
        }
        ~Finish_Hashing() { (*this)(); }
    } finish_hashing{pipe, hasher};
    problems = Check(check, strict);
    finish_hashing();
    if (!problems.empty()) throw Error(failed + problems.front());
    for (std::size_t t = 0; t < expected.size(); ++t) {
        if (seen[t] != expected[t].rows)
            throw Error(failed + "table '" + expected[t].name + "' has " + std::to_string(seen[t]) +
                        " rows instead of " + std::to_string(expected[t].rows) + ".");
        if (!same[t]) throw Error(failed + "table '" + expected[t].name + "' holds different values.");
    }
    flush.Finish();
}

// A file removed when this goes out of scope, unless kept.
struct Remove_Unless_Kept {
    std::filesystem::path path;
    bool keep = false;
    ~Remove_Unless_Kept() {
        if (!keep) Remove_Quietly(path);
    }
};

// One compaction of the source into the destination; with `salvage`, passing over what
// cannot be read (Read_Source_Image).
Compact_Result Compact_Once(const Compact_Paths& paths, const Compact_Options& options, const File_System& files,
                            bool salvage) {
    auto progress = [&](double share) {
        if (options.progress) options.progress(share);
    };
    auto db = Open_Source(paths, files);
    const std::uint32_t pages_before = db->File().Page_Count();

    // Read: the source as the writer's input, its rows streamed; index entries beyond the
    // budget wait in a temporary beside the destination until the writer takes them.
    auto spill = std::make_shared<Spill_Space>(paths.destination_path, options.index_memory, files);
    // A second handle of the source lets large tables have their indexes checked and
    // copied on a second thread (not when salvaging); where it cannot be had, all is done
    // on this one.
    std::unique_ptr<Database> second;
    if (!salvage) try {
            second = std::make_unique<Database>(paths.source_path, paths.source.password, files);
        } catch (const Error& e) {
            if (e.kind() == Error_Kind::IO) throw;
        }
    Source_Image source_image =
        Read_Source_Image(*db, [&](double share) { progress(0.5 * share); }, spill, salvage, second.get(),
                          options.rows_checked_beside);
    second.reset();
    Database_Image& image = source_image.image;
    Apply_Destination(image, paths.destination, db->Header());

    // Write beside the destination under a name of its own; the source is closed as soon
    // as the rows are written.
    const std::filesystem::path temporary = Temporary_Path_For(paths.destination_path);
    Remove_Unless_Kept cleanup{temporary};
    const Write_Result written = Write_Database(
        image, temporary, [&](double share) { progress(0.5 + 0.35 * share); }, false, files);
    const std::vector<Table_Summary> expected = Expected_Tables(source_image);
    image.tables.clear();
    spill.reset();
    db.reset();

    // Check, then move into place without ever replacing a file that appeared meanwhile.
    Verify_Output(temporary, paths.destination.password, expected, source_image.definition_pages,
                  paths.source.data_source, files, options.rows_checked_beside);
    progress(0.95);
    try {
        Rename_Without_Replacing(temporary, paths.destination_path);
    } catch (const Error& e) {
        if (e.kind() == Error_Kind::Exists) throw Error("Database already exists.", Error_Kind::Exists);
        throw;
    }
    cleanup.keep = true;
    progress(1.0);
    return Compact_Result{pages_before, written.pages, std::move(source_image.repairs)};
}

}  // namespace

Compact_Result CompactDatabase(const std::string& source_connection,
                               const std::string& destination_connection,
                               const Compact_Options& options) {
    const Compact_Paths paths = Locate_Files(source_connection, destination_connection, options);
    // The source is ours alone until the compacted copy is in place, as Jet's exclusive
    // open keeps it; a hold this process already has (the rotation's) is shared.
    const Exclusive_Use hold(paths.source_path, paths.source.data_source);
    const File_System& files = options.files ? *options.files : Host_Files();
    try {
        return Compact_Once(paths, options, files, false);
    } catch (const Error& e) {
        if (e.kind() != Error_Kind::Corrupt) throw;
    }
    // Damage a plain copy stops at: once more, passing over what cannot be read. Where
    // that fails too, its failure is the one to report.
    return Compact_Once(paths, options, files, true);
}

}  // namespace kelbrook::jet
