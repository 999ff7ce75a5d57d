// Index keys of Jet 4.0, for every indexable column type (docs/jet4-index-keys.md). Each
// column of an index contributes a flag byte (0x7F ascending, 0x80 descending; 0x00 or
// 0xFF alone for null) and, unless null, its value encoded so that the unsigned byte
// order of whole keys is the sort order:
//   byte                     as is
//   int16, int32, money      big-endian, sign bit flipped
//   float, double, date      big-endian IEEE; positives get the sign bit set, negatives are
//                            inverted in full
//   numeric                  FF (positive) or 00 (negative), then the 16-byte magnitude
//                            big-endian, inverted for negatives
//   boolean                  never null: 00 true / FF false (null counts as false)
//   GUID, binary             8-byte groups (GUID in its text order), each followed by 9
//                            when more follow, else by the bytes used
//   text, memo               General sort order codes (first 255 UTF-16 units, trailing
//                            spaces dropped), 01, accent codes, control and flag entries, 00
// A descending column inverts its value bytes (text: all but the final 00; binary: all but
// the 9s between groups; numeric: see the notes).
//
// Text keys exist only for columns in Jet 4's General sort order (LCID 1033, version 0).
// For any other order the key cannot be built here: callers copy such keys as they stand
// and a check reports the index as not verified (Index_Key_Encoder::Obstacle).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "jet/file/Page_File.h"
#include "jet/row/Row_Builder.h"
#include "jet/row/Rows.h"
#include "jet/table/Table_Builder.h"
#include "jet/table/Table_Definition.h"

namespace kelbrook::jet {

// ---- Value parts (no flag byte) -------------------------------------------------------

// Text in the General order: codes, 01, extra codes, 00; `text` is truncated to 255 units
// and its trailing spaces dropped first, as Jet does.
void Append_Text_Key(std::vector<std::uint8_t>& key, std::u16string_view text, bool ascending);
// Binary (and GUID, in big-endian text order) values in 8-byte groups.
void Append_Binary_Key(std::vector<std::uint8_t>& key, std::span<const std::uint8_t> bytes, bool ascending);

// ---- Sort orders ----------------------------------------------------------------------

struct Sort_Order {
    std::uint16_t lcid = 0;
    std::uint8_t version = 0;
    bool operator==(const Sort_Order&) const = default;
};
// The order a text or memo column's keys follow: the column's own, or the database's when
// the column names none (LCID 0).
Sort_Order Column_Sort_Order(const Table_Definition& table, const Column& column, const Database_Header& header);
// True for Jet 4's General order, whose text keys this engine builds.
bool Is_General(Sort_Order order);
// "1033 version 1" and the like, for messages.
std::string Describe(Sort_Order order);

// ---- Whole keys of a database's indexes (values as Decode_Row gives them) ---------------

// Prepared once per index; Encode() then reuses the caller's buffer. A memo column's key
// needs the memo read in full (Table_Rows with long values).
class Index_Key_Encoder {
public:
    Index_Key_Encoder(const Table_Definition& table, const Real_Index& index, const Database_Header& header);

    // Empty when every key of the index can be built; else why not, for example
    // "column \"Name\" is text in sort order 1036 version 0".
    const std::string& Obstacle() const { return obstacle_; }
    bool Encodable() const { return obstacle_.empty(); }

    // The key of a row (values in table.columns order) into `key`; false, and `key` left
    // empty, when the index is not Encodable(). Throws Error for a value of the wrong kind.
    bool Encode(const std::vector<Value>& values, std::vector<std::uint8_t>& key) const;
    // True when the index leaves the row out: ignore-nulls, and every column null
    // (a boolean column is never null). Answers for indexes that are not Encodable() too,
    // so that their entries can still be counted against the rows.
    bool Skips(const std::vector<Value>& values) const;

private:
    struct Part {
        std::size_t position;  // in table.columns
        std::uint8_t type;
        bool ascending;
    };
    std::vector<Part> parts_;
    bool ignore_nulls_ = false;
    bool columns_known_ = true;  // false when the index names a column the table lacks
    std::string obstacle_;
};

// One row's key, or nothing when the index's keys cannot be built here (see Obstacle).
std::optional<std::vector<std::uint8_t>> Encode_Index_Key(const Table_Definition& table, const Real_Index& index,
                                                          const std::vector<Value>& values,
                                                          const Database_Header& header);

// Appends one column's part (flag byte and value) from a value the reader decoded.
void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Value& value, bool ascending);

// ---- Keys of databases we build (generator, values as Build_Row takes them) -------------

// Appends one column's part; text in the General order (every database we build uses it).
void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Field_Value& value,
                     bool ascending);

// The whole key of a row for one real index (values in column-number order).
std::vector<std::uint8_t> Encode_Index_Key(const Table_Layout& table, const Index_Layout& index,
                                           const std::vector<Field_Value>& values);

// True when `text` is valid UTF-8, which is all a General text key needs: every character
// of the table has a code or is one Jet ignores, and surrogate pairs get computed codes.
bool Text_Is_Indexable(std::string_view text);

// True when the index leaves this row out: an ignore-nulls index whose columns are all
// null in the row.
bool Index_Skips_Row(const Table_Layout& table, const Index_Layout& index, const std::vector<Field_Value>& values);

// The key of a non-null int32 column (autonumber ids included): its flag byte, then the
// value big-endian with the sign bit flipped (all inverted when descending); written at
// `at` (format::Int32_Key_Size bytes).
void Encode_Int32_Key(std::uint8_t* at, std::int32_t value, bool ascending);
// Gives a key whose first column is an int32 column the value `value` there, in that
// column's order; false (and the key unchanged) when the column is null in the key.
bool Replace_Leading_Int32(std::vector<std::uint8_t>& key, std::int32_t value);

// 32 bits of an index key, never 0 (0 stands for "no key"): the check and the repair
// compare index entries with their rows' keys by these, 4 bytes per row and index.
std::uint32_t Index_Key_Hash(std::span<const std::uint8_t> key);

// An entry's share of an index's digest: the sum (mod 2^64) of these over its entries
// stands for its (row number, key) pairs whatever order they come in, so that two
// lists of entries are compared in 8 bytes.
std::uint64_t Index_Entry_Digest(std::uint32_t row, std::span<const std::uint8_t> key);

}  // namespace kelbrook::jet
