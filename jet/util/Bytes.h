// Little- and big-endian integer access on byte buffers, for reading and writing the
// on-disk structures. The unchecked Get_/Put_ forms expect the caller to have checked the
// bounds; Has_Range tells whether [offset, offset + size) lies inside a buffer without
// overflowing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kelbrook::jet {

inline bool Has_Range(std::size_t buffer_size, std::size_t offset, std::size_t size) {
    return offset <= buffer_size && size <= buffer_size - offset;
}

inline std::uint16_t Get_U16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t Get_U24(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16);
}
inline std::uint32_t Get_U32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint64_t Get_U64(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint64_t>(Get_U32(b, at)) |
           (static_cast<std::uint64_t>(Get_U32(b, at + 4)) << 32);
}
inline std::uint32_t Get_U32_Big(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}
inline std::uint32_t Get_U24_Big(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 16) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           static_cast<std::uint32_t>(b[at + 2]);
}
inline double Get_Double(std::span<const std::uint8_t> b, std::size_t at) {
    std::uint64_t bits = Get_U64(b, at);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
inline float Get_Float(std::span<const std::uint8_t> b, std::size_t at) {
    std::uint32_t bits = Get_U32(b, at);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline void Put_U16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put_U24(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
}
inline void Put_U32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    Put_U16(b, at, static_cast<std::uint16_t>(v));
    Put_U16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void Put_U32_Big(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 24);
    b[at + 1] = static_cast<std::uint8_t>(v >> 16);
    b[at + 2] = static_cast<std::uint8_t>(v >> 8);
    b[at + 3] = static_cast<std::uint8_t>(v);
}

// A row pointer as stored in tdefs, rows and long-value definitions: row byte, then a
// 3-byte little-endian page.
struct Row_Pointer {
    std::uint32_t page = 0;
    std::uint8_t row = 0;
    friend bool operator==(const Row_Pointer&, const Row_Pointer&) = default;
    friend auto operator<=>(const Row_Pointer&, const Row_Pointer&) = default;
};
inline Row_Pointer Get_Row_Pointer(std::span<const std::uint8_t> b, std::size_t at) {
    return Row_Pointer{Get_U24(b, at + 1), b[at]};
}
inline void Put_Row_Pointer(std::span<std::uint8_t> b, std::size_t at, Row_Pointer p) {
    b[at] = p.row;
    Put_U24(b, at + 1, p.page);
}

}  // namespace kelbrook::jet
