#include "jet/file/Crypto.h"

#include <cmath>

#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Text.h"

namespace kelbrook::jet {

namespace {

// The RC4 key schedule of `key` into `s`.
void Rc4_Schedule(std::span<const std::uint8_t> key, std::array<std::uint32_t, 256>& s) {
    for (std::uint32_t i = 0; i < 256; ++i) s[i] = i;
    std::uint32_t j = 0;
    for (std::uint32_t i = 0; i < 256; ++i) {
        const std::uint32_t t = s[i];
        j = (j + t + key[i % key.size()]) & 0xFF;
        s[i] = s[j];
        s[j] = t;
    }
}

}  // namespace

void Rc4_Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data) {
    if (key.empty()) return;
    // Words rather than bytes in the state, and each step's s[x + 1] loaded before the
    // step's swap stores (then set right where the swap moved it): a load that waits on
    // the stores before it holds up every byte. A page takes 10-20% less time so.
    std::array<std::uint32_t, 256> s;
    Rc4_Schedule(key, s);
    std::uint32_t x = 1, y = 0, sx = s[1];
    for (auto& byte : data) {
        y = (y + sx) & 0xFF;
        const std::uint32_t sy = s[y];
        const std::uint32_t next = (x + 1) & 0xFF;
        const std::uint32_t s_next = s[next];
        s[x] = sy;
        s[y] = sx;
        byte ^= static_cast<std::uint8_t>(s[(sx + sy) & 0xFF]);
        if (next != y) sx = s_next;  // else s[next] is now the old sx, swapped there
        x = next;
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
    Rc4_Schedule(key_a, sa);
    Rc4_Schedule(key_b, sb);
    std::uint32_t x = 0, ya = 0, yb = 0;
    std::uint8_t* pa = a.data();
    std::uint8_t* pb = b.data();
    for (std::size_t n = 0; n < a.size(); ++n) {
        x = (x + 1) & 0xFF;
        const std::uint32_t xa = sa[x], xb = sb[x];
        ya = (ya + xa) & 0xFF;
        yb = (yb + xb) & 0xFF;
        const std::uint32_t y_a = sa[ya], y_b = sb[yb];
        sa[x] = y_a;
        sa[ya] = xa;
        sb[x] = y_b;
        sb[yb] = xb;
        pa[n] ^= static_cast<std::uint8_t>(sa[(xa + y_a) & 0xFF]);
        pb[n] ^= static_cast<std::uint8_t>(sb[(xb + y_b) & 0xFF]);
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
