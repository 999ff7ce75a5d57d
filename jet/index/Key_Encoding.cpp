#include "jet/index/Key_Encoding.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

namespace f = format;

// ---- The General order's character codes ------------------------------------------------

// How a character enters a text key (docs/jet4-index-keys.md).
enum class Code_Kind : std::uint8_t {
    Plain,     // its code only
    Accented,  // its code, and an accent code after the text
    Control,   // no code; a positioned control entry after the text
    Modifier,  // no code; added to the last accent code
    Flagged,   // its code, an optional accent code and a two-bit flag
    Ignored,   // nothing at all
};

// Consecutive characters of one kind whose codes step by a constant.
struct Code_Run {
    char16_t first;
    std::uint16_t count;
    Code_Kind kind;
    std::uint8_t code_size;   // bytes of the code (big-endian)
    std::int16_t step;        // code of character first + i = code + step * i
    std::uint32_t code;
    std::uint8_t extra_size;  // bytes of `extra`
    std::uint16_t extra;      // accent code, control code or modifier
    std::uint8_t flag;        // Flagged: 1 or 0
};

constexpr Code_Run General_Runs[] = {
#include "jet/index/General_Sort_Order.inc"
};

constexpr bool Runs_Cover_The_Plane() {
    std::uint32_t next = 0;
    for (const auto& r : General_Runs) {
        if (r.first != next || r.count == 0) return false;
        next = r.first + r.count;
        if (next == 0xD800) next = 0xE000;  // surrogates are computed, not listed
    }
    return next == 0x10000;
}
static_assert(Runs_Cover_The_Plane(), "the General sort order table must list every character once, in order");

struct Char_Code {
    Code_Kind kind = Code_Kind::Ignored;
    std::uint8_t code_size = 0;
    std::uint32_t code = 0;
    std::uint8_t extra_size = 0;
    std::uint16_t extra = 0;
    std::uint8_t flag = 0;
};

// Halves of surrogate pairs get computed codes and the accent code 3F.
Char_Code Surrogate_Code(char16_t c) {
    std::uint32_t base;
    if (c < 0xDC00) {
        base = 10238;
    } else {
        const std::uint32_t in_block = (c - 0xDC00u) % 1024u;
        base = in_block < 8 ? 9992 : in_block < 262 ? 9990 : in_block < 516 ? 9988 : in_block < 770 ? 9986 : 9984;
    }
    return Char_Code{Code_Kind::Accented, 2, c - base, 1, f::Text_Key_Surrogate_Accent, 0};
}

Char_Code Search_Runs(char16_t c) {
    const auto* run = std::upper_bound(std::begin(General_Runs), std::end(General_Runs), c,
                                       [](char16_t ch, const Code_Run& r) { return ch < r.first; }) -
                      1;
    const auto offset = static_cast<std::int64_t>(c - run->first);
    return Char_Code{run->kind, run->code_size, static_cast<std::uint32_t>(run->code + run->step * offset),
                     run->extra_size, run->extra, run->flag};
}

Char_Code Lookup(char16_t c) {
    // Most text is Latin: its codes are looked up once.
    static const std::array<Char_Code, 256> latin = [] {
        std::array<Char_Code, 256> codes{};
        for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = Search_Runs(static_cast<char16_t>(i));
        return codes;
    }();
    if (c < latin.size()) return latin[c];
    if (c >= 0xD800 && c <= 0xDFFF) return Surrogate_Code(c);
    return Search_Runs(c);
}

