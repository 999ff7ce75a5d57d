#include "jet/row/Row_Builder.h"

#include <cstring>
#include <limits>
#include <span>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

namespace f = format;


[[noreturn]] void Fail(const Table_Layout& t, const Column_Layout& c, const std::string& what) {
    throw Error("table " + t.name + ", column " + c.name + ": " + what, Error_Kind::Unsupported);
}

std::int64_t Integer_Of(const Table_Layout& t, const Column_Layout& c, const Field_Value& v, std::int64_t lo,
                        std::int64_t hi) {
    const auto* i = std::get_if<std::int64_t>(&v);
    if (i == nullptr) Fail(t, c, "expects an integer value");
    if (*i < lo || *i > hi) Fail(t, c, "value " + std::to_string(*i) + " is out of range");
    return *i;
}

double Double_Of(const Table_Layout& t, const Column_Layout& c, const Field_Value& v) {
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    Fail(t, c, "expects a number");
}

const Byte_Vector& Bytes_Of(const Table_Layout& t, const Column_Layout& c, const Field_Value& v) {
    const auto* b = std::get_if<Byte_Vector>(&v);
    if (b == nullptr) Fail(t, c, "expects bytes");
    return *b;
}

void Put_Le(std::uint8_t* at, std::uint64_t v, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Put_Fixed(const Table_Layout& t, const Column_Layout& c, const Field_Value& v, std::uint8_t* at) {
    switch (c.type) {
        case f::Type_Byte: Put_Le(at, static_cast<std::uint64_t>(Integer_Of(t, c, v, 0, 255)), 1); break;
        case f::Type_Int16:
            Put_Le(at, static_cast<std::uint64_t>(Integer_Of(t, c, v, -32768, 32767)), 2);
            break;
        case f::Type_Int32:
            Put_Le(at,
                   static_cast<std::uint64_t>(Integer_Of(t, c, v, std::numeric_limits<std::int32_t>::min(),
                                                         std::numeric_limits<std::int32_t>::max())),
                   4);
            break;
        case f::Type_Money:
            Put_Le(at,
                   static_cast<std::uint64_t>(Integer_Of(t, c, v, std::numeric_limits<std::int64_t>::min(),
                                                         std::numeric_limits<std::int64_t>::max())),
                   8);
            break;
        case f::Type_Float: {
            float x = static_cast<float>(Double_Of(t, c, v));
            std::uint32_t bits;
            std::memcpy(&bits, &x, 4);
            Put_Le(at, bits, 4);
            break;
        }
        case f::Type_Double:
        case f::Type_Datetime: {
            double x = Double_Of(t, c, v);
            std::uint64_t bits;
            std::memcpy(&bits, &x, 8);
            Put_Le(at, bits, 8);
            break;
        }
        case f::Type_Guid: {
            const Byte_Vector& b = Bytes_Of(t, c, v);
            if (b.size() != 16) Fail(t, c, "a GUID has 16 bytes");
            std::memcpy(at, b.data(), 16);
            break;
        }
        case f::Type_Numeric: {
            std::int64_t x = Integer_Of(t, c, v, -std::numeric_limits<std::int64_t>::max(),
                                        std::numeric_limits<std::int64_t>::max());
            std::uint64_t magnitude = static_cast<std::uint64_t>(x < 0 ? -x : x);
            at[f::Numeric_Sign] = x < 0 ? f::Numeric_Negative : 0;
            // An int64 fills the last two magnitude groups.
            std::uint8_t* groups = at + f::Numeric_Magnitude;
            std::memset(groups, 0, f::Numeric_Magnitude_Size);
            Put_Le(groups + f::Numeric_Magnitude_Size - 2 * f::Numeric_Group_Size, magnitude >> 32, f::Numeric_Group_Size);
            Put_Le(groups + f::Numeric_Magnitude_Size - f::Numeric_Group_Size, magnitude & UINT32_MAX, f::Numeric_Group_Size);
            break;
        }
        default: Fail(t, c, "is not a fixed-length column");
    }
}

void Append(Byte_Vector& out, const Byte_Vector& more) { out.insert(out.end(), more.begin(), more.end()); }

}  // namespace

Byte_Vector Encode_Stored_Text(const std::string& utf8, bool allow_compression) {
    Byte_Vector utf16 = Utf8_To_Utf16le(utf8);
    bool compressible = allow_compression && !utf16.empty();
    for (std::size_t i = 0; compressible && i + 1 < utf16.size(); i += 2)
        if (utf16[i + 1] != 0 || utf16[i] == 0) compressible = false;
    if (!compressible) return utf16;
    Byte_Vector out(f::Compressed_Text_Marker.begin(), f::Compressed_Text_Marker.end());
    for (std::size_t i = 0; i < utf16.size(); i += 2) out.push_back(utf16[i]);
    return out;
}

