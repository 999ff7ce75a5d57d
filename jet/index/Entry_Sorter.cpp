// The sorter in three phases: gathering (keys end to end in one buffer, a small record per
// entry, memory charged to the shared space before each buffer grows), spilling (the held
// entries sorted in place and written as one run: per entry its key length, its row and
// its key), and reading (the runs and the held entries merged through a heap, each run
// read in blocks). Runs are numbered in the order they were written and the held entries
// come last, so that ties between equal entries keep the order they were added.
#include "jet/index/Entry_Sorter.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>

#include "jet/file/File_Output.h"
#include "jet/util/Bytes.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace {

constexpr std::size_t Record_Header = 8;             // key length (u32), row (u32), little-endian
constexpr std::size_t Write_Block = std::size_t{1} << 20;
constexpr std::size_t Min_Read_Block = std::size_t{16} << 10;
constexpr std::size_t Max_Read_Block = std::size_t{1} << 20;
constexpr std::size_t First_Entries = 256;
constexpr std::size_t First_Key_Bytes = 4096;
constexpr std::uint32_t Max_Spilled_Key = std::uint32_t{1} << 24;  // far above any index key

// Unsigned byte order, a shorter key that is a prefix of the other first.
int Compare_Keys(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (n > 0) {
        const int order = std::memcmp(a.data(), b.data(), n);
        if (order != 0) return order;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::size_t Grown(std::size_t capacity, std::size_t need, std::size_t first) {
    if (need <= capacity) return capacity;
    return std::max({need, first, 2 * capacity});
}

void Append_U32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint32_t Load_U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

// ---- The shared space -------------------------------------------------------------------

Spill_Space::Spill_Space(std::filesystem::path beside, std::size_t budget, const File_System& files)
    : files_(files), beside_(std::move(beside)), budget_(budget) {}

Spill_Space::~Spill_Space() { Discard(); }

void Spill_Space::Discard() noexcept {
    file_.reset();  // closes quietly
    if (!path_.empty()) Remove_Quietly(path_);
}

std::uint64_t Spill_Space::Append(std::span<const std::uint8_t> bytes) {
    if (failed_) throw Error(failure_, Error_Kind::IO);
    try {
        if (!file_) {
            path_ = Temporary_Path_For(beside_);
            file_ = files_.Create(path_);
        }
        const std::uint64_t at = end_;
        file_->Write(at, bytes);
        end_ += bytes.size();
        return at;
    } catch (const std::exception& e) {
        // A spill file that failed is of no further use: it goes now, not only at the end,
        // and every later attempt fails for the same reason.
        failed_ = true;
        failure_ = e.what();
        Discard();
        throw;
    }
}

std::span<const std::uint8_t> Spill_Space::Read(std::uint64_t at, std::size_t count, std::uint8_t* scratch) {
    if (!file_ || failed_ || at + count > end_)
        throw Error("Internal error: index entries were read from '" + Path_Text(path_) +
                        "' where none were written.",
                    Error_Kind::IO);
    return Read_Exactly(*file_, at, count, scratch);
}

bool Spill_Space::Fits(std::size_t extra) const { return held_ + extra <= budget_; }

bool Spill_Space::Spill_Largest(Entry_Sorter* adding) {
    // Room a spill kept in a sorter other than the one adding goes first: it holds
    // nothing to write.
    for (Entry_Sorter* m : members_)
        if (m != adding && m->charged_ > 0 && m->entries_.empty()) {
            m->Spill();
            return true;
        }
    // Then the sorter holding the most, by its entries rather than its room; the one
    // adding keeps its emptied buffers to fill again.
    auto held = [](const Entry_Sorter* m) { return m->keys_.size() + m->entries_.size() * sizeof(Entry_Sorter::Entry); };
    Entry_Sorter* largest = nullptr;
    for (Entry_Sorter* m : members_)
        if (!m->entries_.empty() && (!largest || held(m) > held(largest))) largest = m;
    if (largest) {
        largest->Spill(largest == adding);
        return true;
    }
    // Last, the room the one adding kept, where one of its buffers must grow past it.
    if (adding && adding->charged_ > 0) {
        adding->Spill();
        return true;
    }
    return false;
}

// ---- Gathering ----------------------------------------------------------------------------

Entry_Sorter::Entry_Sorter(std::shared_ptr<Spill_Space> space) { Join(space); }

Entry_Sorter::~Entry_Sorter() { Leave(); }

Entry_Sorter::Entry_Sorter(const Entry_Sorter& other)
    : keys_(other.keys_),
      entries_(other.entries_),
      sorted_(other.sorted_),
      in_sequence_(other.in_sequence_),
      last_spilled_(other.last_spilled_),
      last_spilled_row_(other.last_spilled_row_),
      order_(other.order_),
      runs_(other.runs_),
      count_(other.count_) {
    Join(other.space_);
}

Entry_Sorter& Entry_Sorter::operator=(const Entry_Sorter& other) {
    if (this != &other) {
        Entry_Sorter copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Entry_Sorter::Entry_Sorter(Entry_Sorter&& other) noexcept { *this = std::move(other); }

Entry_Sorter& Entry_Sorter::operator=(Entry_Sorter&& other) noexcept {
    if (this == &other) return *this;
    Leave();
    space_ = std::move(other.space_);
    keys_ = std::move(other.keys_);
    entries_ = std::move(other.entries_);
    sorted_ = other.sorted_;
    in_sequence_ = other.in_sequence_;
    last_spilled_ = std::move(other.last_spilled_);
    last_spilled_row_ = other.last_spilled_row_;
    order_ = std::move(other.order_);
    charged_ = other.charged_;
    runs_ = std::move(other.runs_);
    count_ = other.count_;
    if (space_) std::replace(space_->members_.begin(), space_->members_.end(), &other, this);
    other.space_.reset();
    other.keys_.clear();
    other.entries_.clear();
    other.sorted_ = true;
    other.in_sequence_ = true;
    other.last_spilled_.clear();
    other.order_.clear();
    other.charged_ = 0;
    other.runs_.clear();
    other.count_ = 0;
    return *this;
}

void Entry_Sorter::Join(const std::shared_ptr<Spill_Space>& space) {
    space_ = space;
    charged_ = 0;
    if (!space_) return;
    space_->members_.push_back(this);
    Recharge();
}

void Entry_Sorter::Leave() {
    if (!space_) return;
    space_->held_ -= charged_;
    charged_ = 0;
    auto& members = space_->members_;
    members.erase(std::remove(members.begin(), members.end(), this), members.end());
    space_.reset();
}

// Each entry is charged for its place in order_ as well, made when it is first read sorted.
std::size_t Entry_Sorter::Held_Bytes() const {
    return keys_.capacity() + entries_.capacity() * (sizeof(Entry) + sizeof(std::uint32_t));
}

void Entry_Sorter::Recharge() {
    if (!space_) return;
    const std::size_t now = Held_Bytes();
    space_->held_ = space_->held_ - charged_ + now;
    charged_ = now;
}

void Entry_Sorter::Add(std::span<const std::uint8_t> key, std::uint32_t row, bool in_order) {
    // Make room first: the budget holds for the buffers as they will be, not only as they were.
    std::size_t keys_to = 0, entries_to = 0;
    for (;;) {
        keys_to = Grown(keys_.capacity(), keys_.size() + key.size(), First_Key_Bytes);
        entries_to = Grown(entries_.capacity(), entries_.size() + 1, First_Entries);
        const std::size_t extra = (keys_to - keys_.capacity()) +
                                  (entries_to - entries_.capacity()) * (sizeof(Entry) + sizeof(std::uint32_t));
        if (!space_ || extra == 0 || space_->Fits(extra) || !space_->Spill_Largest(this)) break;
    }
    if (keys_.size() + key.size() > UINT32_MAX || key.size() > Max_Spilled_Key)
        throw Error("An index is too large for a Jet 4.0 file.", Error_Kind::Unsupported);
    keys_.reserve(keys_to);
    entries_.reserve(entries_to);
    const Entry entry{static_cast<std::uint32_t>(keys_.size()), static_cast<std::uint32_t>(key.size()), row};
    keys_.insert(keys_.end(), key.begin(), key.end());
    // Entries taken from an existing index usually come in order already.
    if (sorted_ && !in_order) {
        if (!entries_.empty()) {
            const Entry& last = entries_.back();
            const int order = Compare_Keys(Key_Of(last), key);
            sorted_ = order < 0 || (order == 0 && last.row <= row);
            in_sequence_ = in_sequence_ && sorted_;
        } else if (in_sequence_ && !runs_.empty()) {
            const int order = Compare_Keys(last_spilled_, key);
            in_sequence_ = order < 0 || (order == 0 && last_spilled_row_ <= row);
        }
    }
    entries_.push_back(entry);
    ++count_;
    Recharge();
}

void Entry_Sorter::Clear() {
    std::vector<std::uint8_t>().swap(keys_);
    std::vector<Entry>().swap(entries_);
    std::vector<std::uint32_t>().swap(order_);
    sorted_ = true;
    in_sequence_ = true;
    std::vector<std::uint8_t>().swap(last_spilled_);
    runs_.clear();
    count_ = 0;
    Recharge();
}

void Entry_Sorter::Done_Adding() {
    if (runs_.empty()) return;  // never spilled: grown for what it holds
    Spill();
}

void Entry_Sorter::Use_Space(std::shared_ptr<Spill_Space> space) {
    if (space == space_) return;
    if (!runs_.empty())
        throw Error("Internal error: index entries already written to one file cannot move to another.",
                    Error_Kind::Unsupported);
    Leave();
    Join(space);
    while (space_ && !space_->Fits(0) && space_->Spill_Largest()) {
    }
}

std::span<const std::uint8_t> Entry_Sorter::Key(std::size_t i) const {
    if (!runs_.empty() || i >= entries_.size())
        throw Error("Internal error: an index entry was asked for by its place after the entries were sorted.",
                    Error_Kind::Unsupported);
    return Key_Of(entries_[i]);
}

std::uint32_t Entry_Sorter::Row(std::size_t i) const {
    Key(i);  // the same checks
    return entries_[i].row;
}

std::span<const std::uint8_t> Entry_Sorter::Key_Of(const Entry& e) const {
    return std::span<const std::uint8_t>(keys_).subspan(e.at, e.length);
}

void Entry_Sorter::Sort_Held() const {
    if (sorted_ || order_.size() == entries_.size()) return;
    order_.resize(entries_.size());
    std::iota(order_.begin(), order_.end(), std::uint32_t{0});
    // The order of adding breaks the last ties.
    std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Entry& ea = entries_[a];
        const Entry& eb = entries_[b];
        const int order = Compare_Keys(Key_Of(ea), Key_Of(eb));
        if (order != 0) return order < 0;
        if (ea.row != eb.row) return ea.row < eb.row;
        return a < b;
    });
}

const Entry_Sorter::Entry& Entry_Sorter::Held(std::size_t k) const {
    return sorted_ ? entries_[k] : entries_[order_[k]];
}

// ---- Spilling -------------------------------------------------------------------------------

void Entry_Sorter::Spill(bool keep_room) {
    if (!entries_.empty()) {
        Sort_Held();
        Run run;
        run.count = entries_.size();
        std::vector<std::uint8_t> block;
        block.reserve(std::min(Write_Block, keys_.size() + Record_Header * entries_.size()));
        auto write = [&] {
            const std::uint64_t at = space_->Append(block);
            if (run.bytes == 0) run.at = at;
            run.bytes += block.size();
            block.clear();
        };
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            const Entry& e = Held(k);
            Append_U32(block, e.length);
            Append_U32(block, e.row);
            const auto key = Key_Of(e);
            block.insert(block.end(), key.begin(), key.end());
            if (block.size() >= Write_Block) write();
        }
        if (!block.empty()) write();
        runs_.push_back(run);
        if (in_sequence_) {  // held in the order added: the last added is the last spilled
            const auto key = Key_Of(entries_.back());
            last_spilled_.assign(key.begin(), key.end());
            last_spilled_row_ = entries_.back().row;
        }
    }
    if (keep_room) {
        keys_.clear();
        entries_.clear();
        order_.clear();
    } else {
        std::vector<std::uint8_t>().swap(keys_);
        std::vector<Entry>().swap(entries_);
        std::vector<std::uint32_t>().swap(order_);
    }
    sorted_ = true;
    Recharge();
}

// ---- Reading --------------------------------------------------------------------------------

namespace {

// One source of sorted entries during a merge: a run read back in blocks, or the entries
// held in memory.
struct Merge_Source {
    std::size_t number = 0;  // runs in the order written, the held entries last
    std::span<const std::uint8_t> key;
    std::uint32_t row = 0;
};

}  // namespace

class Entry_Sorter::Run_Reader {
public:
    Run_Reader(Spill_Space& space, const Run& run, std::size_t block)
        : space_(space), next_(run.at), end_(run.at + run.bytes), left_(run.count), buffer_(block) {}

    // The next entry into `to`; false at the end of the run.
    bool Next(Merge_Source& to) {
        if (left_ == 0) return false;
        Have(Record_Header);
        const std::uint32_t length = Load_U32(buffer_.data() + pos_);
        to.row = Load_U32(buffer_.data() + pos_ + 4);
        if (length > Max_Spilled_Key) Damaged();
        Have(Record_Header + length);
        to.key = std::span<const std::uint8_t>(buffer_.data() + pos_ + Record_Header, length);
        pos_ += Record_Header + length;
        --left_;
        return true;
    }

private:
    // At least `need` unread bytes in the buffer (the rest of the last block moves to the front).
    void Have(std::size_t need) {
        if (filled_ - pos_ >= need) return;
        std::memmove(buffer_.data(), buffer_.data() + pos_, filled_ - pos_);
        filled_ -= pos_;
        pos_ = 0;
        if (buffer_.size() < need) buffer_.resize(need);
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer_.size() - filled_, end_ - next_));
        if (filled_ + count < need) Damaged();
        const auto got = space_.Read(next_, count, buffer_.data() + filled_);
        if (got.data() != buffer_.data() + filled_) std::memcpy(buffer_.data() + filled_, got.data(), count);
        filled_ += count;
        next_ += count;
    }
    [[noreturn]] void Damaged() const {
        throw Error("The index entries written to '" + Path_Text(space_.Path()) + "' did not read back whole.",
                    Error_Kind::IO);
    }

    Spill_Space& space_;
    std::uint64_t next_, end_, left_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0, filled_ = 0;
};

