// CompactDatabase: writes a new, compacted Jet 4.0 file holding the whole database of
// the source, as the platform's engine does, from two OLE DB connection strings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jet/engine/Repair.h"
#include "jet/engine/Writer.h"
#include "jet/file/File_Io.h"

namespace kelbrook::jet {

struct Compact_Options {
    // Maps a Data Source text to a file on this host (drive letters, case-blind lookup).
    // Empty: the text is used as the path. Messages always show the text as given.
    std::function<std::filesystem::path(const std::string& data_source)> resolve_path;
    // Called now and then with the share of the work done, 0 to 1.
    std::function<void(double done)> progress;
    // Where the source is read and the output written; null: the host's files.
    const File_System* files = nullptr;
    // Memory for index entries; beyond it they are sorted in a temporary file beside the
    // destination, removed again before the compaction ends.
    std::size_t index_memory = Spill_Space::Default_Budget;
    // Tables with at least this many rows have their indexes checked (Repair.h) and
    // copied on a second thread, through a second handle of the source, while this one
    // reads their rows; smaller ones all on this thread, where a second one would cost
    // more than it saves.
    // The same holds for the output's indexes when it is read back (Check_Options::beside).
    std::uint32_t rows_checked_beside = 32768;
};

struct Compact_Result {
    std::uint32_t pages_before = 0;
    std::uint32_t pages_after = 0;
    // What was repaired on the way (Repair.h); the losses among them are also in the
    // output's MSysCompactError table.
    std::vector<Repair_Note> repairs;
};

// Throws Error (or Password_Error) with the text users of the platform's engine know;
// on failure no destination file is left and the source is untouched.
Compact_Result CompactDatabase(const std::string& source_connection,
                               const std::string& destination_connection,
                               const Compact_Options& options = {});

class Database;

// The whole database of `source` as the writer's input, its rows streamed from the
// source (which must stay open while the image is in use) for a fresh layout: MSysObjects
// first, then the other tables by their old definition page; live rows with overflow
// resolved, long values kept out of the row taken out, table ids renumbered for the new
// definition pages (catalogue, permission and navigation-pane id columns, foreign keys,
// the index keys on those columns), every real index's entries from the source's own
// keys where they are sound, else from the rows' values (Repair.h); autonumber counters
// set from the rows. Header, password and database key are the source's. Throws Error
// when an index is not sound and cannot be rebuilt. With `salvage`, rows that cannot be
// read are passed over and broken long values cut short (Salvage_Rows.h), each loss a
// repair note, and a table MSysCompactError lists them; without it, such damage throws.
struct Source_Image {
    Database_Image image;
    std::vector<std::uint32_t> old_pages;         // per table: its definition page in the source
    std::vector<std::uint32_t> definition_pages;  // per table: its definition page in the output
    // Per table, per row: Stored_Row_Hash of what the output must hold (ids renumbered),
    // filled in when the writer streams the rows with their values.
    std::vector<std::shared_ptr<std::vector<std::uint64_t>>> row_hashes;
    // Per table, per real index: the digest of the entries it must hold (Table_Repair::
    // Entries_Digest), for checking the written index.
    std::vector<std::vector<std::uint64_t>> index_digests;
    std::vector<Repair_Note> repairs;
};
// `spill`, when given, bounds the memory the index entries take (see Entry_Sorter.h).
// `second`, when given, is another handle of the same file: tables of at least
// `rows_checked_beside` rows have their indexes checked and copied through it on a second
// thread while their rows are read here (not when salvaging).
Source_Image Read_Source_Image(const Database& source,
                               const std::function<void(double done)>& progress = {},
                               const std::shared_ptr<Spill_Space>& spill = nullptr, bool salvage = false,
                               const Database* second = nullptr, std::uint32_t rows_checked_beside = 32768);

struct Long_Value_Field;
// What a stored row holds, as a hash: its bytes apart from the long-value definitions
// (whose pointers differ between files), and its long values. Equal in source and output.
std::uint64_t Stored_Row_Hash(std::span<const std::uint8_t> bytes,
                              const std::vector<Long_Value_Field>& long_values);
// Its parts, for making it on more than one thread: Stored_Row_Hash is
// Row_Hash_Of_Parts(Row_Bytes_Part(bytes, long_values) + the sum of Long_Value_Part of
// each long value), modulo 2^64.
std::uint64_t Row_Bytes_Part(std::span<const std::uint8_t> bytes, const std::vector<Long_Value_Field>& long_values);
std::uint64_t Long_Value_Part(std::uint16_t column, std::span<const std::uint8_t> value);
// The same of a value as a walk gives it, copied or in pieces.
std::uint64_t Long_Value_Part(const Long_Value_Field& lv);
std::uint64_t Row_Hash_Of_Parts(std::uint64_t sum);

}  // namespace kelbrook::jet
