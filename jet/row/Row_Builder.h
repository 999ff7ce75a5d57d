// Typed values to Jet 4.0 row bytes: the column count, the fixed area, the variable
// area with its offset table, end-of-data and count, and the null mask. Memo and OLE
// values of up to 64 bytes stay in the row after their 12-byte definition; longer ones
// become Long_Value_Images for the writer to put on long-value pages.
//
// Values by column type:
//   boolean                  bool
//   byte, int16, int32       std::int64_t (range-checked)
//   money                    std::int64_t, in ten-thousandths (the stored integer)
//   numeric                  std::int64_t, the unscaled value (value * 10^scale)
//   float, double            double
//   datetime                 double, OLE automation days
//   text, memo               std::string (UTF-8)
//   binary, OLE              bytes
//   GUID                     16 bytes, as stored
// A std::monostate is null.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "jet/table/Table_Builder.h"
#include "jet/engine/Writer.h"

namespace kelbrook::jet {

using Byte_Vector = std::vector<std::uint8_t>;
using Field_Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, Byte_Vector>;

inline bool Is_Null(const Field_Value& v) { return std::holds_alternative<std::monostate>(v); }

// Jet's stored form of a text value: "compressed unicode" (FF FE and one byte per
// character) when every character fits a byte and compression is allowed, else UTF-16LE.
Byte_Vector Encode_Stored_Text(const std::string& utf8, bool allow_compression);

// Builds the row for `values` (one per column, in column-number order). Throws Error
// naming the table and column for a value of the wrong kind or out of range, and when
// the row would not fit on a data page.
Row_Image Build_Row(const Table_Layout& table, const std::vector<Field_Value>& values);

// OLE automation date (days since 1899-12-30) of a civil date and time.
double Ole_Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace kelbrook::jet
