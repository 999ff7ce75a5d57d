#include "jet/file/Crypto.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

// RC4 on `N` streams abreast, each with its own key (1..256 bytes) and the same length:
// each step of a stream waits on its last, so streams side by side take little longer
// than one. The keystream is made eight bytes at a time into a word and the data XORed a
// word at a time: the state (words rather than bytes, which a load waits less for) is
// then the only memory each step touches. A page takes about a fifth less time so than
// XORed byte by byte, and two pages ciphered abreast about a quarter less.
template <std::size_t N>
void Rc4_Abreast(const std::array<std::span<const std::uint8_t>, N>& keys,
                 const std::array<std::uint8_t*, N>& data, std::size_t size) {
    std::array<std::array<std::uint32_t, 256>, N> s;
    std::array<std::uint32_t, N> j{};
    std::array<std::size_t, N> k{};  // i % the key's size, without a division a step
    for (auto& state : s)
        for (std::uint32_t i = 0; i < 256; ++i) state[i] = i;
    for (std::uint32_t i = 0; i < 256; ++i)
        for (std::size_t n = 0; n < N; ++n) {
            const std::uint32_t t = s[n][i];
            j[n] = (j[n] + t + keys[n][k[n]]) & 0xFF;
            s[n][i] = s[n][j[n]];
            s[n][j[n]] = t;
            if (++k[n] == keys[n].size()) k[n] = 0;
        }
    std::uint32_t x = 0;
    std::array<std::uint32_t, N> y{};
    auto step = [&](std::size_t n) -> std::uint32_t {  // stream n's next keystream byte
        auto& state = s[n];
        const std::uint32_t sx = state[x];
        y[n] = (y[n] + sx) & 0xFF;
        const std::uint32_t sy = state[y[n]];
        state[x] = sy;
        state[y[n]] = sx;
        return state[(sx + sy) & 0xFF];  // below 256, as every value of the state
    };
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::array<std::uint64_t, N> stream{};
        for (unsigned b = 0; b < 8; ++b) {
            x = (x + 1) & 0xFF;
            for (std::size_t n = 0; n < N; ++n) stream[n] |= std::uint64_t{step(n)} << (8 * b);
        }
        for (std::size_t n = 0; n < N; ++n) {
            std::uint8_t* p = data[n] + at;
            if constexpr (std::endian::native == std::endian::little) {
                std::uint64_t word;
                std::memcpy(&word, p, 8);
                word ^= stream[n];
                std::memcpy(p, &word, 8);
            } else {
                for (unsigned b = 0; b < 8; ++b) p[b] ^= static_cast<std::uint8_t>(stream[n] >> (8 * b));
            }
        }
    }
    for (; at < size; ++at) {
        x = (x + 1) & 0xFF;
        for (std::size_t n = 0; n < N; ++n) data[n][at] ^= static_cast<std::uint8_t>(step(n));
    }
}

}  // namespace

void Rc4_Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    if (key.empty()) return;
    Rc4_Abreast<1>({key}, {data.data()}, data.size());
}

void Rc4_Apply_Two(std::span<const std::uint8_t> key_a, std::span<std::uint8_t> a,
                   std::span<const std::uint8_t> key_b, std::span<std::uint8_t> b) {
    if (key_a.empty() || key_b.empty() || a.size() != b.size()) {
        Rc4_Apply(key_a, a);
        Rc4_Apply(key_b, b);
        return;
    }
    Rc4_Abreast<2>({key_a, key_b}, {a.data(), b.data()}, a.size());
}

void Apply_Header_Mask(std::span<std::uint8_t> page0) {
    if (page0.size() < format::Header_Mask_Start + format::Header_Mask_Size)
        throw Error("header buffer too short for the header obfuscation");
    Rc4_Apply(format::Header_Rc4_Key, page0.subspan(format::Header_Mask_Start, format::Header_Mask_Size));
}

void Apply_Page_Encoding(std::span<std::uint8_t> page, std::uint32_t database_key,
                         std::uint32_t page_number) {
    if (page_number == 0 || database_key == 0) return;
    std::array<std::uint8_t, 4> key{};
    Put_U32(key, 0, database_key ^ page_number);
    Rc4_Apply(key, page);
}

void Apply_Page_Encoding_Two(std::span<std::uint8_t> a, std::uint32_t number_a, std::span<std::uint8_t> b,
                             std::uint32_t number_b, std::uint32_t database_key) {
    if (number_a == 0 || number_b == 0 || database_key == 0) {
        Apply_Page_Encoding(a, database_key, number_a);
        Apply_Page_Encoding(b, database_key, number_b);
        return;
    }
    std::array<std::uint8_t, 4> key_a{}, key_b{};
    Put_U32(key_a, 0, database_key ^ number_a);
    Put_U32(key_b, 0, database_key ^ number_b);
    Rc4_Apply_Two(key_a, a, key_b, b);
}

std::array<std::uint8_t, 4> Password_Mask(double creation_date) {
    // Truncation toward zero to a 32-bit integer; out-of-range dates give 0.
    std::int32_t whole = 0;
    if (std::isfinite(creation_date) && creation_date > -2147483648.0 && creation_date < 2147483648.0)
        whole = static_cast<std::int32_t>(creation_date);
    std::array<std::uint8_t, 4> mask{};
    Put_U32(mask, 0, static_cast<std::uint32_t>(whole));
    return mask;
}

std::array<std::uint8_t, format::Header_Password_Size> Masked_Password(const std::string& password,
                                                                       double creation_date) {
    auto units = Utf8_To_Utf16le(password);
    if (units.size() > format::Header_Password_Size)
        throw Error("The password is longer than the 20 characters a Jet 4.0 database can hold.", Error_Kind::Unsupported);
    std::array<std::uint8_t, format::Header_Password_Size> out{};
    std::copy(units.begin(), units.end(), out.begin());
    auto mask = Password_Mask(creation_date);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= mask[i % 4];
    return out;
}

std::string Unmask_Password(std::span<const std::uint8_t> stored, double creation_date) {
    auto mask = Password_Mask(creation_date);
    std::vector<std::uint8_t> plain(stored.begin(), stored.end());
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] ^= mask[i % 4];
    std::size_t end = 0;
    while (end + 1 < plain.size() && (plain[end] != 0 || plain[end + 1] != 0)) end += 2;
    return Utf16le_To_Utf8(std::span(plain).first(end));
}

void Set_Header_Password(std::span<std::uint8_t> decoded_page0, const std::string& password) {
    if (decoded_page0.size() < format::Header_Password + format::Header_Password_Size ||
        decoded_page0.size() < format::Header_Creation_Date + 8)
        throw Error("header buffer too short for the password");
    double date = Get_Double(decoded_page0, format::Header_Creation_Date);
    auto bytes = Masked_Password(password, date);
    std::copy(bytes.begin(), bytes.end(), decoded_page0.begin() + format::Header_Password);
}

}  // namespace kelbrook::jet
