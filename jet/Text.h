// Text conversions of the engine: Jet stores text as UTF-16LE, or as "compressed unicode"
// (a leading FF FE, then runs of one-byte characters and, between 00 toggles, UTF-16LE
// runs). Programs talk UTF-8. Invalid UTF-16 (lone surrogates) becomes U+FFFD.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kelbrook::jet {

std::string Utf16le_To_Utf8(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> Utf8_To_Utf16le(const std::string& text);
// Stored text bytes (compressed or not) to UTF-8.
std::string Decode_Jet_Text(std::span<const std::uint8_t> bytes);

}  // namespace kelbrook::jet
