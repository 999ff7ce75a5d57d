// Index entries (key bytes and a row number) sorted in bounded memory. Entries are
// gathered in memory; when the sorters sharing one Spill_Space hold more than its budget,
// the largest of them sorts what it holds and writes it as a run to a temporary file
// beside the output. Reading merges the runs and what is still in memory, in order: key
// bytes (unsigned, a shorter key that is a prefix of another first), then row; entries
// equal in both come out in the order they were added. Below the budget nothing is
// written; the file is removed when the Spill_Space goes, whatever happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jet/file/File_Io.h"

namespace kelbrook::jet {

class Entry_Sorter;

// Memory budget and spill file shared by a group of sorters. Not thread-safe: the sorters
// sharing it are used from one thread at a time.
class Spill_Space {
public:
    // With what else a compaction holds, this keeps it under 64 MB for a 1 GB database.
    static constexpr std::size_t Default_Budget = std::size_t{20} << 20;

    // Runs go to a temporary of `beside` (Temporary_Path_For), made through `files` on
    // the first spill.
    explicit Spill_Space(std::filesystem::path beside, std::size_t budget = Default_Budget,
                         const File_System& files = Host_Files());
    ~Spill_Space();  // closes and removes the spill file
    Spill_Space(const Spill_Space&) = delete;
    Spill_Space& operator=(const Spill_Space&) = delete;

    std::size_t Budget() const { return budget_; }
    std::size_t Held() const { return held_; }  // bytes the sorters hold in memory now
    std::uint64_t Spilled() const { return end_; }  // bytes written to the spill file
    // The spill file, once made (empty before).
    const std::filesystem::path& Path() const { return path_; }

private:
    friend class Entry_Sorter;
    // True when `extra` more bytes stay within the budget.
    bool Fits(std::size_t extra) const;
    // Makes room: lets go of the buffers a member other than `adding` (the member making
    // room for an entry) keeps empty; else spills the member holding the most entries,
    // which keeps its buffers when it is `adding`; else lets go of those `adding` keeps.
    // False when there is nothing to free.
    bool Spill_Largest(Entry_Sorter* adding = nullptr);
    // Appends `bytes` at the end of the file; gives where they start.
    std::uint64_t Append(std::span<const std::uint8_t> bytes);
    // The `count` bytes at `at`, in `scratch` or the file's own memory.
    std::span<const std::uint8_t> Read(std::uint64_t at, std::size_t count, std::uint8_t* scratch);
    void Discard() noexcept;

    const File_System& files_;
    std::filesystem::path beside_;
    std::filesystem::path path_;
    std::size_t budget_;
    std::size_t held_ = 0;
    std::vector<Entry_Sorter*> members_;
    std::unique_ptr<Write_File> file_;
    bool failed_ = false;
    std::string failure_;  // why it failed
    std::uint64_t end_ = 0;
};

class Entry_Sorter {
public:
    using Visitor = std::function<void(std::span<const std::uint8_t> key, std::uint32_t row)>;

    // Without a space, everything stays in memory.
    explicit Entry_Sorter(std::shared_ptr<Spill_Space> space = nullptr);
    ~Entry_Sorter();
    Entry_Sorter(const Entry_Sorter& other);
    Entry_Sorter& operator=(const Entry_Sorter& other);
    Entry_Sorter(Entry_Sorter&& other) noexcept;
    Entry_Sorter& operator=(Entry_Sorter&& other) noexcept;

    // `in_order`: the caller knows the entry comes after every one added before it (an
    // index read in order), which saves comparing it with the last.
    void Add(std::span<const std::uint8_t> key, std::uint32_t row, bool in_order = false);
    std::size_t Size() const { return count_; }
    std::size_t Runs() const { return runs_.size(); }
    // Every entry in order, the runs read back and merged with what is held in memory.
    void Each(const Visitor& visit) const;
    void Clear();
    // Once every entry is added: a sorter that has spilled spills the rest too, so that
    // neither the room a spill kept (Spill) nor the last entries stay in memory for the
    // phases that follow.
    void Done_Adding();
    // From now on shares `space` (the memory held so far included); spills while over budget.
    void Use_Space(std::shared_ptr<Spill_Space> space);

    // The i-th entry in the order added, while nothing has been spilled.
    std::span<const std::uint8_t> Key(std::size_t i) const;
    std::uint32_t Row(std::size_t i) const;

private:
    friend class Spill_Space;
    struct Entry {
        std::uint32_t at = 0;      // where the key starts in keys_
        std::uint32_t length = 0;  // of the key
        std::uint32_t row = 0;
    };
    struct Run {
        std::uint64_t at = 0;     // in the spill file
        std::uint64_t bytes = 0;
        std::uint64_t count = 0;
    };
    class Run_Reader;
    std::span<const std::uint8_t> Key_Of(const Entry& e) const;
    // The k-th held entry in sorted order, once Sort_Held has run.
    const Entry& Held(std::size_t k) const;
    void Sort_Held() const;
    // Writes what is held as a run and lets the memory go, or with `keep_room` keeps the
    // emptied buffers (still charged to the space): a sorter refilling them after a spill
    // then touches no fresh memory, whose first touch costs more than the filling.
    void Spill(bool keep_room = false);
    std::size_t Held_Bytes() const;
    void Recharge();
    void Join(const std::shared_ptr<Spill_Space>& space);
    void Leave();

    std::shared_ptr<Spill_Space> space_;
    std::vector<std::uint8_t> keys_;
    std::vector<Entry> entries_;          // in the order added
    bool sorted_ = true;                  // the order added is the sorted order
    // Every entry since the last Clear came after the one before, spilled or not: the
    // runs then follow one another and are read one after the other, without a merge.
    bool in_sequence_ = true;
    std::vector<std::uint8_t> last_spilled_;  // while in sequence: the last spilled entry's key
    std::uint32_t last_spilled_row_ = 0;      // and row
    mutable std::vector<std::uint32_t> order_;  // else entries_ sorted, once asked for
    std::size_t charged_ = 0;             // what the space counts for this sorter
    std::vector<Run> runs_;
    std::size_t count_ = 0;
};

}  // namespace kelbrook::jet
