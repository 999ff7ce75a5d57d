#include "jet/row/Row_Numbers.h"

#include <algorithm>
#include <string>

#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace {

// The bits set in `word`, counted in a few operations: the baseline x86-64 instruction
// set has no instruction for it, and std::popcount there is a library call per lookup.
std::uint32_t Bits(std::uint64_t word) {
    word -= (word >> 1) & 0x5555555555555555ULL;
    word = (word & 0x3333333333333333ULL) + ((word >> 2) & 0x3333333333333333ULL);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<std::uint32_t>((word * 0x0101010101010101ULL) >> 56);
}

// Rows in the slots of `word` below `bit`.
std::uint32_t Below(std::uint64_t word, unsigned bit) { return Bits(word & ((std::uint64_t{1} << bit) - 1)); }

}  // namespace

void Row_Numbers::Add(Row_Pointer row) {
    if (last_ && !(*last_ < row))
        throw Error("rows numbered out of order (page " + std::to_string(row.page) + ", row " +
                    std::to_string(row.row) + ")");
    last_ = row;
    if (row.page >= pages_.size()) pages_.resize(std::size_t{row.page} + 1);
    Page_Rows& on = pages_[row.page];
    if (!on.used) on.first = count_;
    on.used = 1;
    ++count_;
    if (row.row < 64) {
        on.slots |= std::uint64_t{1} << row.row;
        return;
    }
    if (!on.more) {
        on.more = 1;
        more_.emplace_back(row.page, Later_Slots{});
    }
    more_.back().second[row.row / 64 - 1] |= std::uint64_t{1} << (row.row % 64);
}

std::optional<std::uint32_t> Row_Numbers::Of(Row_Pointer row) const {
    if (row.page >= pages_.size()) return std::nullopt;
    const Page_Rows& on = pages_[row.page];
    if (row.row < 64) {
        if (!(on.slots >> row.row & 1)) return std::nullopt;
        return on.first + Below(on.slots, row.row);
    }
    if (!on.more) return std::nullopt;
    const auto it = std::lower_bound(more_.begin(), more_.end(), row.page,
                                     [](const auto& entry, std::uint32_t page) { return entry.first < page; });
    const Later_Slots& later = it->second;
    const unsigned word = row.row / 64 - 1, bit = row.row % 64;
    if (!(later[word] >> bit & 1)) return std::nullopt;
    std::uint32_t number = on.first + Bits(on.slots) + Below(later[word], bit);
    for (unsigned w = 0; w < word; ++w) number += Bits(later[w]);
    return number;
}

}  // namespace kelbrook::jet