void Append_Big(std::vector<std::uint8_t>& key, std::uint64_t v, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) key.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Invert_From(std::vector<std::uint8_t>& key, std::size_t start) {
    for (std::size_t i = start; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(~key[i]);
}

// What follows a text's codes: accent codes, two-bit flags and control entries.
class Text_Extras {
public:
    void Accent(std::size_t position, const Char_Code& c) {
        if (c.extra_size == 0 || (c.kind == Code_Kind::Modifier && c.extra == 0)) return;
        started_ = true;
        if (accent_chars_ < position) {
            accents_.insert(accents_.end(), position - accent_chars_, f::Text_Key_No_Accent);
            accent_chars_ = position;
        }
        if (c.kind != Code_Kind::Modifier) {
            Append_Big(accents_, c.extra, c.extra_size);
            ++accent_chars_;
        } else if (!accents_.empty()) {
            accents_.back() = static_cast<std::uint8_t>(accents_.back() + c.extra);
        } else {
            accents_.push_back(static_cast<std::uint8_t>(c.extra));
            lead_ = 1;
        }
    }
    void Control(std::size_t position, const Char_Code& c) {
        // Positions count accent bytes still to come as well as those written, less a
        // leading modifier.
        const std::size_t at = started_ ? accents_.size() + (position - accent_chars_) - lead_ : position;
        const auto mark = static_cast<std::uint16_t>((f::Text_Key_Control_Base + f::Text_Key_Control_Step * at) |
                                                     f::Text_Key_Control_Bit);
        Append_Big(controls_, mark, 2);
        controls_.push_back(f::Text_Key_Control_Mark);
        Append_Big(controls_, c.extra, c.extra_size);
        has_controls_ = true;
    }
    void Flag(const Char_Code& c) {
        flags_.push_back(c.flag == 1 ? f::Text_Key_Flag_One : f::Text_Key_Flag_Other);
        has_flags_ = true;
    }
    void Finish(std::vector<std::uint8_t>& key) {
        while (!accents_.empty() && accents_.back() <= f::Text_Key_No_Accent) accents_.pop_back();
        key.insert(key.end(), accents_.begin(), accents_.end());
        if (!has_flags_ && !has_controls_) return;
        key.push_back(f::Text_Key_End);
        key.push_back(f::Text_Key_End);
        if (has_flags_) {
            while (!flags_.empty() && flags_.back() == f::Text_Key_Flag_Other) flags_.pop_back();
            for (std::size_t i = 0; i < flags_.size(); i += 3) {
                std::uint8_t packed = f::Text_Key_Flags_Start;
                for (std::size_t j = 0; j < 3 && i + j < flags_.size(); ++j)
                    packed = static_cast<std::uint8_t>(packed | (flags_[i + j] << (2 * (2 - j))));
                key.push_back(packed);
            }
            key.insert(key.end(), f::Text_Key_Flags_End.begin(), f::Text_Key_Flags_End.end());
            if (has_controls_) key.push_back(f::Text_Key_Flags_Then_Controls);
        }
        if (has_controls_) {
            key.push_back(f::Text_Key_End);
            key.insert(key.end(), controls_.begin(), controls_.end());
        }
    }

private:
    std::vector<std::uint8_t> accents_, controls_, flags_;
    std::size_t accent_chars_ = 0;  // characters the accent codes account for
    std::size_t lead_ = 0;          // 1 when a modifier opened the accent codes
    bool started_ = false, has_controls_ = false, has_flags_ = false;
};

// ---- Numbers ---------------------------------------------------------------------------

void Append_Signed(std::vector<std::uint8_t>& key, std::int64_t v, std::size_t size, bool ascending) {
    const std::size_t start = key.size();
    Append_Big(key, static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << (8 * size - 1)), size);
    if (!ascending) Invert_From(key, start);
}

void Append_Real_Bits(std::vector<std::uint8_t>& key, std::uint64_t bits, std::size_t size, bool ascending) {
    const std::uint64_t sign = std::uint64_t{1} << (8 * size - 1);
    const std::uint64_t mask = size == 8 ? ~std::uint64_t{0} : (sign << 1) - 1;
    bits = (bits & sign) ? (~bits & mask) : (bits | sign);
    const std::size_t start = key.size();
    Append_Big(key, bits, size);
    if (!ascending) Invert_From(key, start);
}

void Append_Real(std::vector<std::uint8_t>& key, std::uint8_t type, double value, bool ascending) {
    if (type == f::Type_Float) {
        const auto x = static_cast<float>(value);
        std::uint32_t bits;
        std::memcpy(&bits, &x, 4);
        Append_Real_Bits(key, bits, 4, ascending);
    } else {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        Append_Real_Bits(key, bits, 8, ascending);
    }
}

