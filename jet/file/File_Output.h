// Writing whole files safely: created exclusively (an existing file is never overwritten),
// written in full, flushed to the disk, and removed again when anything fails. Also the
// temporary names and the rename that never replaces, with which the compactor puts a
// finished file in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelbrook::jet {

// The path as UTF-8 text for messages.
std::string Path_Text(const std::filesystem::path& path);

class Output_File {
public:
    // Creates `path`; throws Error when it exists or cannot be created.
    explicit Output_File(const std::filesystem::path& path);
    ~Output_File();  // an unfinished file is closed and removed
    Output_File(const Output_File&) = delete;
    Output_File& operator=(const Output_File&) = delete;

    void Write(std::span<const std::uint8_t> bytes);
    // Writes at `offset` (the file grows as needed); later Write calls continue after it.
    void Write_At(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Flushes to the disk (unless `to_disk` is false: then the caller flushes it later
    // with Flush_To_Disk) and closes; the file then stays.
    void Finish(bool to_disk = true);

private:
    static constexpr std::size_t Pending_Limit = std::size_t{1} << 20;
    std::filesystem::path path_;
    std::uint64_t written_ = 0;
    std::uint64_t position_ = 0;         // where the next write lands
    std::vector<std::uint8_t> pending_;  // gathered writes not yet made, starting at pending_at_
    std::uint64_t pending_at_ = 0;
    void Write_Here(std::span<const std::uint8_t> bytes);
    void Flush_Pending();
    void Seek(std::uint64_t offset);
    bool finished_ = false;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    void Close_Quietly();
};

// Makes a finished file's bytes durable (fsync / FlushFileBuffers). Throws Error.
void Flush_To_Disk(const std::filesystem::path& path);

// Temporaries for a destination D are made in D's folder and named "." + D's name +
// Temporary_Infix + a unique suffix, so that a later run can find and remove what an
// interrupted one left (the platform's file service uses the same infix).
inline constexpr const char* Temporary_Infix = ".kelbrook-tmp-";

// A name for a temporary of `destination` that no other process or call picks.
std::filesystem::path Temporary_Path_For(const std::filesystem::path& destination);

// Renames `from` to `to` unless `to` exists, atomically: renameat2 with RENAME_NOREPLACE
// (link and unlink where the file system has no such rename), MoveFileExW without
// MOVEFILE_REPLACE_EXISTING on Windows; then makes the move durable where the platform
// allows. Throws Error of kind Exists when `to` is there (then nothing has changed), of
// kind IO on any other failure (then `from` is left as it was).
void Rename_Without_Replacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file if it is there; reports nothing.
void Remove_Quietly(const std::filesystem::path& path);

// Test seam: from now on, writes fail as on a full disk once `bytes` bytes have been
// written to one file. std::nullopt turns it off again.
void Simulate_Full_Disk_After(std::optional<std::uint64_t> bytes);

}  // namespace kelbrook::jet
