// Rows and their values. A row is [ncols:2][fixed area][var data][eod][var offsets,
// last first][nvar:2][null mask]; Split_Row finds every column's bytes in it (columns
// added after the row was written read as null; deleted columns are simply not in the
// table definition). Long values (memo/OLE) are read from their 12-byte definition:
// inline, one LVAL row, or a chain of LVAL rows. Decode_Value turns the bytes into a
// typed Value. Table_Rows walks a table's live rows in page order, skipping deleted
// slots and following overflow pointers, and hands out each row's header pointer,
// resolved bytes and long values (what the compactor copies).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "jet/util/Bytes.h"
#include "jet/file/Page_File.h"
#include "jet/row/Row_Numbers.h"
#include "jet/table/Table_Definition.h"

namespace kelbrook::jet {

struct Value {
    enum class Kind : std::uint8_t {
        Null, Boolean, Byte, Int16, Int32, Money, Float, Double, Datetime, Binary, Text, Ole, Memo, Guid, Numeric
    };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;          // Boolean (0/1), Byte, Int16, Int32, Money (1/10000 units)
    double real = 0;                   // Float, Double, Datetime (OLE automation days)
    std::string text;                  // Text, Memo (UTF-8); Guid "{...}"; Numeric as decimal text
    std::vector<std::uint8_t> bytes;   // Binary, Ole; the 17 stored bytes of a Numeric

