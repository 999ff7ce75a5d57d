// What compaction repairs on its way, as the platform's engine does: every real index is
// checked against the rows (each live row listed once, nothing else listed, entries in
// order, leaves linked in order, every key the one the row's values give) and rebuilt
// from the values where it is not sound; row counts are recounted; each autonumber
// counter becomes the column's largest value (the next row gets that plus one). A sound
// index keeps the source's own keys. Each repair is a Repair_Note; the ones that lose
// something of the source also go into the output's MSysCompactError table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jet/engine/Database.h"
#include "jet/engine/Writer.h"
#include "jet/index/Key_Encoding.h"

namespace kelbrook::jet {

// What was repaired. The codes of notes that go into MSysCompactError.ErrorCode are the
// platform's error numbers for the same conditions; the others are never stored.
enum class Repair_Code : std::int32_t {
    Row_Count = 1,            // a stored row count was wrong (nothing lost)
    Autonumber = 2,           // an autonumber counter lay below the column's values
    Index_Rebuilt = 3,        // an index was out of step with its rows and was rebuilt
    Duplicate_Key = 3022,     // a unique index's rows no longer differ: it is kept non-unique
    Damaged_Data = 3049,      // a row, a page or a long value could not be read
};

struct Repair_Note {
    bool recorded = false;    // listed in MSysCompactError: something of the source lost, or a unique index given up
    Repair_Code code = Repair_Code::Index_Rebuilt;
    std::string table;
    std::string description;  // what was wrong and what was done, for people
    std::optional<Row_Pointer> row;  // the source row concerned
};

// "table 'Orders': ..." for messages.
std::string Describe(const Repair_Note& note);

// One table's repairs, fed with every live row the compactor copies, in order. An index's
// entries are held against a digest of the (row, key) pairs the rows' values give
// (Index_Entry_Digest), so that they are checked in the one pass over the index in key
// order that also copies them, whatever order its rows are in. Memory: 8 bytes per row,
// and a bit per row and index, for a table with an index whose keys are not built here,
// else a few bytes per index; an index is rebuilt from the rows read once more, its
// entries going to the spill.
class Table_Repair {
public:
    // Access leaves its own tables' row counts stale: `system` tables' are recounted
    // without a note.
    Table_Repair(const Database& db, const Table_Definition& def, std::string name, bool system = false);

    // True when the key of some index needs a memo/OLE value read in full.
    bool Needs_Long_Values() const { return needs_long_values_; }
    // The next row (its number is the count so far), as it will be stored (`live.bytes`
    // with any ids renumbered). Throws Error when the row's values cannot be decoded.
    void Add_Row(const Live_Row& live);

    // How index entries name rows: the row number of a source row pointer, if live.
    using Row_Of = std::function<std::optional<std::uint32_t>(Row_Pointer)>;
    // Maps an entry's source key to the key to store (renumbered ids); may be empty.
    using Source_Key = std::function<void(std::vector<std::uint8_t>& key, std::uint32_t row)>;
    // Every row again, in the same order and form as Add_Row had them.
    using Reread = std::function<void(const std::function<void(const Live_Row&)>& visit)>;

    // Walks real index `i` of the source once, reading its tree from `file` (the
    // database's own, or another handle of the same file): notes what is wrong with the
    // tree, sums the digest of its entries, and returns the entries as they would be
    // stored, numbered by `row_of` and keyed by `source_key` (may be empty), going to
    // `spill` beyond its budget; entries naming no live row are left out. It touches
    // nothing Add_Row does, so that it may run on a second thread while rows are added.
    Index_Image Read_Index(std::size_t i, const Page_File& file, const Row_Of& row_of, const Source_Key& source_key,
                           const std::shared_ptr<Spill_Space>& spill);
    // Once every row is added and index `i` read: what is wrong with it (the first thing
    // found), empty when it is sound.
    std::string Index_Problem(std::size_t i) const;
    // The entries for real index `i`: `copied` (Read_Index) when it is sound, else rebuilt
    // from the rows' values. Throws Error when it is not sound and cannot be rebuilt (text
    // in a sort order this engine does not encode). Rebuilt entries go to `spill` beyond
    // its budget.
    Index_Image Index_Entries(std::size_t i, Index_Image copied, const Reread& reread,
                              const std::shared_ptr<Spill_Space>& spill);

    // The digest (Index_Entry_Digest) of the entries Index_Entries(i) gave, which the
    // written index must hold: of the keys the rows' values give, or, for an index whose
    // keys are not built here, of the source's own entries.
    std::uint64_t Entries_Digest(std::size_t i) const { return encoders_[i].Encodable() ? expected_[i] : found_[i]; }

    // Fills in the counter and clears the unique flag of any index the rows no longer satisfy.
    void Finish_Definition(std::vector<std::uint8_t>& definition);

    std::size_t Rows() const { return rows_; }
    std::vector<Repair_Note>& Notes() { return notes_; }

private:
    const Table_Definition& def_;
    std::string name_;
    std::string where_;
    bool system_ = false;
    Table_Definition key_def_;  // only the columns keys and the counter need
    Row_Split key_split_;       // of key_def_
    std::vector<Index_Key_Encoder> encoders_;
    // Per index, written by Add_Row: the digest of the entries the rows' values give.
    std::vector<std::uint64_t> expected_;
    // Per index, written by Read_Index: the first thing wrong with its tree, the digest of
    // its entries, and (where keys are not built here) which rows it lists.
    std::vector<std::string> tree_problems_;
    std::vector<std::uint64_t> found_;
    std::vector<std::vector<bool>> listed_;
    std::vector<bool> demote_;                    // per index: unique no more
    // Per row: its slot in the source, to name rows an index whose keys are not built
    // here misses (kept only for such tables).
    std::vector<Row_Pointer> headers_;
    bool keep_headers_ = false;
    std::optional<std::size_t> counter_column_;   // in key_def_.columns
    std::int64_t counter_max_ = 0;
    bool needs_long_values_ = false;
    std::size_t rows_ = 0;
    std::vector<std::uint8_t> key_;
    std::vector<Value> values_;  // the row being added, decoded (buffers reused)
    std::vector<Repair_Note> notes_;

    Index_Image Rebuild(std::size_t i, const std::string& why, const Reread& reread,
                        const std::shared_ptr<Spill_Space>& spill);
    std::string Index_Name(std::size_t i) const;
};

}  // namespace kelbrook::jet
