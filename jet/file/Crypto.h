// The two ciphers of Jet 4.0 files, for reading and for writing (RC4 is its own inverse,
// so each routine both encodes and decodes):
//  - the header obfuscation: bytes 0x18..0x97 of page 0 are XORed with the RC4 keystream
//    of a fixed key (Apply_Header_Mask);
//  - page encoding of "encoded" databases: every page after page 0 is RC4-encrypted with
//    the 4 little-endian bytes of (database key XOR page number) (Apply_Page_Encoding);
//  - the database password: 40 bytes of UTF-16LE, XORed with the creation date truncated
//    to a 32-bit integer (Masked_Password / Unmask_Password).
// All routines work on caller-owned buffers and allocate nothing per page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "jet/file/Format.h"

namespace kelbrook::jet {

// XORs `data` with the RC4 keystream of `key` (1..256 bytes).
void Rc4_Apply(std::span<const std::uint8_t> key, std::span<std::uint8_t> data);

// As Rc4_Apply on `a` with `key_a` and on `b` with `key_b`, the two streams interleaved:
// one stream leaves the processor waiting on each step's loads, two keep it busier (about
// 1.5 times the bytes a second). Buffers of different lengths are done one after the other.
void Rc4_Apply_Two(std::span<const std::uint8_t> key_a, std::span<std::uint8_t> a,
                   std::span<const std::uint8_t> key_b, std::span<std::uint8_t> b);

// Toggles the header obfuscation of a page-0 buffer (raw <-> decoded). The buffer must
// hold at least Header_Mask_Start + Header_Mask_Size bytes.
void Apply_Header_Mask(std::span<std::uint8_t> page0);

// Toggles the page encoding of page `page_number` for database key `database_key`.
// Does nothing for page 0 or key 0.
void Apply_Page_Encoding(std::span<std::uint8_t> page, std::uint32_t database_key,
                         std::uint32_t page_number);

// As Apply_Page_Encoding on two pages at once (Rc4_Apply_Two).
void Apply_Page_Encoding_Two(std::span<std::uint8_t> a, std::uint32_t number_a, std::span<std::uint8_t> b,
                             std::uint32_t number_b, std::uint32_t database_key);

// The 4-byte password mask for a creation date (OLE automation days).
std::array<std::uint8_t, 4> Password_Mask(double creation_date);

// The 40 stored bytes for `password` (UTF-8, at most 20 UTF-16 units) on a database
// created at `creation_date`. An empty password gives the bare mask. Throws Error if the
// password is too long.
std::array<std::uint8_t, format::Header_Password_Size> Masked_Password(const std::string& password,
                                                                       double creation_date);

// The password (UTF-8) held by 40 stored bytes; empty when none is set.
std::string Unmask_Password(std::span<const std::uint8_t> stored, double creation_date);

// Writes the masked password into a decoded page-0 buffer, using the creation date held
// in that buffer.
void Set_Header_Password(std::span<std::uint8_t> decoded_page0, const std::string& password);

}  // namespace kelbrook::jet