// `magnitude`: 16 bytes big-endian.
void Append_Numeric(std::vector<std::uint8_t>& key, bool negative, std::span<const std::uint8_t, 16> magnitude,
                    bool ascending) {
    const std::size_t start = key.size();
    key.push_back(negative ? f::Numeric_Negative : 0);
    key.insert(key.end(), magnitude.begin(), magnitude.end());
    if (negative == ascending) Invert_From(key, start);
    key[start] = negative ? f::Numeric_Key_Negative : f::Numeric_Key_Positive;
}

std::size_t Integer_Size(std::uint8_t type) {
    const bool integer = type == f::Type_Byte || type == f::Type_Int16 || type == f::Type_Int32 || type == f::Type_Money;
    return integer ? Fixed_Column_Size(type) : 0;
}

void Append_Integer(std::vector<std::uint8_t>& key, std::uint8_t type, std::int64_t v, bool ascending) {
    if (type != f::Type_Byte) return Append_Signed(key, v, Integer_Size(type), ascending);
    key.push_back(static_cast<std::uint8_t>(ascending ? v : ~v));  // bytes are unsigned: as they are
}

// A GUID's 16 bytes in key order from its text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::array<std::uint8_t, 16> Guid_From_Text(std::string_view text) {
    std::array<std::uint8_t, 16> out{};
    std::size_t n = 0;
    int half = -1;
    for (char ch : text) {
        int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
        if (d < 0) continue;
        if (n == 16) throw Error("index key: \"" + std::string(text) + "\" is not a GUID", Error_Kind::Unsupported);
        if (half < 0) half = d;
        else {
            out[n++] = static_cast<std::uint8_t>(half << 4 | d);
            half = -1;
        }
    }
    if (n != 16) throw Error("index key: \"" + std::string(text) + "\" is not a GUID", Error_Kind::Unsupported);
    return out;
}