namespace {

// The row's null mask: bit n set when column n holds a value (booleans: when true).
struct Presence_Mask {
    Byte_Vector bits;
    explicit Presence_Mask(std::size_t columns) : bits((columns + 7) / 8, 0) {}
    void Set(std::uint16_t number) { bits[number / 8] |= static_cast<std::uint8_t>(1u << (number % 8)); }
};

// The fixed area: each fixed column's value at its offset; booleans only in the mask.
void Put_Fixed_Columns(const Table_Layout& table, const std::vector<Field_Value>& values, Byte_Vector& out,
                       Presence_Mask& mask) {
    for (const Column_Layout& c : table.columns) {
        if (!c.fixed) continue;
        const Field_Value& v = values[c.number];
        if (Is_Null(v)) continue;
        if (c.type == f::Type_Boolean) {
            const auto* b = std::get_if<bool>(&v);
            if (b == nullptr) Fail(table, c, "expects true or false");
            if (*b) mask.Set(c.number);
            continue;
        }
        Put_Fixed(table, c, v, out.data() + f::Row_Column_Count_Size + c.fixed_offset);
        mask.Set(c.number);
    }
}

// A memo or OLE value: its definition in the row, the value inline after it when short,
// else handed to the writer as a long value.
void Append_Long_Value(const Table_Layout& table, const Column_Layout& c, const Field_Value& v, Row_Image& row) {
    Byte_Vector& out = row.bytes;
    Byte_Vector stored;
    if (c.type == f::Type_Memo) {
        const auto* s = std::get_if<std::string>(&v);
        if (s == nullptr) Fail(table, c, "expects text");
        stored = Encode_Stored_Text(*s, Utf8_To_Utf16le(*s).size() / 2 <= f::Max_Compressed_Memo_Chars);
    } else {
        stored = Bytes_Of(table, c, v);
    }
    if (stored.size() > f::Long_Value_Length_Mask) Fail(table, c, "value too long");
    const std::size_t at = out.size();
    out.resize(at + f::Long_Value_Definition_Size, 0);
    std::span<std::uint8_t> def(out.data() + at, f::Long_Value_Definition_Size);
    Put_U32(def, f::Long_Value_Length, static_cast<std::uint32_t>(stored.size()));
    if (stored.size() <= f::Long_Value_Max_Inline) {
        def[f::Long_Value_Flags] |= f::Long_Value_Inline;
        Append(out, stored);
        return;
    }
    Long_Value_Image lv;
    lv.definition_offset = static_cast<std::uint16_t>(at);
    lv.column_number = c.number;
    lv.value = std::move(stored);
    row.long_values.push_back(std::move(lv));
}

// A variable column's (non-null) value at the end of the row.
void Append_Variable_Value(const Table_Layout& table, const Column_Layout& c, const Field_Value& v, Row_Image& row) {
    switch (c.type) {
        case f::Type_Text: {
            const auto* s = std::get_if<std::string>(&v);
            if (s == nullptr) Fail(table, c, "expects text");
            Byte_Vector stored = Encode_Stored_Text(*s, true);
            std::size_t chars = Utf8_To_Utf16le(*s).size() / 2;
            if (chars > c.length)
                Fail(table, c, "text of " + std::to_string(chars) + " characters exceeds the column's " +
                                   std::to_string(c.length));
            Append(row.bytes, stored);
            break;
        }
        case f::Type_Binary: {
            const Byte_Vector& b = Bytes_Of(table, c, v);
            if (b.size() > c.length) Fail(table, c, "value longer than the column");
            Append(row.bytes, b);
            break;
        }
        case f::Type_Memo:
        case f::Type_Ole: Append_Long_Value(table, c, v, row); break;
        default: Fail(table, c, "unsupported column type");
    }
}

// The variable columns' offset table, stored last to first: end of data, offset of var
// n-1, ..., offset of var 0, then their count.
void Append_Var_Offsets(Byte_Vector& out, const std::vector<std::uint16_t>& var_offsets) {
    const std::size_t var_count = var_offsets.size();
    if (var_count == 0) return;
    const std::uint16_t end_of_data = static_cast<std::uint16_t>(out.size());
    const std::size_t size = f::Row_Var_Entry_Size * (var_count + 2);
    const std::size_t at = out.size();
    out.resize(at + size, 0);
    std::span<std::uint8_t> tail(out.data() + at, size);
    Put_U16(tail, 0, end_of_data);
    for (std::size_t i = 0; i < var_count; ++i)
        Put_U16(tail, f::Row_Var_Entry_Size * (1 + var_count - 1 - i), var_offsets[i]);
    Put_U16(tail, f::Row_Var_Entry_Size * (var_count + 1), static_cast<std::uint16_t>(var_count));
}

}  // namespace

Row_Image Build_Row(const Table_Layout& table, const std::vector<Field_Value>& values) {
    if (values.size() != table.columns.size())
        throw Error("table " + table.name + ": a row needs " + std::to_string(table.columns.size()) +
                        " values, got " + std::to_string(values.size()),
                    Error_Kind::Unsupported);
    const std::size_t columns = table.columns.size();
    Row_Image row;
    Byte_Vector& out = row.bytes;
    out.assign(f::Row_Column_Count_Size + table.Fixed_Area_Size(), 0);
    Put_U16(std::span<std::uint8_t>(out), 0, static_cast<std::uint16_t>(columns));
    Presence_Mask mask(columns);
    Put_Fixed_Columns(table, values, out, mask);

    std::vector<std::uint16_t> var_offsets(table.Var_Column_Count(), 0);
    for (const Column_Layout& c : table.columns) {
        if (c.fixed) continue;
        var_offsets[c.var_index] = static_cast<std::uint16_t>(out.size());
        const Field_Value& v = values[c.number];
        if (Is_Null(v)) continue;
        mask.Set(c.number);
        Append_Variable_Value(table, c, v, row);
    }
    Append_Var_Offsets(out, var_offsets);
    Append(out, mask.bits);
    if (out.size() > f::Max_Row_Size)
        throw Error("table " + table.name + ": a row of " + std::to_string(out.size()) +
                        " bytes does not fit on a data page",
                    Error_Kind::Unsupported);
    return row;
}

double Ole_Date(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a civil date (proleptic Gregorian), then shifted to the
    // OLE epoch 1899-12-30, which lies 25569 days earlier.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = static_cast<long>(era) * 146097 + doe - 719468;
    return static_cast<double>(days + f::Date_Days_To_1970) + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

}  // namespace kelbrook::jet
