#include "jet/file/Crypto.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

// The RC4 key schedule of `key` into `s`.
void Rc4_Schedule(std::span<const std::uint8_t> key, std::array<std::uint32_t, 256>& s) {
    for (std::uint32_t i = 0; i < 256; ++i) s[i] = i;
    std::uint32_t j = 0;
    std::size_t k = 0;  // i % key.size(), without a division a step
    for (std::uint32_t i = 0; i < 256; ++i) {
        const std::uint32_t t = s[i];
        j = (j + t + key[k]) & 0xFF;
        s[i] = s[j];
        s[j] = t;
        if (++k == key.size()) k = 0;
    }
}

// Rc4_Schedule of two keys at once: each step waits on the last, so two schedules side by
// side take little longer than one.
void Rc4_Schedule_Two(std::span<const std::uint8_t> key_a, std::array<std::uint32_t, 256>& sa,
                      std::span<const std::uint8_t> key_b, std::array<std::uint32_t, 256>& sb) {
    for (std::uint32_t i = 0; i < 256; ++i) sa[i] = sb[i] = i;
    std::uint32_t ja = 0, jb = 0;
    std::size_t ka = 0, kb = 0;
    for (std::uint32_t i = 0; i < 256; ++i) {
        const std::uint32_t ta = sa[i], tb = sb[i];
        ja = (ja + ta + key_a[ka]) & 0xFF;
        jb = (jb + tb + key_b[kb]) & 0xFF;
        sa[i] = sa[ja];
        sa[ja] = ta;
        sb[i] = sb[jb];
        sb[jb] = tb;
        if (++ka == key_a.size()) ka = 0;
        if (++kb == key_b.size()) kb = 0;
    }
}

// One step of the cipher on state `s`: the next keystream byte.
inline std::uint32_t Rc4_Step(std::array<std::uint32_t, 256>& s, std::uint32_t x, std::uint32_t& y) {
    const std::uint32_t sx = s[x];
    y = (y + sx) & 0xFF;
    const std::uint32_t sy = s[y];
    s[x] = sy;
    s[y] = sx;
    return s[(sx + sy) & 0xFF];  // below 256, as every value of the state
}

// XORs the 8 bytes at `p` with `stream` (byte k of the data with byte k of the word).
inline void Xor_Word(std::uint8_t* p, std::uint64_t stream) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        word ^= stream;
        std::memcpy(p, &word, 8);
    } else {
        for (unsigned k = 0; k < 8; ++k) p[k] ^= static_cast<std::uint8_t>(stream >> (8 * k));
    }
}

}  // namespace

// The keystream is made eight bytes at a time into a word, and the data XORed a word at
// a time: the state (words rather than bytes, which a load waits less for) is then the
// only memory each step touches. A page takes about a fifth less time so than XORed byte
// by byte, and two pages ciphered abreast about a quarter less.
void Rc4_Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    if (key.empty()) return;
    std::array<std::uint32_t, 256> s;
    Rc4_Schedule(key, s);
    std::uint32_t x = 0, y = 0;
    std::uint8_t* p = data.data();
    std::size_t n = 0;
    for (; n + 8 <= data.size(); n += 8) {
        std::uint64_t stream = 0;
        for (unsigned b = 0; b < 8; ++b) {
            x = (x + 1) & 0xFF;
            stream |= std::uint64_t{Rc4_Step(s, x, y)} << (8 * b);
        }
        Xor_Word(p + n, stream);
    }
    for (; n < data.size(); ++n) {
        x = (x + 1) & 0xFF;
        p[n] ^= static_cast<std::uint8_t>(Rc4_Step(s, x, y));
    }
}

void Rc4_Apply_Two(std::span<const std::uint8_t> key_a, std::span<std::uint8_t> a,
                   std::span<const std::uint8_t> key_b, std::span<std::uint8_t> b) {
    if (key_a.empty() || key_b.empty() || a.size() != b.size()) {
        Rc4_Apply(key_a, a);
        Rc4_Apply(key_b, b);
        return;
    }
    std::array<std::uint32_t, 256> sa, sb;
    Rc4_Schedule_Two(key_a, sa, key_b, sb);
    std::uint32_t x = 0, ya = 0, yb = 0;
    std::uint8_t* pa = a.data();
    std::uint8_t* pb = b.data();
    std::size_t n = 0;
    for (; n + 8 <= a.size(); n += 8) {
        std::uint64_t stream_a = 0, stream_b = 0;
        for (unsigned k = 0; k < 8; ++k) {
            x = (x + 1) & 0xFF;
            stream_a |= std::uint64_t{Rc4_Step(sa, x, ya)} << (8 * k);
            stream_b |= std::uint64_t{Rc4_Step(sb, x, yb)} << (8 * k);
        }
        Xor_Word(pa + n, stream_a);
        Xor_Word(pb + n, stream_b);
    }
    for (; n < a.size(); ++n) {
        x = (x + 1) & 0xFF;
        pa[n] ^= static_cast<std::uint8_t>(Rc4_Step(sa, x, ya));
        pb[n] ^= static_cast<std::uint8_t>(Rc4_Step(sb, x, yb));
    }
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
