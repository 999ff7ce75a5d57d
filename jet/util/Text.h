// Text conversions of the engine: Jet stores text as UTF-16LE, or as "compressed unicode"
// (a leading FF FE, then runs of one-byte characters and, between 00 toggles, UTF-16LE
// runs). Programs talk UTF-8.
//
// UTF-8 from the caller is taken strictly: text that is malformed (a sequence cut short, a
// byte that does not continue one, an overlong form, a surrogate, a value beyond U+10FFFF)
// is refused with an Error of kind Unsupported, since the engine would otherwise store a
// guess. Stored UTF-16 is the database's own and is always shown: Access cuts text by
// UTF-16 units, so a stored text can end in half a surrogate pair; an unpaired surrogate
// reads as U+FFFD and a last odd byte is left out. The stored bytes themselves are never
// changed by this: compaction copies them as they are.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelbrook::jet {

std::u16string Utf8_To_Utf16(std::string_view text);
std::string Utf16_To_Utf8(std::u16string_view units);

std::string Utf16le_To_Utf8(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> Utf8_To_Utf16le(std::string_view text);
// Stored text bytes (compressed or not) to UTF-8.
std::string Decode_Jet_Text(std::span<const std::uint8_t> bytes);

// A path as UTF-8 text, for messages.
std::string Path_Text(const std::filesystem::path& path);

}  // namespace kelbrook::jet
