#include "jet/row/Rows.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "jet/row/Data_Page.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {
namespace {

std::string Row_Name(const Page_File& file, Row_Pointer p) {
    return file.Name() + ": page " + std::to_string(p.page) + ", row " + std::to_string(p.row);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void Civil_From_Days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

std::string Numeric_Text(std::span<const std::uint8_t> b, std::uint8_t scale) {
    // Sign byte, then four 32-bit little-endian words, most significant first.
    std::array<std::uint32_t, format::Numeric_Magnitude_Size / format::Numeric_Group_Size> words{};
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = Get_U32(b, format::Numeric_Magnitude + format::Numeric_Group_Size * i);
    std::string digits;
    auto is_zero = [&words] { return words[0] == 0 && words[1] == 0 && words[2] == 0 && words[3] == 0; };
    while (!is_zero()) {
        std::uint64_t rem = 0;
        for (auto& w : words) {
            std::uint64_t cur = (rem << 32) | w;
            w = static_cast<std::uint32_t>(cur / 10);
            rem = cur % 10;
        }
        digits.push_back(static_cast<char>('0' + rem));
    }
    while (digits.size() <= scale) digits.push_back('0');
    std::reverse(digits.begin(), digits.end());
    if (scale > 0) digits.insert(digits.end() - scale, '.');
    if ((b[format::Numeric_Sign] & format::Numeric_Negative) != 0) digits.insert(digits.begin(), '-');
    return digits;
}

std::string Guid_Text(std::span<const std::uint8_t> b) {
    char out[40];
    std::snprintf(out, sizeof out, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Get_U32(b, 0),
                  Get_U16(b, 4), Get_U16(b, 6), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

template <typename T>
std::string Shortest(T v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void Append_Json_String(std::string& out, const std::string& s) {
    out += '"';
    std::size_t run = 0;  // start of the bytes not yet copied
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s, run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                static constexpr char digits[] = "0123456789abcdef";
                out += "\\u00";
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
    }
    out.append(s, run, std::string::npos);
    out += '"';
}

std::string Json_String(const std::string& s) {
    std::string out;
    Append_Json_String(out, s);
    return out;
}

void Append_Hex_String(std::string& out, const std::vector<std::uint8_t>& b) {
    static constexpr char digits[] = "0123456789abcdef";
    std::size_t at = out.size();
    out.resize(at + 2 + b.size() * 2);
    out[at++] = '"';
    for (auto c : b) {
        out[at++] = digits[c >> 4];
        out[at++] = digits[c & 15];
    }
    out[at] = '"';
}

}  // namespace

std::string Format_Date(double ole_days) {
    if (!std::isfinite(ole_days) || std::fabs(ole_days) > 3.0e6) return "invalid date";
    double whole = std::trunc(ole_days);
    double frac = std::fabs(ole_days - whole);
    auto days = static_cast<std::int64_t>(whole);
    auto seconds = static_cast<std::int64_t>(std::llround(frac * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    std::int64_t y;
    unsigned m, d;
    Civil_From_Days(days - format::Date_Days_To_1970, y, m, d);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d", static_cast<long long>(y), m, d,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return buf;
}

void Append_Json(std::string& out, const Value& v) {
    using K = Value::Kind;
    switch (v.kind) {
        case K::Text:
        case K::Memo:
        case K::Guid: Append_Json_String(out, v.text); return;
        case K::Binary:
        case K::Ole: Append_Hex_String(out, v.bytes); return;
        case K::Byte:
        case K::Int16:
        case K::Int32: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, v.integer);
            out.append(buf, r.ptr);
            return;
        }
        default: out += Value_To_Json(v);
    }
}

std::string Value_To_Json(const Value& v) {
    using K = Value::Kind;
    switch (v.kind) {
        case K::Null: return "null";
        case K::Boolean: return v.integer ? "true" : "false";
        case K::Byte:
        case K::Int16:
        case K::Int32: return std::to_string(v.integer);
        case K::Money: {
            std::int64_t units = v.integer;
            bool negative = units < 0;
            std::uint64_t mag = negative ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
            char buf[48];
            std::snprintf(buf, sizeof buf, "%s%llu.%04llu", negative ? "-" : "",
                          static_cast<unsigned long long>(mag / 10000), static_cast<unsigned long long>(mag % 10000));
            return buf;
        }
        case K::Float: return Shortest(static_cast<float>(v.real));
        case K::Double: return Shortest(v.real);
        case K::Datetime: return Json_String(Format_Date(v.real));
        case K::Numeric: return v.text;
        case K::Text:
        case K::Memo:
        case K::Guid:
        case K::Binary:
        case K::Ole: {
            std::string out;
            Append_Json(out, v);
            return out;
        }
    }
    return "null";
}

Row_Split::Row_Split(const Table_Definition& table) {
    has_var_ = table.var_columns > 0 ||
               std::any_of(table.columns.begin(), table.columns.end(), [](const Column& c) { return !c.Is_Fixed(); });
    parts_.reserve(table.columns.size());
    for (const Column& c : table.columns) {
        Part part;
        part.number = c.number;
        if (c.type == format::Type_Boolean) {
            part.kind = Kind::Boolean;  // its value is its null-mask bit
        } else if (c.Is_Fixed()) {
            part.kind = Kind::Fixed;
            part.at = 2 + static_cast<std::size_t>(c.fixed_offset);
            part.size = Fixed_Size(c.type, c.length);
        } else {
            part.kind = Kind::Variable;
            part.var_index = c.var_index;
        }
        parts_.push_back(part);
    }
}

struct Row_Split_Access {
    // `where()` names the row in errors; it is only called on failure.
    template <class Where>
    static void Split(const Table_Definition& table, const Row_Split& split, std::span<const std::uint8_t> row,
                      const Where& where, std::vector<Field>& fields, std::vector<std::size_t>& var_offsets) {
        using Kind = Row_Split::Kind;
        auto fail = [&where](const std::string& what) -> void { throw Error(where() + ": " + what); };
        if (split.parts_.size() != table.columns.size())
            throw Error("Internal error: a row was split by another table's columns.");
        fields.resize(split.parts_.size());
        if (row.size() < 2) fail("the row is too short (" + std::to_string(row.size()) + " bytes)");
        const std::size_t ncols = Get_U16(row, 0);
        const std::size_t nmask = (ncols + 7) / 8;
        if (row.size() < 2 + nmask) fail("the row is too short for its " + std::to_string(ncols) + " columns");
        const std::size_t mask_at = row.size() - nmask;
        std::size_t nvar = 0;
        std::size_t fixed_limit = mask_at;  // end of the fixed area (at most)
        if (split.has_var_) {
            if (mask_at < 2 + 2) fail("the row is too short for its variable-column table");
            nvar = Get_U16(row, mask_at - 2);
            std::size_t table_bytes = 2 * (nvar + 1) + 2;  // offsets, eod, count
            if (table_bytes > mask_at - 2)
                fail("the row's variable-column table (" + std::to_string(nvar) + " columns) does not fit in the row");
            std::size_t table_start = mask_at - table_bytes;
            var_offsets.resize(nvar + 1);
            for (std::size_t i = 0; i <= nvar; ++i) {
                var_offsets[i] = Get_U16(row, mask_at - 4 - 2 * i);
                if (var_offsets[i] < 2 || var_offsets[i] > table_start || (i > 0 && var_offsets[i] < var_offsets[i - 1]))
                    fail("the row's variable-column offsets are out of order or past the row's end");
            }
            fixed_limit = nvar > 0 ? var_offsets[0] : var_offsets[nvar];
        }
        const std::uint8_t* mask = row.data() + mask_at;
        for (std::size_t i = 0; i < split.parts_.size(); ++i) {
            const Row_Split::Part& part = split.parts_[i];
            const bool present = part.number < ncols && (mask[part.number / 8] & (1u << (part.number % 8))) != 0;
            Field& f = fields[i];
            switch (part.kind) {
                case Kind::Boolean: f = Field{false, 0, present ? 1u : 0u}; break;
                case Kind::Fixed:
                    if (!present) {
                        f = Field{};
                    } else {
                        if (!Has_Range(fixed_limit, part.at, part.size))
                            fail("column \"" + table.columns[i].name + "\" lies past the end of the row's fixed data");
                        f = Field{false, part.at, part.size};
                    }
                    break;
                case Kind::Variable:
                    if (!present || part.var_index >= nvar)  // or added after the row was written
                        f = Field{};
                    else
                        f = Field{false, var_offsets[part.var_index],
                                  var_offsets[part.var_index + 1] - var_offsets[part.var_index]};
                    break;
            }
        }
    }
};

namespace {

template <class Where>
void Split_Row_Into(const Table_Definition& table, const Row_Split& split, std::span<const std::uint8_t> row,
                    const Where& where, std::vector<Field>& fields, std::vector<std::size_t>& var_offsets) {
    Row_Split_Access::Split(table, split, row, where, fields, var_offsets);
}

template <class Where>
Row_Data Read_Lval_Row(const Page_File& file, Row_Pointer at, const Where& where) {
    Page_Ref page = file.Read(at.page);
    if ((*page)[format::Page_Type] != format::Page_Type_Data)
        file.Fail(at.page, where() + ": memo/OLE value points at a page of type " + std::to_string((*page)[0]) +
                               ", not a data page");
    return Row_Data{page, Get_Row_Slot(file, at.page, *page, at.row)};
}

// Whose value is being read, for claiming its long-value rows (none: no claims).
struct Value_Owner {
    Long_Value_Claims* claims = nullptr;
    Row_Pointer row;
    std::uint16_t column = 0;
};

template <class Where>
void Claim_Lval_Row(const Page_File& file, const Value_Owner& owner, Row_Pointer at, const Where& where) {
    if (owner.claims && !owner.claims->Claim(at, owner.row, owner.column))
        throw Error(Row_Name(file, at) + ": the memo/OLE value of " + where() +
                    " shares this long-value row with another value");
}

// `pages`, when given, receives the pages the value lies on, and `off_lval_pages` whether
// any of them lacks the long-value signature.
// With `pieces`, a value stored apart from the row is given there instead of in `out`.
template <class Where>
void Read_Long_Value_Into(const Page_File& file, std::span<const std::uint8_t> field, const Where& where,
                          std::vector<std::uint32_t>* pages, std::vector<std::uint8_t>& out,
                          const Value_Owner& owner = {}, bool* off_lval_pages = nullptr,
                          std::vector<Long_Value_Piece>* pieces = nullptr) {
    out.clear();
    if (pieces) pieces->clear();
    std::size_t taken = 0;  // bytes given so far, in `out` or in `pieces`
    auto take = [&](const Row_Data& data, std::span<const std::uint8_t> bytes) {
        if (pieces)
            pieces->push_back(Long_Value_Piece{data.page, bytes});
        else
            out.insert(out.end(), bytes.begin(), bytes.end());
        taken += bytes.size();
    };
    if (off_lval_pages) *off_lval_pages = false;
    auto note_page = [&](const Row_Data& data, std::uint32_t page) {
        if (!pages) return;
        pages->push_back(page);
        if (off_lval_pages && !Is_Lval_Page(*data.page)) *off_lval_pages = true;
    };
    if (field.size() < format::Long_Value_Definition_Size)
        throw Error(where() + ": a memo/OLE field is shorter than its 12-byte definition");
    std::uint32_t word = Get_U32(field, format::Long_Value_Length);
    std::size_t length = word & format::Long_Value_Length_Mask;
    std::uint8_t storage = static_cast<std::uint8_t>(field[format::Long_Value_Flags] & format::Long_Value_Storage_Mask);
    Row_Pointer pointer = Get_Row_Pointer(field, format::Long_Value_Pointer);
    if (storage == format::Long_Value_Inline) {
        if (length > field.size() - format::Long_Value_Definition_Size)
            throw Error(where() + ": an inline memo/OLE value claims " + std::to_string(length) +
                        " bytes but the row holds only " +
                        std::to_string(field.size() - format::Long_Value_Definition_Size));
        auto start = field.begin() + format::Long_Value_Definition_Size;
        out.assign(start, start + static_cast<std::ptrdiff_t>(length));
        return;
    }
    if (length > static_cast<std::uint64_t>(file.Page_Count()) * format::Page_Size)
        throw Error(where() + ": a memo/OLE value claims " + std::to_string(length) +
                    " bytes, more than the whole file holds");
    if (storage == format::Long_Value_Single_Row) {
        Row_Data data = Read_Lval_Row(file, pointer, where);
        Claim_Lval_Row(file, owner, pointer, where);
        note_page(data, pointer.page);
        auto b = data.bytes();
        if (b.size() < length)
            throw Error(Row_Name(file, pointer) + ": the memo/OLE value of " + where() + " is truncated (" +
                        std::to_string(b.size()) + " of " + std::to_string(length) + " bytes)");
        take(data, b.first(length));
        return;
    }
    if (storage != format::Long_Value_Chain)
        throw Error(where() + ": a memo/OLE value has an unknown storage type");
    if (!pieces) out.reserve(length);
    // Rows already visited: a short list for the usual few links, a set for long chains.
    constexpr std::size_t listed = 64;
    std::array<Row_Pointer, listed> first_seen;
    std::size_t hops = 0;
    std::set<Row_Pointer> seen;
    Row_Pointer at = pointer;
    while (taken < length) {
        if (at.page == 0)
            throw Error(where() + ": the memo/OLE value's page chain ends after " + std::to_string(taken) + " of " +
                        std::to_string(length) + " bytes");
        const bool again = std::find(first_seen.begin(), first_seen.begin() + static_cast<std::ptrdiff_t>(std::min(hops, listed)), at) !=
                               first_seen.begin() + static_cast<std::ptrdiff_t>(std::min(hops, listed)) ||
                           (hops >= listed && !seen.insert(at).second);
        if (again) throw Error(Row_Name(file, at) + ": the memo/OLE page chain of " + where() + " loops");
        if (hops < listed) first_seen[hops] = at;
        ++hops;
        Row_Data data = Read_Lval_Row(file, at, where);
        Claim_Lval_Row(file, owner, at, where);
        note_page(data, at.page);
        auto b = data.bytes();
        if (b.size() < format::Long_Value_Chain_Link)
            throw Error(Row_Name(file, at) + ": a memo/OLE chain row is too short");
        Row_Pointer next = Get_Row_Pointer(b, 0);
        take(data, b.subspan(format::Long_Value_Chain_Link,
                             std::min(b.size() - format::Long_Value_Chain_Link, length - taken)));
        at = next;
    }
}

}  // namespace

std::vector<Field> Split_Row(const Table_Definition& table, std::span<const std::uint8_t> row,
                             const std::string& where) {
    std::vector<Field> fields;
    std::vector<std::size_t> var_offsets;
    Split_Row_Into(table, Row_Split(table), row, [&] { return where; }, fields, var_offsets);
    return fields;
}

std::vector<std::uint8_t> Read_Long_Value(const Page_File& file, std::span<const std::uint8_t> field,
                                          const std::string& where, std::vector<std::uint32_t>* pages) {
    std::vector<std::uint8_t> out;
    Read_Long_Value_Into(file, field, [&] { return where; }, pages, out);
    return out;
}

std::vector<Value> Decode_Row(const Table_Definition& table, const Live_Row& row, const std::string& where) {
    std::vector<Value> values;
    Decode_Row_Into(table, Row_Split(table), row, [&where] { return where; }, values);
    return values;
}

void Decode_Row_Into(const Table_Definition& table, const Row_Split& split, const Live_Row& row,
                     const std::function<std::string()>& where, std::vector<Value>& values) {
    using K = Value::Kind;
    thread_local std::vector<Field> fields;
    thread_local std::vector<std::size_t> var_offsets;
    Split_Row_Into(table, split, row.bytes, where, fields, var_offsets);
    values.resize(table.columns.size());
    for (Value& v : values) {
        v.kind = K::Null;
        v.integer = 0;
        v.real = 0;
        v.text.clear();
        v.bytes.clear();
    }
    std::span<const std::uint8_t> b = row.bytes;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Column& c = table.columns[i];
        const Field& f = fields[i];
        Value& v = values[i];
        if (f.null) continue;
        auto data = b.subspan(f.offset, f.length);
        auto need = [&](std::size_t n) {
            if (data.size() < n)
                throw Error(where() + ": column \"" + c.name + "\" holds " + std::to_string(data.size()) +
                            " bytes, too few for a " + Type_Name(c.type));
        };
        switch (c.type) {
            case format::Type_Boolean: v.kind = K::Boolean; v.integer = f.length; break;
            case format::Type_Byte: need(1); v.kind = K::Byte; v.integer = data[0]; break;
            case format::Type_Int16: need(2); v.kind = K::Int16; v.integer = static_cast<std::int16_t>(Get_U16(data, 0)); break;
            case format::Type_Int32: need(4); v.kind = K::Int32; v.integer = static_cast<std::int32_t>(Get_U32(data, 0)); break;
            case format::Type_Money: need(8); v.kind = K::Money; v.integer = static_cast<std::int64_t>(Get_U64(data, 0)); break;
            case format::Type_Float: need(4); v.kind = K::Float; v.real = Get_Float(data, 0); break;
            case format::Type_Double: need(8); v.kind = K::Double; v.real = Get_Double(data, 0); break;
            case format::Type_Datetime: need(8); v.kind = K::Datetime; v.real = Get_Double(data, 0); break;
            case format::Type_Guid: need(16); v.kind = K::Guid; v.text = Guid_Text(data); break;
            case format::Type_Numeric:
                need(17);
                v.kind = K::Numeric;
                v.bytes.assign(data.begin(), data.begin() + 17);
                v.text = Numeric_Text(data, c.scale);
                break;
            case format::Type_Text: v.kind = K::Text; v.text = Decode_Jet_Text(data); break;
            case format::Type_Binary: v.kind = K::Binary; v.bytes.assign(data.begin(), data.end()); break;
            case format::Type_Memo:
            case format::Type_Ole: {
                const Long_Value_Field* lv = nullptr;
                for (const auto& l : row.long_values)
                    if (l.column_number == c.number) lv = &l;
                std::vector<std::uint8_t> bytes;
                if (lv) Each_Span(*lv, [&](std::span<const std::uint8_t> s) { bytes.insert(bytes.end(), s.begin(), s.end()); });
                if (c.type == format::Type_Memo) {
                    v.kind = K::Memo;
                    v.text = Decode_Jet_Text(bytes);
                } else {
                    v.kind = K::Ole;
                    v.bytes = std::move(bytes);
                }
                break;
            }
            default:
                // A type this engine does not know: keep its bytes.
                v.kind = K::Binary;
                v.bytes.assign(data.begin(), data.end());
        }
    }
}

std::vector<std::uint32_t> Table_Data_Pages(const Page_File& file, const Table_Definition& table) {
    return Read_Usage_Map(file, table.owned_map, "the page map of table definition " + std::to_string(table.page))
        .Pages();
}

Row_Numbers Table_Row_Numbers(const Page_File& file, const Table_Definition& table) {
    Row_Numbers numbers;
    for (std::uint32_t page_number : Table_Data_Pages(file, table)) {
        if (file.Data_Page_Table(page_number) != table.page) continue;
        const Page_Ref page = file.Read(page_number);
        // Only whether each slot is deleted: whatever else is wrong with a row, reading it fails.
        const std::uint16_t count = Row_Count(file, page_number, *page);
        for (unsigned r = 0; r < count; ++r)
            if (!(Get_U16(*page, format::Data_Row_Table + 2 * r) & format::Row_Flag_Deleted))
                numbers.Add(Row_Pointer{page_number, static_cast<std::uint8_t>(r)});
    }
    return numbers;
}

bool Long_Value_Claims::Claim(Row_Pointer lval_row, Row_Pointer owner_row, std::uint16_t column) {
    const std::uint64_t key = (std::uint64_t{lval_row.page} << 8 | lval_row.row) + 1;  // never 0
    std::uint64_t owner = (std::uint64_t{owner_row.page} << 24 | std::uint64_t{owner_row.row} << 16 | column) *
                          0x9E3779B97F4A7C15ULL;
    owner = (owner ^ (owner >> 32)) & 0xFFFFFFFF;
    if (2 * (used_ + 1) > slots_.size()) Grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = (key * 0x9E3779B97F4A7C15ULL) >> 20 & mask;; i = (i + 1) & mask) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) {
            slots_[i] = key << 32 | owner;
            ++used_;
            return true;
        }
        if (slot >> 32 == key) return (slot & 0xFFFFFFFF) == owner;
    }
}

