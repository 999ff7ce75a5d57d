// Index keys of Jet 4.0: each column of an index contributes a flag byte (0x7F ascending,
// 0x80 descending; 0x00/0xFF for null, alone) and, unless null, its value encoded so that
// the unsigned byte order of whole keys is the sort order:
//   integers and money   big-endian, sign bit flipped
//   byte                 as is
//   float, double, date  big-endian IEEE; positives get the sign bit set, negatives are
//                        inverted in full
//   boolean              flag byte, then 0x00 true / 0xFF false (null counts as false)
//   text                 General (legacy) sort codes, one byte per character, then 01 00
// Descending columns invert every value byte. Text keys are made only for the characters
// whose General codes are settled (the letters a to y in either case, digits and the
// space);
// any other character is refused with an Error, so we never write a key Jet would not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "jet/Row_Builder.h"
#include "jet/Table_Builder.h"

namespace kelbrook::jet {

// Appends one column's part of a key.
void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Field_Value& value,
                     bool ascending);

// The whole key of a row for one real index (values in column-number order).
std::vector<std::uint8_t> Encode_Index_Key(const Table_Layout& table, const Index_Layout& index,
                                           const std::vector<Field_Value>& values);

// True when every character of `text` has a known General sort code.
bool Text_Is_Indexable(std::string_view text);

// True when the index leaves this row out: an ignore-nulls index whose columns are all
// null in the row.
bool Index_Skips_Row(const Table_Layout& table, const Index_Layout& index, const std::vector<Field_Value>& values);

}  // namespace kelbrook::jet
