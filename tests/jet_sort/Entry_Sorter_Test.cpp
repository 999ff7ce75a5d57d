// The sorter on its own: what comes out is what std::stable_sort makes of what went in
// (key bytes, then row), whether everything stayed in memory or went through many runs;
// the memory held stays within the budget; the spill file exists only while it is needed
// and is gone after every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "jet/file/File_Output.h"
#include "jet/index/Entry_Sorter.h"
#include "jet/util/Error.h"
#include "jet_compact/Compact_Test_Support.h"
#include "support/Faulty_Files.h"

namespace kelbrook {
namespace {

namespace fs = std::filesystem;
using jet::Entry_Sorter;
using jet::Spill_Space;

struct Item {
    std::vector<std::uint8_t> key;
    std::uint32_t row = 0;
    friend bool operator==(const Item&, const Item&) = default;
};

// The order the writer needs: unsigned bytes, a prefix before its extensions, then row.
bool Before(const Item& a, const Item& b) {
    if (a.key != b.key)
        return std::lexicographical_compare(a.key.begin(), a.key.end(), b.key.begin(), b.key.end());
    return a.row < b.row;
}

std::vector<Item> Sorted(std::vector<Item> items) {
    std::stable_sort(items.begin(), items.end(), Before);
    return items;
}

std::vector<Item> Read(const Entry_Sorter& sorter) {
    std::vector<Item> out;
    sorter.Each([&](std::span<const std::uint8_t> key, std::uint32_t row) {
        out.push_back(Item{std::vector<std::uint8_t>(key.begin(), key.end()), row});
    });
    return out;
}

// Random keys of 0 to `max_length` bytes over a small alphabet (many shared prefixes,
// many equal keys), rows in random order.
std::vector<Item> Random_Items(std::size_t count, std::size_t max_length, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Item> items(count);
    for (std::size_t i = 0; i < count; ++i) {
        items[i].key.resize(random() % (max_length + 1));
        for (auto& b : items[i].key) b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0xFF : random() % 3);
        items[i].row = static_cast<std::uint32_t>(random() % (count / 2 + 1));
    }
    return items;
}

// A folder of its own per test, removed afterwards; Files() lists what is in it.
class Sorter_Test : public test::Scratch_Test {};

struct Sort_Case {
    const char* name;
    std::vector<Item> items;
    std::size_t budget;  // 0: no spill space at all
    bool spills;
};

std::vector<Sort_Case> Sort_Cases() {
    std::vector<Sort_Case> cases;
    cases.push_back({"empty", {}, 1024, false});
    cases.push_back({"in memory without a space", Random_Items(5000, 12, 1), 0, false});
    cases.push_back({"below the budget", Random_Items(5000, 12, 2), Spill_Space::Default_Budget, false});
    cases.push_back({"many runs with a tiny budget", Random_Items(40000, 30, 3), 16 << 10, true});
    cases.push_back({"keys longer than a read block", Random_Items(300, 40000, 4), 64 << 10, true});
    // Equal keys: rows come out in order whatever run they went to; equal rows too.
    std::vector<Item> equal;
    std::mt19937 random(5);
    for (std::uint32_t i = 0; i < 20000; ++i) equal.push_back(Item{{0x7F, 0x01}, static_cast<std::uint32_t>(random() % 3000)});
    cases.push_back({"equal keys", equal, 16 << 10, true});
    // Entries that come in order already (as from an existing index) and a single run.
    cases.push_back({"in order already", Sorted(Random_Items(20000, 8, 6)), 16 << 10, true});
    return cases;
}

TEST_F(Sorter_Test, GivesTheEntriesInOrderWhereverTheyWereHeld) {
    for (const auto& c : Sort_Cases()) {
        SCOPED_TRACE(c.name);
        const fs::path beside = dir / "out.mdb";
        {
            auto space = c.budget ? std::make_shared<Spill_Space>(beside, c.budget) : nullptr;
            Entry_Sorter sorter(space);
            for (const auto& item : c.items) {
                sorter.Add(item.key, item.row);
                if (space) {
                    ASSERT_LE(space->Held(), space->Budget() + item.key.size() + 64);
                }
            }
            EXPECT_EQ(sorter.Size(), c.items.size());
            EXPECT_EQ(sorter.Runs() > 0, c.spills);
            const auto expected = Sorted(c.items);
            EXPECT_TRUE(Read(sorter) == expected);
            EXPECT_TRUE(Read(sorter) == expected) << "a second reading";
            const Entry_Sorter copy = sorter;
            EXPECT_TRUE(Read(copy) == expected) << "a copy";
            if (c.spills) {
                // The spill file sits beside the output, named as its temporaries are.
                ASSERT_FALSE(space->Path().empty());
                EXPECT_EQ(space->Path().parent_path(), dir);
                EXPECT_EQ(space->Path().filename().string().rfind(".out.mdb" + std::string(jet::Temporary_Infix), 0), 0u)
                    << space->Path();
                EXPECT_TRUE(fs::exists(space->Path()));
            }
        }
        EXPECT_TRUE(Files().empty()) << "below the budget nothing is written; a spill file goes with its space";
    }
}

// Entries in order are read back run after run, without a merge; one out of order,
// even the first after a spill (compared with the last one spilled), makes it a merge.
TEST_F(Sorter_Test, EntriesInOrderAcrossRunsAndOneOutOfOrderAfterASpill) {
    const auto items = Sorted(Random_Items(6000, 8, 7));
    for (const bool hinted : {false, true})
        for (const bool disorder : {false, true}) {
            SCOPED_TRACE(std::string(hinted ? "hinted" : "compared") + (disorder ? ", one out of order" : ", in order"));
            auto space = std::make_shared<Spill_Space>(dir / "out.mdb", 16 << 10);
            Entry_Sorter sorter(space), other(space);
            std::vector<Item> added;
            for (std::size_t i = 0; i + 1 < items.size(); ++i) {
                sorter.Add(items[i + 1].key, items[i + 1].row, hinted);
                added.push_back(items[i + 1]);
            }
            ASSERT_GT(sorter.Runs(), 1u);
            // The other sorter grows until this one, the largest, is spilled whole.
            const std::size_t runs = sorter.Runs();
            for (std::uint32_t k = 0; sorter.Runs() == runs; ++k) {
                ASSERT_LT(k, 100000u) << "this sorter is never spilled";
                other.Add(std::vector<std::uint8_t>(8, 0x55), k);
            }
            const Item next = disorder ? items.front() : Item{std::vector<std::uint8_t>(12, 0xFF), 0};
            sorter.Add(next.key, next.row);
            added.push_back(next);
            EXPECT_TRUE(Read(sorter) == Sorted(added));
        }
}

TEST_F(Sorter_Test, SortersSharingABudgetSpillTheLargest) {
    auto space = std::make_shared<Spill_Space>(dir / "out.mdb", 64 << 10);
    Entry_Sorter big(space), small(space);
    const auto big_items = Random_Items(30000, 20, 7);
    const auto small_items = Random_Items(200, 4, 8);
    for (std::size_t i = 0; i < big_items.size(); ++i) {
        big.Add(big_items[i].key, big_items[i].row);
        if (i < small_items.size()) small.Add(small_items[i].key, small_items[i].row);
        ASSERT_LE(space->Held(), space->Budget());
    }
    EXPECT_GT(big.Runs(), 0u);
    EXPECT_EQ(small.Runs(), 0u) << "the small one stays in memory";
    EXPECT_TRUE(Read(big) == Sorted(big_items));
    EXPECT_TRUE(Read(small) == Sorted(small_items));
    // Moved sorters keep their runs and their share of the budget.
    std::vector<Entry_Sorter> moved;
    moved.push_back(std::move(big));
    moved.push_back(std::move(small));
    EXPECT_TRUE(Read(moved[0]) == Sorted(big_items));
    moved.clear();
    EXPECT_EQ(space->Held(), 0u);
}

// A sorter that spilled keeps its buffers while adding and lets them go once told the
// last entry is in (Done_Adding), its last entries going to the file; one that never spilled
// keeps its entries in memory. The space's budget holds throughout.
TEST_F(Sorter_Test, OnceAllIsAddedOnlySortersThatNeverSpilledHoldMemory) {
    auto space = std::make_shared<Spill_Space>(dir / "out.mdb", 32 << 10);
    const auto items = Random_Items(20000, 12, 12);
    Entry_Sorter first(space);
    for (const auto& item : items) {
        first.Add(item.key, item.row);
        ASSERT_LE(space->Held(), space->Budget() + item.key.size() + 64);
    }
    ASSERT_GT(first.Runs(), 0u);
    const std::size_t runs = first.Runs();
    first.Done_Adding();
    EXPECT_GE(first.Runs(), runs) << "the last entries go to the file";
    EXPECT_EQ(space->Held(), 0u);
    Entry_Sorter second(space);
    const auto few = Random_Items(100, 6, 13);
    for (const auto& item : few) second.Add(item.key, item.row);
    second.Done_Adding();
    EXPECT_EQ(second.Runs(), 0u);
    EXPECT_GT(space->Held(), 0u);
    EXPECT_TRUE(Read(first) == Sorted(items));
    EXPECT_TRUE(Read(second) == Sorted(few));
}

TEST_F(Sorter_Test, EntriesByTheirPlaceUntilTheyAreSpilled) {
    const auto items = Random_Items(100, 6, 9);
    Entry_Sorter held;
    for (const auto& item : items) held.Add(item.key, item.row);
    EXPECT_TRUE(Read(held) == Sorted(items));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto key = held.Key(i);
        EXPECT_EQ(std::vector<std::uint8_t>(key.begin(), key.end()), items[i].key) << "in the order added, after sorting too";
        EXPECT_EQ(held.Row(i), items[i].row);
    }
    // Joining a space whose budget it exceeds spills it; then places are gone.
    auto space = std::make_shared<Spill_Space>(dir / "out.mdb", 1024);
    held.Use_Space(space);
    EXPECT_GT(held.Runs(), 0u);
    EXPECT_LE(space->Held(), space->Budget());
    EXPECT_TRUE(Read(held) == Sorted(items));
    EXPECT_THROW(held.Key(0), jet::Error);
}