// A GUID's 16 bytes in key order from its stored form (first three fields little-endian).
std::array<std::uint8_t, 16> Guid_From_Stored(std::span<const std::uint8_t> b) {
    if (b.size() != 16) throw Error("index key: a GUID needs 16 bytes, not " + std::to_string(b.size()));
    return {b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
}

bool Is_Text_Type(std::uint8_t type) { return type == f::Type_Text || type == f::Type_Memo; }

bool Is_Indexable_Type(std::uint8_t type) {
    return type == f::Type_Boolean || Integer_Size(type) != 0 || type == f::Type_Float || type == f::Type_Double ||
           type == f::Type_Datetime || type == f::Type_Numeric || type == f::Type_Guid || type == f::Type_Binary ||
           Is_Text_Type(type);
}

std::u16string To_Utf16(const std::string& utf8) {
    const std::vector<std::uint8_t> bytes = Utf8_To_Utf16le(utf8);
    std::u16string out(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

[[noreturn]] void Wrong_Kind(std::uint8_t type) {
    throw Error("index key: the value does not fit a " + Type_Name(type) + " column");
}

}  // namespace

// ---- Value parts -------------------------------------------------------------------------

void Append_Text_Key(std::vector<std::uint8_t>& key, std::u16string_view text, bool ascending) {
    text = text.substr(0, f::Text_Key_Max_Chars);
    while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
    const std::size_t start = key.size();
    Text_Extras extras;
    std::size_t position = 0;  // characters with a code so far
    for (char16_t ch : text) {
        const Char_Code c = Lookup(ch);
        const std::size_t at = position;
        if (c.kind == Code_Kind::Plain || c.kind == Code_Kind::Accented || c.kind == Code_Kind::Flagged) {
            Append_Big(key, c.code, c.code_size);
            ++position;
        }
        switch (c.kind) {
            case Code_Kind::Accented:
            case Code_Kind::Modifier: extras.Accent(at, c); break;
            case Code_Kind::Control: extras.Control(at, c); break;
            case Code_Kind::Flagged:
                extras.Accent(at, c);
                extras.Flag(c);
                break;
            case Code_Kind::Plain:
            case Code_Kind::Ignored: break;
        }
    }
    key.push_back(f::Text_Key_End);
    extras.Finish(key);
    if (!ascending) {
        key.push_back(f::Text_Key_Extra_End);
        Invert_From(key, start);
    }
    key.push_back(f::Text_Key_Extra_End);
}

void Append_Binary_Key(std::vector<std::uint8_t>& key, std::span<const std::uint8_t> bytes, bool ascending) {
    const std::size_t group = f::Binary_Key_Group;
    for (std::size_t at = 0; at < bytes.size(); at += group) {
        const std::size_t used = std::min(group, bytes.size() - at);
        const std::size_t start = key.size();
        key.insert(key.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + used));
        key.insert(key.end(), group - used, 0);
        const bool last = at + used == bytes.size();
        if (last) key.push_back(static_cast<std::uint8_t>(used));
        if (!ascending) Invert_From(key, start);  // the 9 between groups stays as it is
        if (!last) key.push_back(f::Binary_Key_More);
    }
}

// ---- Sort orders -------------------------------------------------------------------------

Sort_Order Column_Sort_Order(const Table_Definition& table, const Column& column, const Database_Header& header) {
    if (column.sort_order == 0) return Sort_Order{header.sort_order, header.sort_order_version};
    const std::size_t at = column.block_offset + f::Column_Sort_Version;
    if (at >= table.bytes.size()) throw Error("table definition " + std::to_string(table.page) + ": column \"" +
                                              column.name + "\" runs past the definition");
    return Sort_Order{column.sort_order, table.bytes[at]};
}

bool Is_General(Sort_Order order) {
    return order.lcid == f::General_Sort_Lcid && order.version == f::General_Sort_Version;
}

std::string Describe(Sort_Order order) {
    return std::to_string(order.lcid) + " version " + std::to_string(order.version);
}

// ---- Whole keys of a database's indexes ----------------------------------------------------

Index_Key_Encoder::Index_Key_Encoder(const Table_Definition& table, const Real_Index& index,
                                     const Database_Header& header)
    : ignore_nulls_(index.Ignore_Nulls()) {
    // Every column is kept (Skips() needs them all); the first obstacle is remembered.
    auto obstacle = [this](std::string why) {
        if (obstacle_.empty()) obstacle_ = std::move(why);
    };
    for (const auto& ic : index.columns) {
        const Column* column = table.Find_Column(ic.column_number);
        if (column == nullptr) {
            obstacle("the index names column " + std::to_string(ic.column_number) + ", which the table lacks");
            columns_known_ = false;
            continue;
        }
        if (!Is_Indexable_Type(column->type))
            obstacle("column \"" + column->name + "\" is of type " + Type_Name(column->type) +
                     ", whose keys this engine does not build");
        if (Is_Text_Type(column->type)) {
            const Sort_Order order = Column_Sort_Order(table, *column, header);
            if (!Is_General(order))
                obstacle("column \"" + column->name + "\" is text in sort order " + Describe(order) +
                         ", whose keys this engine does not build (only General, 1033 version 0)");
        }
        parts_.push_back(Part{static_cast<std::size_t>(column - table.columns.data()), column->type, ic.Ascending()});
    }
}

bool Index_Key_Encoder::Encode(const std::vector<Value>& values, std::vector<std::uint8_t>& key) const {
    key.clear();
    if (!Encodable()) return false;
    for (const auto& p : parts_) {
        if (p.position >= values.size()) throw Error("index key: the row has fewer values than the table has columns", Error_Kind::Unsupported);
        Append_Key_Part(key, p.type, values[p.position], p.ascending);
    }
    return true;
}

bool Index_Key_Encoder::Skips(const std::vector<Value>& values) const {
    if (!ignore_nulls_ || !columns_known_) return false;
    for (const auto& p : parts_)
        if (p.type == f::Type_Boolean || (p.position < values.size() && !values[p.position].Is_Null())) return false;
    return true;
}

std::optional<std::vector<std::uint8_t>> Encode_Index_Key(const Table_Definition& table, const Real_Index& index,
                                                          const std::vector<Value>& values,
                                                          const Database_Header& header) {
    const Index_Key_Encoder encoder(table, index, header);
    std::vector<std::uint8_t> key;
    if (!encoder.Encode(values, key)) return std::nullopt;
    return key;
}

void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Value& value, bool ascending) {
    using K = Value::Kind;
    const std::uint8_t flag = ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending;
    if (column_type == f::Type_Boolean) {
        const bool truth = !value.Is_Null() && value.integer != 0;
        key.push_back(flag);
        key.push_back((truth == ascending) ? f::Bool_Key_True : f::Bool_Key_False);
        return;
    }
    if (value.Is_Null()) {
        key.push_back(ascending ? f::Key_Null_Ascending : f::Key_Null_Descending);
        return;
    }
    key.push_back(flag);
    if (Integer_Size(column_type) != 0) return Append_Integer(key, column_type, value.integer, ascending);
    switch (column_type) {
        case f::Type_Float:
        case f::Type_Double:
        case f::Type_Datetime: return Append_Real(key, column_type, value.real, ascending);
        case f::Type_Numeric: {
            if (value.kind != K::Numeric || value.bytes.size() != Fixed_Column_Size(f::Type_Numeric)) Wrong_Kind(column_type);
            // Each little-endian group of the stored magnitude, big-endian.
            std::array<std::uint8_t, f::Numeric_Magnitude_Size> magnitude{};
            const std::size_t g = f::Numeric_Group_Size;
            for (std::size_t w = 0; w < f::Numeric_Magnitude_Size / g; ++w)
                for (std::size_t i = 0; i < g; ++i) magnitude[g * w + i] = value.bytes[f::Numeric_Magnitude + g * w + g - 1 - i];
            return Append_Numeric(key, (value.bytes[f::Numeric_Sign] & f::Numeric_Negative) != 0, magnitude, ascending);
        }
        case f::Type_Guid: return Append_Binary_Key(key, Guid_From_Text(value.text), ascending);
        case f::Type_Binary: return Append_Binary_Key(key, value.bytes, ascending);
        case f::Type_Text:
        case f::Type_Memo:
            if (value.kind != K::Text && value.kind != K::Memo) Wrong_Kind(column_type);
            return Append_Text_Key(key, To_Utf16(value.text), ascending);
        default: throw Error("index key: columns of type " + Type_Name(column_type) + " are not indexed", Error_Kind::Unsupported);
    }
}

