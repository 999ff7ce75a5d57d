#include "jet/Key_Encoding.h"

#include <array>
#include <cstring>

#include "jet/Error.h"

namespace kelbrook::jet {

namespace {

namespace f = format;


// General (legacy) sort codes of the characters we index; 0 = not settled. Upper and
// lower case share a code (the order ignores case). Taken from index entries Access wrote.
constexpr std::array<std::uint8_t, 128> Text_Codes = [] {
    std::array<std::uint8_t, 128> codes{};
    codes[' '] = 0x07;
    for (int d = 0; d <= 9; ++d) codes['0' + d] = static_cast<std::uint8_t>(0x36 + 2 * d);
    const char letters[] = "abcdefghijklmnopqrstuvwxy";
    const std::uint8_t letter_codes[] = {0x4A, 0x4C, 0x4D, 0x4F, 0x51, 0x53, 0x55, 0x57, 0x59,
                                         0x5B, 0x5C, 0x5E, 0x60, 0x62, 0x64, 0x66, 0x68, 0x69,
                                         0x6B, 0x6D, 0x6F, 0x71, 0x73, 0x75, 0x76};
    for (std::size_t i = 0; i + 1 < sizeof letters; ++i) {
        codes[static_cast<std::size_t>(letters[i])] = letter_codes[i];
        codes[static_cast<std::size_t>(letters[i] - 'a' + 'A')] = letter_codes[i];
    }
    return codes;
}();

void Append_Big(std::vector<std::uint8_t>& key, std::uint64_t v, std::size_t size) {
    for (std::size_t i = size; i-- > 0;) key.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::int64_t Integer(const Field_Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    throw Error("index key: expected an integer value");
}

double Real(const Field_Value& v) {
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    throw Error("index key: expected a number");
}

}  // namespace

bool Text_Is_Indexable(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= Text_Codes.size() || Text_Codes[u] == 0) return false;
    }
    return true;
}

void Append_Key_Part(std::vector<std::uint8_t>& key, std::uint8_t column_type, const Field_Value& value,
                     bool ascending) {
    if (column_type == f::Type_Boolean) {
        const auto* b = std::get_if<bool>(&value);
        bool truth = b != nullptr && *b;
        key.push_back(ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending);
        std::uint8_t code = truth ? f::Bool_Key_True : f::Bool_Key_False;
        key.push_back(ascending ? code : static_cast<std::uint8_t>(~code));
        return;
    }
    if (Is_Null(value)) {
        key.push_back(ascending ? f::Key_Null_Ascending : f::Key_Null_Descending);
        return;
    }
    key.push_back(ascending ? f::Key_Flag_Ascending : f::Key_Flag_Descending);
    const std::size_t start = key.size();
    switch (column_type) {
        case f::Type_Byte: key.push_back(static_cast<std::uint8_t>(Integer(value))); break;
        case f::Type_Int16:
            Append_Big(key, static_cast<std::uint16_t>(Integer(value)) ^ 0x8000u, 2);
            break;
        case f::Type_Int32:
            Append_Big(key, static_cast<std::uint32_t>(Integer(value)) ^ 0x80000000u, 4);
            break;
        case f::Type_Money:
            Append_Big(key, static_cast<std::uint64_t>(Integer(value)) ^ 0x8000000000000000ull, 8);
            break;
        case f::Type_Float: {
            float x = static_cast<float>(Real(value));
            std::uint32_t bits;
            std::memcpy(&bits, &x, 4);
            bits = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
            Append_Big(key, bits, 4);
            break;
        }
        case f::Type_Double:
        case f::Type_Datetime: {
            double x = Real(value);
            std::uint64_t bits;
            std::memcpy(&bits, &x, 8);
            bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
            Append_Big(key, bits, 8);
            break;
        }
        case f::Type_Text: {
            const auto* s = std::get_if<std::string>(&value);
            if (s == nullptr) throw Error("index key: expected text");
            if (!Text_Is_Indexable(*s))
                throw Error("index key: no General sort code known for a character of \"" + *s + "\"");
            for (char c : *s) key.push_back(Text_Codes[static_cast<unsigned char>(c)]);
            key.push_back(f::Text_Key_End);
            key.push_back(f::Text_Key_Extra_End);
            break;
        }
        default:
            throw Error("index key: columns of type " + std::to_string(column_type) + " are not indexed here");
    }
    if (!ascending)
        for (std::size_t i = start; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(~key[i]);
}

std::vector<std::uint8_t> Encode_Index_Key(const Table_Layout& table, const Index_Layout& index,
                                           const std::vector<Field_Value>& values) {
    std::vector<std::uint8_t> key;
    for (const auto& [number, ascending] : index.columns) {
        if (number >= table.columns.size() || number >= values.size())
            throw Error("table " + table.name + ": index names column " + std::to_string(number) +
                        ", which does not exist");
        Append_Key_Part(key, table.columns[number].type, values[number], ascending);
    }
    return key;
}

bool Index_Skips_Row(const Table_Layout& table, const Index_Layout& index, const std::vector<Field_Value>& values) {
    if ((index.flags & f::Index_Flag_Ignore_Nulls) == 0) return false;
    for (const auto& column : index.columns) {
        if (table.columns[column.first].type == f::Type_Boolean) return false;
        if (!Is_Null(values[column.first])) return false;
    }
    return true;
}

}  // namespace kelbrook::jet