struct Fault_Case {
    const char* name;
    test::File_Fault fault;
    bool when_reading;  // the fault strikes while the runs are read back
};

TEST_F(Sorter_Test, AFailingSpillFileLeavesNothingBehind) {
    const std::vector<Fault_Case> cases = {
        {"full disk at the first run", {test::File_Fault::Full_Disk, 0, ""}, false},
        {"full disk inside a run", {test::File_Fault::Full_Disk, 5000, ""}, false},
        {"full disk at a later run", {test::File_Fault::Full_Disk, 200000, ""}, false},
        {"read error", {test::File_Fault::Read_Error, 30000, ""}, true},
        {"short read", {test::File_Fault::Short_Read, 30000, ""}, true},
    };
    const auto items = Random_Items(60000, 20, 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::Faulty_Files files(c.fault);
        {
            auto space = std::make_shared<Spill_Space>(dir / "out.mdb", 16 << 10, files);
            Entry_Sorter sorter(space);
            try {
                for (const auto& item : items) sorter.Add(item.key, item.row);
                ASSERT_TRUE(c.when_reading) << "the writes should have failed";
                Read(sorter);
                FAIL() << "reading should have failed";
            } catch (const jet::Error& e) {
                EXPECT_TRUE(files.Struck());
                EXPECT_EQ(e.kind(), jet::Error_Kind::IO) << e.what();
                EXPECT_NE(std::string(e.what()).find(jet::Path_Text(space->Path())), std::string::npos) << e.what();
                if (!c.when_reading) {
                    EXPECT_TRUE(Files().empty()) << "a failed spill file goes at once";
                    EXPECT_THROW(sorter.Add(items[0].key, 0), jet::Error) << "and is not written again";
                }
            }
        }
        EXPECT_TRUE(Files().empty());
    }
}

}  // namespace
}  // namespace kelbrook