    bool Is_Null() const { return kind == Kind::Null; }
};

// ISO 8601 "YYYY-MM-DDTHH:MM:SS" for an OLE automation date.
std::string Format_Date(double ole_days);
// JSON text of a value: numbers plain, text escaped, binary as hex, dates ISO 8601.
std::string Value_To_Json(const Value& value);
// The same, appended to `out` (no temporary for text and binary).
void Append_Json(std::string& out, const Value& value);

// Where each column of a row lies.
struct Field {
    bool null = true;
    std::size_t offset = 0;  // start in the row
    std::size_t length = 0;
};

// Splits `row` by `table`'s columns (the result follows table.columns). `where` names
// the row in errors.
std::vector<Field> Split_Row(const Table_Definition& table, std::span<const std::uint8_t> row,
                             const std::string& where);

// What splitting a row takes from its table's definition alone (each column's kind,
// null-mask bit and place), worked out once for a walk over many rows of the table. It
// is used with the definition it was made from, which names the columns in errors.
class Row_Split {
public:
    explicit Row_Split(const Table_Definition& table);

private:
    friend struct Row_Split_Access;
    enum class Kind : std::uint8_t { Boolean, Fixed, Variable };
    struct Part {
        Kind kind = Kind::Variable;
        std::uint16_t number = 0;     // null-mask bit
        std::uint16_t var_index = 0;  // variable: slot in the var-offset table
        std::size_t at = 0;           // fixed: start in the row
        std::size_t size = 0;         // fixed: bytes
    };
    std::vector<Part> parts_;  // in table.columns order
    bool has_var_ = false;     // rows carry a var-offset table
};

// A memo/OLE value of a row: where its definition is and its full stored bytes.
// A part of a long value as it lies on a page the walk read, the page held while the
// piece is.
struct Long_Value_Piece {
    Page_Ref page;
    std::span<const std::uint8_t> bytes;
};

struct Long_Value_Field {
    std::uint16_t column_number = 0;
    std::uint16_t definition_offset = 0;  // offset of the 12-byte definition in the row
    std::uint8_t storage = 0;             // format::Long_Value_Inline / _Single_Row / _Chain
    std::uint32_t length = 0;             // the value's length, as its definition gives it
    std::vector<std::uint8_t> value;      // the bytes, copied (Long_Values::Copied; inline ones always)
    std::vector<std::uint32_t> pages;     // the LVAL pages holding it, in chain order
    bool off_lval_pages = false;          // some of them lack the long-value signature
    std::vector<Long_Value_Piece> pieces; // the bytes where they lie (Long_Values::In_Place, stored apart)
};

// How a walk gives the rows' memo/OLE values: not at all (definitions and lengths only),
// copied out of their pages, or as pieces of the pages themselves, for a reader that
// uses each byte once and need not copy it.
enum class Long_Values : std::uint8_t { Skip, Copied, In_Place };

// A long value's bytes (a Long_Value_Field, or anything else with `value` and `pieces`)
// wherever they are: its pieces, or its copy. Calls `take` for each span, in order.
template <class Long_Value, class Take>
void Each_Span(const Long_Value& lv, const Take& take) {
    if (lv.pieces.empty()) return take(std::span<const std::uint8_t>(lv.value));
    for (const auto& piece : lv.pieces) take(piece.bytes);
}
// Copies a long value's bytes out in order, each copy going on where the last one ended:
// from its pieces, or from `copied` when it has none.
class Pieces_Cursor {
public:
    explicit Pieces_Cursor(const std::vector<Long_Value_Piece>& pieces, std::span<const std::uint8_t> copied = {})
        : pieces_(pieces), copied_(copied) {}
    // Fills `out`; an Error if the pieces end first.
    void Copy(std::span<std::uint8_t> out);

private:
    const std::vector<Long_Value_Piece>& pieces_;
    std::span<const std::uint8_t> copied_;
    std::size_t piece_ = 0;  // the piece the next byte is in
    std::size_t at_ = 0;     // and where in it
};

// Reads the value a 12-byte long-value definition (plus any inline bytes) describes;
// `pages`, when given, receives the LVAL pages it lies on.
std::vector<std::uint8_t> Read_Long_Value(const Page_File& file, std::span<const std::uint8_t> field,
                                          const std::string& where, std::vector<std::uint32_t>* pages = nullptr);

struct Live_Row {
    Row_Pointer header;                       // the row's slot (index entries point here)
    std::vector<std::uint8_t> bytes;          // the row itself, overflow resolved
    std::vector<Long_Value_Field> long_values;  // one per non-null memo/OLE column
};

// What a walk over rows calls for each. The row is the walk's own, reused for the next
// one: a visitor may take its bytes and those of its long values (move or swap them
// out), and nothing else of it.
using Live_Row_Visitor = std::function<void(Live_Row&)>;

// Typed values of a live row, in table.columns order.
std::vector<Value> Decode_Row(const Table_Definition& table, const Live_Row& row, const std::string& where);
// The same into `values`, reusing their buffers, for callers decoding row after row of
// the table whose Row_Split they made; `where()` names the row in an error and is called
// only then.
void Decode_Row_Into(const Table_Definition& table, const Row_Split& split, const Live_Row& row,
                     const std::function<std::string()>& where, std::vector<Value>& values);

// Which row's memo/OLE value each long-value row read so far belongs to. In a sound
// file every long-value row holds part of one value only; a damaged file may point many
// rows (or columns) at one long chain, which would cost rows x chain length to read and
// multiply the value in a compacted copy. Claim() records the owner of a long-value row
// and tells whether another owner had claimed it before; reading the same value again
// (a second pass) claims nothing new. 16 bytes or so per long-value row read.
class Long_Value_Claims {
public:
    // False when `lval_row` already belongs to another (row, column).
    bool Claim(Row_Pointer lval_row, Row_Pointer owner_row, std::uint16_t column);

private:
    // Open addressing: (long-value row << 32 | owner hash), 0 = empty; load at most 1/2.
    std::vector<std::uint64_t> slots_;
    std::size_t used_ = 0;
    void Grow();
};

// Calls `visit` for each live row of `table`, in the order of its data pages and slots.
// Pages listed in the table's map that are not its data pages are passed over. The row
// handed to `visit` is valid only during the call. With Long_Values::Skip, memo/OLE
// values are not read (only their definitions: value, pieces and pages stay empty); with
// In_Place, those stored apart from the row are given as pieces, which stay valid after
// the call (they hold their pages; see Page_File::Read).
// With `claims`, every long-value row read is claimed for its row and column, and a
// long-value row another value has claimed is an Error.
void Table_Rows(const Page_File& file, const Table_Definition& table, const Live_Row_Visitor& visit,
                Long_Values long_values = Long_Values::Copied,
                Long_Value_Claims* claims = nullptr);

// The numbers of the live rows Table_Rows would visit, from the pages' row tables alone
// (no row is read).
Row_Numbers Table_Row_Numbers(const Page_File& file, const Table_Definition& table);

// The pages the table's owned map lists (its data pages).
std::vector<std::uint32_t> Table_Data_Pages(const Page_File& file, const Table_Definition& table);

}  // namespace kelbrook::jet
