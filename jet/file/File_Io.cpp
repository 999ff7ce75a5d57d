#include "jet/file/File_Io.h"

#include <cstring>

#include "jet/util/Error.h"

namespace kelbrook::jet {

void Read_File::Read_Scattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces) const {
    for (const auto& piece : pieces) {
        if (piece.empty()) continue;  // an empty piece may have no memory at all
        const auto bytes = Read_Exactly(*this, offset, piece.size(), piece.data());
        if (bytes.data() != piece.data()) std::memcpy(piece.data(), bytes.data(), piece.size());
        offset += piece.size();
    }
}

std::span<const std::uint8_t> Read_Exactly(const Read_File& file, std::uint64_t offset, std::size_t count,
                                           std::uint8_t* scratch) {
    const auto bytes = file.Read(offset, count, scratch);
    if (bytes.size() != count)
        throw Error(file.Name() + ": only " + std::to_string(bytes.size()) + " of " + std::to_string(count) +
                        " bytes at byte " + std::to_string(offset) + " could be read",
                    Error_Kind::IO);
    return bytes;
}

std::string Disk_Full_Message(const std::string& name) {
    return "Could not write '" + name + "': the disk is full. Free some space and try again.";
}

}  // namespace kelbrook::jet
