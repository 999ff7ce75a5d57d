#include "jet/row/Row_Numbers.h"

#include <algorithm>
#include <bit>
#include <string>

#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace {

// Rows in the slots of `word` below `bit`.
std::uint32_t Below(std::uint64_t word, unsigned bit) {
    return static_cast<std::uint32_t>(std::popcount(word & ((std::uint64_t{1} << bit) - 1)));
}

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
    std::uint32_t number = on.first + static_cast<std::uint32_t>(std::popcount(on.slots)) + Below(later[word], bit);
    for (unsigned w = 0; w < word; ++w) number += static_cast<std::uint32_t>(std::popcount(later[w]));
    return number;
}

}  // namespace kelbrook::jet
