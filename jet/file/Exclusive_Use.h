// A database held for this process alone, the way Jet keeps other users out (see
// docs/jet4-locking.md): every user lock of the lock file "<stem>.ldb" beside it, bytes
// 0x10000000 to 0x100000FF, locked at once without waiting. A Jet program that opens the
// database while it is held cannot take its user lock; a Jet program that has it open
// holds one, and the hold is refused. On Windows the database file is also opened with a
// share mode that denies writing, which fails while any program has it open for writing.
//
// POSIX record locks belong to the process and go when it closes ANY descriptor of the
// lock file, so this class is the only code that opens lock files, and each lock file is
// open once in the process: holds of the same database share one lock (which also makes a
// second hold in the same process succeed; on Windows a second handle's lock would
// conflict with the first).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace kelbrook::jet {

// The lock file Jet keeps beside `database`: same folder, same stem, extension .ldb. An
// existing entry whose name differs only in letter case is the lock file (hosts whose
// names keep case see Windows programs' files that way).
std::filesystem::path Lock_File_Path(const std::filesystem::path& database);

class Exclusive_Use {
public:
    // Holds `database`. `shown` is the Data Source text as the caller gave it, for
    // messages. Throws Error of kind In_Use, "Could not use '<shown>'; file already in
    // use.", when another process holds a user lock (or, on Windows, has the file open for
    // writing); of kind Not_Found when the database is not there; of kind IO when the lock
    // file cannot be made or locked for another reason. A lock file that nobody holds
    // (left by a crash) does not stop anything and is left as found.
    Exclusive_Use(const std::filesystem::path& database, const std::string& shown);
    ~Exclusive_Use();  // a lock file this process made is removed once no hold needs it
    Exclusive_Use(const Exclusive_Use&) = delete;
    Exclusive_Use& operator=(const Exclusive_Use&) = delete;

    // Lets go of the database file itself (Windows: closes this hold's handle, so that
    // the file can be renamed over) while the lock file's locks stay. Nothing on POSIX.
    void Release_File() noexcept;

    // The lock file this hold locks; empty where none could be made (a folder this process
    // may not write to: then no Jet program can open the database shared either).
    const std::filesystem::path& Lock_File() const noexcept;
    // True when this process made the lock file (it is removed when the last hold goes).
    bool Made_Lock_File() const noexcept;

    struct Lock;  // the locked lock file, shared by the holds of one database (internal)

private:
    struct File;
    std::shared_ptr<Lock> lock_;
    std::unique_ptr<File> file_;
};

}  // namespace kelbrook::jet