void Long_Value_Claims::Grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(1024, old.size() * 2), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint64_t slot : old) {
        if (slot == 0) continue;
        std::size_t i = ((slot >> 32) * 0x9E3779B97F4A7C15ULL) >> 20 & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

void Pieces_Cursor::Copy(std::span<std::uint8_t> out) {
    if (pieces_.empty()) {
        if (out.size() > copied_.size() - at_) throw Error("Internal error: a long value was copied past its end.");
        std::memcpy(out.data(), copied_.data() + at_, out.size());
        at_ += out.size();
        return;
    }
    while (!out.empty()) {
        if (piece_ == pieces_.size()) throw Error("Internal error: a long value was copied past its end.");
        const auto bytes = pieces_[piece_].bytes.subspan(at_);
        const std::size_t n = std::min(out.size(), bytes.size());
        std::memcpy(out.data(), bytes.data(), n);
        out = out.subspan(n);
        at_ += n;
        if (at_ == pieces_[piece_].bytes.size()) {
            ++piece_;
            at_ = 0;
        }
    }
}

void Table_Rows(const Page_File& file, const Table_Definition& table,
                const Live_Row_Visitor& visit, Long_Values long_values, Long_Value_Claims* claims) {
    constexpr int max_hops = 8;
    // One row, its fields and its values are reused from row to row.
    Live_Row row;
    std::vector<Field> fields;
    std::vector<std::size_t> var_offsets;
    const Row_Split split(table);
    std::vector<std::size_t> long_value_columns;  // in table.columns
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i].Is_Long_Value()) long_value_columns.push_back(i);
    Page_Ref overflow;  // the page an overflow row's bytes are on, held while they are copied
    for (std::uint32_t page_number : Table_Data_Pages(file, table)) {
        // Pages of other tables are passed over without reading them again.
        if (file.Data_Page_Table(page_number) != table.page) continue;
        Page_Ref page = file.Read(page_number);
        std::uint16_t count = Row_Count(file, page_number, *page);
        for (unsigned r = 0; r < count; ++r) {
            Row_Slot slot = Get_Row_Slot(file, page_number, *page, r);
            if (slot.deleted) continue;
            row.header = Row_Pointer{page_number, static_cast<std::uint8_t>(r)};
            const Page* holder = page.get();
            Row_Pointer at = row.header;
            for (int hop = 0; slot.overflow; ++hop) {
                if (slot.end - slot.start < 4)
                    file.Fail(at.page, "overflow row " + std::to_string(at.row) + " is too short for its pointer");
                Row_Pointer next = Get_Row_Pointer(*holder, slot.start);
                if (hop >= max_hops)
                    file.Fail(row.header.page, "row " + std::to_string(row.header.row) + " overflows in a loop");
                overflow = file.Read(next.page);
                holder = overflow.get();
                if ((*holder)[format::Page_Type] != format::Page_Type_Data || Get_U32(*holder, format::Data_Tdef_Page) != table.page)
                    file.Fail(row.header.page, "row " + std::to_string(row.header.row) + " overflows to page " +
                                                   std::to_string(next.page) + ", which is not a data page of its table");
                slot = Get_Row_Slot(file, next.page, *holder, next.row);
                at = next;
            }
            row.bytes.assign(holder->begin() + slot.start, holder->begin() + slot.end);
            overflow.reset();
            const Row_Pointer header = row.header;
            auto where = [&] { return Row_Name(file, header); };
            Split_Row_Into(table, split, row.bytes, where, fields, var_offsets);
            std::size_t values = 0;
            for (const std::size_t i : long_value_columns) {
                const Column& c = table.columns[i];
                if (fields[i].null) continue;
                if (values == row.long_values.size()) row.long_values.emplace_back();
                Long_Value_Field& lv = row.long_values[values++];
                lv.column_number = c.number;
                lv.definition_offset = static_cast<std::uint16_t>(fields[i].offset);
                auto field = std::span<const std::uint8_t>(row.bytes).subspan(fields[i].offset, fields[i].length);
                lv.storage = field.size() >= 4 ? static_cast<std::uint8_t>(field[format::Long_Value_Flags] & format::Long_Value_Storage_Mask) : 0;
                lv.length = field.size() >= 4 ? Get_U32(field, format::Long_Value_Length) & format::Long_Value_Length_Mask : 0;
                lv.pages.clear();
                lv.value.clear();
                lv.pieces.clear();
                lv.off_lval_pages = false;
                if (long_values == Long_Values::Skip) continue;
                Read_Long_Value_Into(
                    file, field, [&] { return where() + ", column \"" + c.name + "\""; }, &lv.pages, lv.value,
                    Value_Owner{claims, header, c.number}, &lv.off_lval_pages,
                    long_values == Long_Values::In_Place ? &lv.pieces : nullptr);
            }
            row.long_values.resize(values);
            visit(row);
        }
    }
}

}  // namespace kelbrook::jet