// ---- Keys of databases we build ------------------------------------------------------------

void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Field_Value& value,
                     bool ascending) {
    const std::uint8_t flag = ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending;
    if (column_type == f::Type_Boolean) {
        const auto* b = std::get_if<bool>(&value);
        const bool truth = b != nullptr && *b;
        key.push_back(flag);
        key.push_back((truth == ascending) ? f::Bool_Key_True : f::Bool_Key_False);
        return;
    }
    if (Is_Null(value)) {
        key.push_back(ascending ? f::Key_Null_Ascending : f::Key_Null_Descending);
        return;
    }
    key.push_back(flag);
    const auto* integer = std::get_if<std::int64_t>(&value);
    const auto* real = std::get_if<double>(&value);
    const auto* text = std::get_if<std::string>(&value);
    const auto* bytes = std::get_if<Byte_Vector>(&value);
    if (Integer_Size(column_type) != 0) {
        if (integer == nullptr) Wrong_Kind(column_type);
        return Append_Integer(key, column_type, *integer, ascending);
    }
    switch (column_type) {
        case f::Type_Float:
        case f::Type_Double:
        case f::Type_Datetime:
            if (real == nullptr && integer == nullptr) Wrong_Kind(column_type);
            return Append_Real(key, column_type, real ? *real : static_cast<double>(*integer), ascending);
        case f::Type_Numeric: {
            if (integer == nullptr) Wrong_Kind(column_type);
            const bool negative = *integer < 0;
            const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(*integer) : static_cast<std::uint64_t>(*integer);
            std::array<std::uint8_t, 16> magnitude{};
            for (std::size_t i = 0; i < 8; ++i) magnitude[15 - i] = static_cast<std::uint8_t>(m >> (8 * i));
            return Append_Numeric(key, negative, magnitude, ascending);
        }
        case f::Type_Guid:
            if (bytes == nullptr) Wrong_Kind(column_type);
            return Append_Binary_Key(key, Guid_From_Stored(*bytes), ascending);
        case f::Type_Binary:
            if (bytes == nullptr) Wrong_Kind(column_type);
            return Append_Binary_Key(key, *bytes, ascending);
        case f::Type_Text:
        case f::Type_Memo:
            if (text == nullptr) Wrong_Kind(column_type);
            return Append_Text_Key(key, To_Utf16(*text), ascending);
        default: throw Error("index key: columns of type " + Type_Name(column_type) + " are not indexed", Error_Kind::Unsupported);
    }
}