void Entry_Sorter::Each(const Visitor& visit) const {
    Sort_Held();
    if (runs_.empty()) {
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            const Entry& e = Held(k);
            visit(Key_Of(e), e.row);
        }
        return;
    }
    if (in_sequence_) {  // the runs follow one another, and the entries held follow them
        const std::size_t block = std::clamp(space_->Budget() / 2, Min_Read_Block, Max_Read_Block);
        for (const Run& run : runs_) {
            Run_Reader reader(*space_, run, block);
            Merge_Source s;
            while (reader.Next(s)) visit(s.key, s.row);
        }
        for (const Entry& e : entries_) visit(Key_Of(e), e.row);
        return;
    }
    // Each run reads in blocks that together stay within the budget.
    const std::size_t block =
        std::clamp(space_->Budget() / (2 * (runs_.size() + 1)), Min_Read_Block, Max_Read_Block);
    std::vector<Run_Reader> readers;
    readers.reserve(runs_.size());
    for (const Run& run : runs_) readers.emplace_back(*space_, run, block);
    std::size_t held_next = 0;
    auto advance = [&](Merge_Source& s) {
        if (s.number < readers.size()) return readers[s.number].Next(s);
        if (held_next == entries_.size()) return false;
        const Entry& e = Held(held_next++);
        s.key = Key_Of(e);
        s.row = e.row;
        return true;
    };
    // A heap of the sources' current entries, the smallest on top.
    auto later = [](const Merge_Source& a, const Merge_Source& b) {
        const int order = Compare_Keys(a.key, b.key);
        if (order != 0) return order > 0;
        if (a.row != b.row) return a.row > b.row;
        return a.number > b.number;
    };
    std::vector<Merge_Source> heap;
    for (std::size_t n = 0; n <= readers.size(); ++n) {
        Merge_Source s;
        s.number = n;
        if (advance(s)) heap.push_back(s);
    }
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        Merge_Source& top = heap.back();
        visit(top.key, top.row);
        if (advance(top))
            std::push_heap(heap.begin(), heap.end(), later);
        else
            heap.pop_back();
    }
}

}  // namespace kelbrook::jet