std::vector<std::uint8_t> Encode_Index_Key(const Table_Layout& table, const Index_Layout& index,
                                           const std::vector<Field_Value>& values) {
    std::vector<std::uint8_t> key;
    for (const auto& [number, ascending] : index.columns) {
        if (number >= table.columns.size() || number >= values.size())
            throw Error("table " + table.name + ": index names column " + std::to_string(number) +
                        ", which does not exist", Error_Kind::Unsupported);
        Append_Key_Part(key, table.columns[number].type, values[number], ascending);
    }
    return key;
}

bool Text_Is_Indexable(std::string_view text) {
    try {
        const std::string utf8(text);
        return Utf16le_To_Utf8(Utf8_To_Utf16le(utf8)) == utf8;  // nothing replaced: valid UTF-8
    } catch (const Error&) {
        return false;
    }
}

bool Index_Skips_Row(const Table_Layout& table, const Index_Layout& index, const std::vector<Field_Value>& values) {
    if ((index.flags & f::Index_Flag_Ignore_Nulls) == 0) return false;
    for (const auto& column : index.columns) {
        if (table.columns[column.first].type == f::Type_Boolean) return false;
        if (!Is_Null(values[column.first])) return false;
    }
    return true;
}

void Encode_Int32_Key(std::uint8_t* at, std::int32_t value, bool ascending) {
    std::vector<std::uint8_t> key;
    key.reserve(f::Int32_Key_Size);
    key.push_back(ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending);
    Append_Signed(key, value, f::Int32_Key_Size - 1, ascending);
    std::copy(key.begin(), key.end(), at);
}

bool Replace_Leading_Int32(std::vector<std::uint8_t>& key, std::int32_t value) {
    if (key.size() < f::Int32_Key_Size) return false;
    if (key[0] != f::Key_Flag_Ascending && key[0] != f::Key_Flag_Descending) return false;
    Encode_Int32_Key(key.data(), value, key[0] == f::Key_Flag_Ascending);
    return true;
}

namespace {

// Multiply and xor-shift, a word of `bytes` at a time (the length first, so that keys that
// differ only by trailing zero bytes differ), from `h`.
std::uint64_t Hash_Words(std::uint64_t h, std::span<const std::uint8_t> bytes) {
    auto step = [](std::uint64_t x, std::uint64_t w) {
        x = (x ^ w) * 0x9E3779B97F4A7C15ULL;
        return x ^ (x >> 29);
    };
    h = step(h, bytes.size());
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = step(h, w);
    }
    if (n > 0) {
        std::uint64_t w = 0;
        for (std::size_t k = 0; k < n; ++k) w |= std::uint64_t{p[k]} << (8 * k);
        h = step(h, w);
    }
    return h;
}

constexpr std::uint64_t Key_Hash_Seed = 0x4B454C42ULL;

}  // namespace

std::uint32_t Index_Key_Hash(std::span<const std::uint8_t> key) {
    const std::uint64_t h = Hash_Words(Key_Hash_Seed, key) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<std::uint32_t>(h >> 32) | 1u;
}

std::uint64_t Index_Entry_Digest(std::uint32_t row, std::span<const std::uint8_t> key) {
    std::uint64_t x = Hash_Words(Key_Hash_Seed ^ (std::uint64_t{row} << 32), key);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace kelbrook::jet
