// The file interface on this host, mapped and read with pread alike: what a missing file,
// a folder, a taken name or a read past the end give; bytes written at offsets read back
// the same both ways; a mapped file cut short by another program gives an Error, never
// SIGBUS; and every page of every corpus file reads the same through the mapping, through
// pread, and after the Page_File that handed it out is gone. Writes through Output_File,
// held back and made in order of offset, leave the bytes they would one by one.
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <memory>
#include <numeric>
#include <random>

#include "Reader_Test_Util.h"
#include "support/Faulty_Files.h"
#include "jet/file/Crypto.h"
#include "jet/file/File_Io.h"
#include "jet/file/File_Output.h"
#include "jet/file/Page_File.h"
#include "jet/file/Page_Store.h"
#include "jet/generator/Generator.h"
#include "jet/util/Bytes.h"
#include "jet/util/Error.h"
#include "jet/util/Memory.h"

namespace reader_test {
namespace {

namespace jet = kelbrook::jet;

struct Host {
    const char* name;
    const jet::File_System& files;
    bool mapped;
};

std::vector<Host> Hosts() { return {{"mapped", jet::Host_Files_Mapped(), true}, {"pread", jet::Host_Files_Unmapped(), false}}; }

std::string Path_Text(const fs::path& p) {
    auto u8 = p.u8string();
    return std::string(u8.begin(), u8.end());
}

// The kind and text of the Error `run` throws; Corrupt and "" when it throws none.
std::pair<jet::Error_Kind, std::string> Failure_Of(const std::function<void()>& run) {
    try {
        run();
    } catch (const jet::Error& e) {
        return {e.kind(), e.what()};
    }
    ADD_FAILURE() << "no error";
    return {jet::Error_Kind::Corrupt, ""};
}

TEST(File_Io, Refusals_Name_The_File_And_Their_Kind) {
    Temp_Folder dir;
    Write_File(dir / "there.bin", "keep");
    Write_File(dir / "short.bin", std::string(100, 'x'));
    fs::create_directory(dir / "folder");
    for (const Host& host : Hosts()) {
        SCOPED_TRACE(host.name);
        struct Case {
            const char* what;
            fs::path path;
            std::function<void(const fs::path&)> run;
            jet::Error_Kind kind;
            std::string text;
        };
        const std::vector<Case> cases = {
            {"missing file", dir / "none.bin", [&](const fs::path& p) { host.files.Open_Read(p); },
             jet::Error_Kind::Not_Found, "the file does not exist"},
            {"folder", dir / "folder", [&](const fs::path& p) { host.files.Open_Read(p); }, jet::Error_Kind::Not_Found,
             "is a folder"},
            {"taken name", dir / "there.bin", [&](const fs::path& p) { host.files.Create(p); }, jet::Error_Kind::Exists,
             "already exists"},
            {"missing folder", dir / "no" / "new.bin", [&](const fs::path& p) { host.files.Create(p); },
             jet::Error_Kind::Not_Found, "Could not create"},
            {"flush of a missing file", dir / "none.bin", [&](const fs::path& p) { host.files.Open_Write(p); },
             jet::Error_Kind::Not_Found, "the file does not exist"},
            {"read past the end", dir / "short.bin",
             [&](const fs::path& p) {
                 std::vector<std::uint8_t> scratch(200);
                 host.files.Open_Read(p)->Read(50, 100, scratch.data());
             },
             jet::Error_Kind::IO, "ends early"},
            {"scattered read past the end", dir / "short.bin",
             [&](const fs::path& p) {
                 std::vector<std::uint8_t> a(40), b(100);
                 const std::vector<std::span<std::uint8_t>> pieces = {a, b};
                 host.files.Open_Read(p)->Read_Scattered(10, pieces);
             },
             jet::Error_Kind::IO, "ends early"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            const auto [kind, text] = Failure_Of([&] { c.run(c.path); });
            EXPECT_EQ(kind, c.kind) << text;
            EXPECT_NE(text.find(Path_Text(c.path)), std::string::npos) << text;
            EXPECT_NE(text.find(c.text), std::string::npos) << text;
        }
        EXPECT_EQ(Read_File(dir / "there.bin"), "keep");
    }
}

TEST(File_Io, Bytes_Written_At_Offsets_Read_Back_Both_Ways) {
    Temp_Folder dir;
    const fs::path path = dir / "out.bin";
    {
        auto out = jet::Host_Files().Create(path);
        const std::vector<std::uint8_t> tail(5000, 0xAB), head = {1, 2, 3};
        out->Write(20000, tail);  // the file grows; the gap reads as zeros
        out->Write(0, head);
        EXPECT_EQ(out->Size(), 25000u);
        std::vector<std::uint8_t> scratch(3);
        const auto back = out->Read(0, 3, scratch.data());
        EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.end()), head);
        out->Flush();
        out->Close();
        EXPECT_THROW(out->Flush(), jet::Error);
    }
    std::vector<std::uint8_t> expected(25000, 0);
    expected[0] = 1, expected[1] = 2, expected[2] = 3;
    std::fill(expected.begin() + 20000, expected.end(), 0xAB);
    for (const Host& host : Hosts()) {
        SCOPED_TRACE(host.name);
        auto in = host.files.Open_Read(path);
        EXPECT_EQ(in->In_Place(), host.mapped);
        EXPECT_EQ(in->Size(), expected.size());
        std::vector<std::uint8_t> scratch(expected.size());
        const auto all = in->Read(0, expected.size(), scratch.data());
        EXPECT_EQ(std::vector<std::uint8_t>(all.begin(), all.end()), expected);
        EXPECT_EQ(all.data() == scratch.data(), !host.mapped);
        // Memory given back to the host leaves what was handed out reading the same.
        in->Release_Memory();
        EXPECT_EQ(std::vector<std::uint8_t>(all.begin(), all.end()), expected);
    }
    // An empty file opens (it cannot be mapped) and reads nothing.
    Write_File(dir / "empty.bin", "");
    auto empty = jet::Host_Files_Mapped().Open_Read(dir / "empty.bin");
    EXPECT_EQ(empty->Size(), 0u);
    EXPECT_FALSE(empty->In_Place());
}

// What a sequence of writes leaves: the bytes of each, the later winning, zeros between.
struct Write_Op {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> Expected_Bytes(const std::vector<Write_Op>& writes) {
    std::vector<std::uint8_t> bytes;
    for (const auto& w : writes) {
        if (bytes.size() < w.offset + w.bytes.size()) bytes.resize(w.offset + w.bytes.size(), 0);
        std::copy(w.bytes.begin(), w.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(w.offset));
    }
    return bytes;
}

std::vector<std::uint8_t> Filled(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::mt19937 random(seed);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

TEST(File_Io, Held_Back_Writes_Leave_The_Bytes_Written_One_By_One) {
    constexpr std::size_t Page = 4096;
    // Pages in a shuffled order, past the amount held back, as the writer makes them.
    std::vector<Write_Op> shuffled;
    {
        std::vector<std::uint64_t> order(700);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        for (std::uint64_t page : order) shuffled.push_back({page * Page, Filled(Page, static_cast<std::uint32_t>(page))});
    }
    // Interleaved runs: three streams of pages, each in order.
    std::vector<Write_Op> streams;
    for (std::uint64_t k = 0; k < 300; ++k)
        for (std::uint64_t base : {0u, 1000u, 5000u}) streams.push_back({(base + k) * Page, Filled(Page, static_cast<std::uint32_t>(base + k))});
    const std::vector<std::pair<const char*, std::vector<Write_Op>>> cases = {
        {"pages shuffled", shuffled},
        {"three streams", streams},
        {"over one another, the later winning",
         {{100, Filled(500, 1)}, {300, Filled(50, 2)}, {0, Filled(120, 3)}, {90, Filled(20, 4)}, {580, {}}}},
        {"a large write among small ones",
         {{8, Filled(16, 5)}, {0, Filled(3u << 20, 6)}, {40, Filled(16, 7)}, {(3u << 20) + 10, Filled(10, 8)}}},
        {"odd sizes end to end", {{0, Filled(1, 9)}, {3, Filled(5, 10)}, {1, Filled(2, 11)}, {8, Filled(4093, 12)}}},
    };
    for (const auto& [what, writes] : cases) {
        SCOPED_TRACE(what);
        Temp_Folder dir;
        const fs::path path = dir / "out.bin";
        const auto expected = Expected_Bytes(writes);
        {
            jet::Output_File out(path);
            for (std::size_t i = 0; i < writes.size(); ++i) {
                out.Write(writes[i].offset, writes[i].bytes);
                if (i == writes.size() / 2) {  // a read in between sees what was written so far
                    const auto so_far = Expected_Bytes({writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(i + 1)});
                    ASSERT_EQ(out.Size(), so_far.size());
                    std::vector<std::uint8_t> scratch(so_far.size());
                    const auto back = out.Read(0, so_far.size(), scratch.data());
                    ASSERT_TRUE(std::equal(back.begin(), back.end(), so_far.begin()));
                }
            }
            out.Finish();
        }
        EXPECT_EQ(Read_File(path).size(), expected.size());
        const std::string back = Read_File(path);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), expected.begin(),
                               [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    }
}

// Writeback is asked for once per Writeback_Every bytes, each time only for bytes that
// have left the held-back writes for the host (else there is nothing yet to put on the
// disk), and the bytes are those written, pages out of order and large writes alike.
TEST(File_Io, Writeback_Is_Asked_For_Bytes_Already_Written) {
    Temp_Folder dir;
    const fs::path path = dir / "out.bin";
    constexpr std::uint64_t every = jet::Output_File::Writeback_Every;
    constexpr std::size_t page = 4096, block = 256;  // pages written in blocks, last page first
    const std::uint64_t size = 2 * every + (3u << 20);
    const kelbrook::test::Faulty_Files files({kelbrook::test::File_Fault::Full_Disk, UINT64_MAX});  // never strikes
    std::vector<std::uint8_t> bytes(size);
    for (std::uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131) >> 9);
    {
        jet::Output_File out(path, files);
        std::uint64_t at = 0;
        for (std::uint64_t n = 0; at < size; ++n) {
            if (n % 5 == 4) {  // now and then one write larger than those held back
                const std::size_t large = std::min<std::uint64_t>(size - at, 2u << 20);
                out.Write(at, std::span(bytes).subspan(at, large));
                at += large;
                continue;
            }
            const std::uint64_t count = std::min<std::uint64_t>((size - at) / page, block);
            for (std::uint64_t k = count; k-- > 0;) out.Write(at + k * page, std::span(bytes).subspan(at + k * page, page));
            at += count * page;
        }
        out.Finish();
    }
    const auto asked = files.Writeback_Asked();
    ASSERT_EQ(asked.size(), size / every);
    for (std::size_t k = 0; k < asked.size(); ++k) EXPECT_GE(asked[k], (k + 1) * every) << k;
    const std::string back = Read_File(path);
    ASSERT_EQ(back.size(), size);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), bytes.begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
}

TEST(File_Io, Gathered_Writes_And_Room_Set_Aside) {
    Temp_Folder dir;
    // More pieces than one call of the host takes, some empty, of every size.
    std::vector<std::vector<std::uint8_t>> pieces;
    for (std::uint32_t i = 0; i < 2500; ++i) pieces.push_back(Filled(i % 7 == 0 ? 0 : (i * 37) % 5000 + 1, i));
    std::vector<std::span<const std::uint8_t>> spans(pieces.begin(), pieces.end());
    std::vector<std::uint8_t> expected(123, 0);
    for (const auto& p : pieces) expected.insert(expected.end(), p.begin(), p.end());
    {
        auto out = jet::Host_Files().Create(dir / "gathered.bin");
        out->Reserve(expected.size() + 100000);  // room set aside reads as zeros until written
        const std::uint64_t reserved = out->Size();  // 0 where the host sets no room aside
        EXPECT_TRUE(reserved == 0 || reserved == expected.size() + 100000) << reserved;
        out->Write_Gathered(123, spans);
        out->Write_Gathered(0, {});
        out->Close();
    }
    const std::string back = Read_File(dir / "gathered.bin");
    ASSERT_GE(back.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), back.begin(),
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    EXPECT_TRUE(std::all_of(back.begin() + static_cast<std::ptrdiff_t>(expected.size()), back.end(),
                            [](char c) { return c == 0; }));
}

// Scattered reads fill their pieces as one read of them joined: more pieces than one call
// of the host takes, some empty, of every size, from a descriptor, a mapping, and a file
// that only knows Read.
TEST(File_Io, Scattered_Reads_Fill_Each_Piece_In_Turn) {
    Temp_Folder dir;
    std::string stored(3'000'000, '\0');
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<char>((i * 131) >> 3);
    Write_File(dir / "scattered.bin", stored);
    struct Only_Read final : jet::Read_File {  // the default Read_Scattered, over Read
        explicit Only_Read(std::unique_ptr<jet::Read_File> inner) : Read_File(inner->Name()), inner_(std::move(inner)) {}
        std::uint64_t Size() const override { return inner_->Size(); }
        std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const override {
            return inner_->Read(offset, count, scratch);
        }
        std::unique_ptr<jet::Read_File> inner_;
    };
    for (const Host& host : Hosts())
        for (const bool only_read : {false, true}) {
            SCOPED_TRACE(std::string(host.name) + (only_read ? ", Read only" : ""));
            std::unique_ptr<jet::Read_File> in = host.files.Open_Read(dir / "scattered.bin");
            if (only_read) in = std::make_unique<Only_Read>(std::move(in));
            std::vector<std::vector<std::uint8_t>> buffers;
            for (std::uint32_t i = 0; i < 2100; ++i) buffers.emplace_back(i % 9 == 0 ? 0 : (i * 53) % 2000 + 1, 0xEE);
            const std::vector<std::span<std::uint8_t>> pieces(buffers.begin(), buffers.end());
            const std::uint64_t offset = 777;
            in->Read_Scattered(offset, pieces);
            std::size_t at = offset;
            for (std::size_t i = 0; i < buffers.size(); ++i) {
                ASSERT_TRUE(std::equal(buffers[i].begin(), buffers[i].end(), stored.begin() + static_cast<std::ptrdiff_t>(at),
                                       [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
                    << "piece " << i;
                at += buffers[i].size();
            }
            in->Read_Scattered(0, {});
        }
}

// Another program cuts the file short while it is mapped: the next read fails with an
// Error, pages touched before read as zeros instead of raising SIGBUS.
TEST(File_Io, A_Mapped_File_Cut_Short_Gives_An_Error) {
    Temp_Folder dir;
    const fs::path path = dir / "cut.bin";
    Write_File(path, std::string(16 * 4096, 'k'));
    auto in = jet::Host_Files_Mapped().Open_Read(path);
    ASSERT_TRUE(in->In_Place());
    const auto late = in->Read(12 * 4096, 4096, nullptr);
    EXPECT_EQ(late[0], 'k');
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    const auto [kind, text] = Failure_Of([&] { in->Read(8 * 4096, 4096, nullptr); });
    EXPECT_EQ(kind, jet::Error_Kind::IO);
    EXPECT_NE(text.find(Path_Text(path)), std::string::npos) << text;
    EXPECT_NE(text.find("cut short"), std::string::npos) << text;
    EXPECT_EQ(late[100], 0) << "the lost page reads as zeros";
    // What is still there reads as before; the file stays marked as cut short.
    EXPECT_THROW(in->Read(0, 4096, nullptr), jet::Error);
}

TEST(File_Io, A_Database_Cut_Short_While_Open_Gives_An_Error) {
    REQUIRE_CORPUS();
    Temp_Folder dir;
    const fs::path path = dir / "db.mdb";
    fs::copy_file(Corpus() / "testV2000.mdb", path);
    jet::Page_File mapped(path, {}, jet::Host_Files_Mapped());
    jet::Page_File read(path, {}, jet::Host_Files_Unmapped());
    const std::uint32_t last = mapped.Page_Count() - 1;
    ASSERT_GT(last, 4u);
    ASSERT_EQ(::truncate(path.c_str(), 4 * 4096), 0);
    for (const jet::Page_File* file : {&mapped, &read}) {
        SCOPED_TRACE(file == &mapped ? "mapped" : "pread");
        const auto [kind, text] = Failure_Of([&] { file->Read(last); });
        EXPECT_EQ(kind, jet::Error_Kind::IO);
        EXPECT_NE(text.find(Path_Text(path)), std::string::npos) << text;
    }
}

TEST(File_Io, Corpus_Pages_Read_The_Same_Mapped_And_With_Pread) {
    REQUIRE_CORPUS();
    for (const auto& f : Corpus_Files()) {
        SCOPED_TRACE(f);
        std::vector<jet::Page_Ref> held;
        {
            jet::Page_File mapped(Corpus() / f, {}, jet::Host_Files_Mapped());
            jet::Page_File read(Corpus() / f, {}, jet::Host_Files_Unmapped());
            ASSERT_EQ(mapped.Page_Count(), read.Page_Count());
            // Backwards and forwards, so that both the read-ahead runs and single pages are used.
            for (std::uint32_t p = mapped.Page_Count(); p-- > 0;) {
                const auto a = mapped.Read(p), b = read.Read(p);
                ASSERT_EQ(*a, *b) << "page " << p;
                EXPECT_EQ(mapped.Data_Page_Table(p), read.Data_Page_Table(p)) << "page " << p;
                held.push_back(a);
            }
            for (std::uint32_t p = 0; p < mapped.Page_Count(); ++p) ASSERT_EQ(*mapped.Read(p), *read.Read(p));
        }
        // The pages handed out stay whole after their Page_File is gone.
        jet::Page_File again(Corpus() / f, {}, jet::Host_Files_Unmapped());
        for (std::uint32_t p = 0; p < again.Page_Count(); ++p)
            ASSERT_EQ(*held[again.Page_Count() - 1 - p], *again.Read(p)) << "page " << p;
    }
}

// The bytes of `path`'s mappings resident in this process (/proc/self/smaps); nothing
// where the host does not tell.
std::optional<std::uint64_t> Mapped_Resident_Bytes(const fs::path& path) {
    std::ifstream smaps("/proc/self/smaps");
    if (!smaps) return std::nullopt;
    const std::string name = path.string();
    std::uint64_t total = 0;
    bool in_file = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind("Rss:", 0) == 0) {
            if (in_file) total += std::stoull(line.substr(4)) * 1024;
        } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                   line.find(' ') > line.find('-')) {  // a mapping's first line ends with its file
            in_file = line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0;
        }
    }
    return total;
}

// Walks every page of `file`, which is mapped from `path`: the most of the mapping ever
// resident stays within a few megabytes, whatever the file's size.
void Expect_Few_Pages_Resident(const jet::Page_File& file, const fs::path& path,
                               const std::function<void(std::uint32_t, const jet::Page_Ref&)>& each = {}) {
    std::uint64_t most = 0;
    bool told = true;
    for (std::uint32_t p = 0; p < file.Page_Count(); ++p) {
        const jet::Page_Ref page = file.Read(p);
        if (each) each(p, page);
        if (p % 64 != 0) continue;
        const auto resident = Mapped_Resident_Bytes(path);
        told = told && resident.has_value();
        most = std::max(most, resident.value_or(0));
    }
    if (!told) return;  // a host without /proc
    EXPECT_GT(most, 0u) << "the file's mapping was not found";
    EXPECT_LE(most, std::uint64_t{4} << 20) << "resident, of a file of " << fs::file_size(path) << " bytes";
}

// A walk over a file larger than the mapping keeps resident, or than the cache of pages
// read with pread: pages held from early in the walk still read as the same pages read
// the other way at the end.
TEST(File_Io, Pages_Held_Across_A_Long_Walk_Stay_The_Same) {
    Temp_Folder dir;
    const fs::path path = dir / "large.mdb";
    jet::Generate_Options options;
    options.profile = "instrument-history";
    options.rows = 20000;
    jet::Generate_Database(options, path);
    jet::Page_File mapped(path, {}, jet::Host_Files_Mapped());
    jet::Page_File read(path, {}, jet::Host_Files_Unmapped());
    ASSERT_GT(mapped.Page_Count(), 3000u) << "too small to make the mapping give memory back";
    std::vector<std::pair<std::uint32_t, jet::Page_Ref>> held;
    Expect_Few_Pages_Resident(mapped, fs::canonical(path), [&](std::uint32_t p, const jet::Page_Ref& page) {
        if (p % 97 == 0) held.emplace_back(p, page);
    });
    for (const auto& [p, page] : held) ASSERT_EQ(*page, *read.Read(p)) << "page " << p;
    held.clear();
    for (std::uint32_t p = 0; p < read.Page_Count(); ++p) {
        const jet::Page_Ref page = read.Read(p);
        if (p % 97 == 0) held.emplace_back(p, page);
    }
    for (const auto& [p, page] : held) ASSERT_EQ(*page, *mapped.Read(p)) << "page " << p << ", read with pread";
}

// An encoded file's pages are decoded into buffers from the mapping, which gives back its
// memory all the same.
TEST(File_Io, A_Walk_Over_An_Encoded_File_Keeps_Few_Pages_Resident) {
    Temp_Folder dir;
    const fs::path path = Generated(dir, "encoded.mdb", "instrument-history", 10000, true);
    const jet::Page_File file(path, {}, jet::Host_Files_Mapped());
    ASSERT_GT(file.Page_Count(), 1800u) << "too small to tell";
    ASSERT_NE(file.Header().database_key, 0u);
    Expect_Few_Pages_Resident(file, path);
}

// An encoded file read in any order gives each page as decoding it alone does: pages
// read ahead wait as stored until they are asked for, and are decoded two at a time.
TEST(File_Io, Encoded_Pages_Read_In_Any_Order_Decode_Alike) {
    Temp_Folder dir;
    const fs::path path = Generated(dir, "encoded.mdb", "instrument-history", 3000, true, 0.3);
    const std::string stored = Read_File(path);
    const std::uint32_t pages = static_cast<std::uint32_t>(stored.size() / jet::format::Page_Size);
    ASSERT_GT(pages, 600u) << "too small to tell";
    const jet::Page_File header(path);
    const std::uint32_t key = header.Header().database_key;
    ASSERT_NE(key, 0u);
    auto decoded = [&](std::uint32_t p) {
        jet::Page page;
        std::memcpy(page.data(), stored.data() + std::size_t{p} * page.size(), page.size());
        jet::Apply_Page_Encoding(page, key, p);
        return page;
    };
    std::mt19937 random(3);
    std::vector<std::uint32_t> forward, backward, strided, scattered;
    for (std::uint32_t p = 1; p < pages; ++p) forward.push_back(p);
    backward.assign(forward.rbegin(), forward.rend());
    for (std::uint32_t p = 1; p < pages; p += 3) strided.push_back(p);        // skips two of each three read ahead
    for (std::uint32_t p = 1; p < pages; p += 2) strided.push_back(p);        // then those it skipped, and again
    for (int n = 0; n < 3000; ++n) scattered.push_back(1 + static_cast<std::uint32_t>(random() % (pages - 1)));
    const std::vector<std::pair<const char*, const std::vector<std::uint32_t>*>> orders = {
        {"forward", &forward}, {"backward", &backward}, {"strided", &strided}, {"scattered", &scattered}};
    for (const Host& host : Hosts())
        for (const auto& [name, order] : orders) {
            SCOPED_TRACE(std::string(host.name) + ", " + name);
            const jet::Page_File file(path, {}, host.files);
            for (const std::uint32_t p : *order) {
                ASSERT_EQ(*file.Read(p), decoded(p)) << "page " << p;
                const jet::Page page = decoded(p);
                const std::uint32_t owner = jet::Get_U32(page, jet::format::Data_Tdef_Page);
                const bool data = page[jet::format::Page_Type] == jet::format::Page_Type_Data &&
                                  owner <= jet::format::Max_Page_Number;  // not a long-value page
                ASSERT_EQ(file.Data_Page_Table(p), data ? owner : jet::Page_File::No_Table) << "page " << p;
            }
        }
}

// A read that fails part way through a run leaves none of the run's pages behind as read:
// once the host reads again, every page reads as it is stored, encoded or not.
TEST(File_Io, A_Read_That_Failed_Leaves_No_Page_Behind) {
    struct Fails_Once final : jet::File_System {  // the read of `strike` bytes into a run fails, once
        struct Reader final : jet::Read_File {
            Reader(std::unique_ptr<jet::Read_File> inner, std::uint64_t& read, const std::uint64_t& strike)
                : Read_File(inner->Name()), inner_(std::move(inner)), read_(read), strike_(strike) {}
            std::uint64_t Size() const override { return inner_->Size(); }
            std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const override {
                const std::uint64_t before = read_;
                read_ += count;
                if (before < strike_ && read_ >= strike_) {
                    scratch[0] ^= 0xFF;  // what a failed read leaves in the buffer
                    throw jet::Error(Name() + ": the disk could not be read", jet::Error_Kind::IO);
                }
                return inner_->Read(offset, count, scratch);
            }
            std::unique_ptr<jet::Read_File> inner_;
            std::uint64_t& read_;
            const std::uint64_t& strike_;
        };
        std::unique_ptr<jet::Read_File> Open_Read(const fs::path& path) const override {
            return std::make_unique<Reader>(jet::Host_Files_Unmapped().Open_Read(path), read, strike);
        }
        std::unique_ptr<jet::Write_File> Create(const fs::path& path) const override { return jet::Host_Files().Create(path); }
        std::unique_ptr<jet::Write_File> Open_Write(const fs::path& path) const override {
            return jet::Host_Files().Open_Write(path);
        }
        mutable std::uint64_t read = 0;
        std::uint64_t strike = 0;
    };
    Temp_Folder dir;
    for (const bool encrypt : {false, true}) {
        SCOPED_TRACE(encrypt ? "encoded" : "not encoded");
        const fs::path path = Generated(dir, encrypt ? "encoded.mdb" : "plain.mdb", "instrument-data", 2000, encrypt);
        const jet::Page_File truth(path, {}, jet::Host_Files_Unmapped());
        Fails_Once files;
        const jet::Page_File file(path, {}, files);
        files.strike = files.read + 11 * jet::format::Page_Size + 100;  // within the run read ahead after page 1
        ASSERT_EQ(*file.Read(1), *truth.Read(1));
        EXPECT_THROW(file.Read(2), jet::Error);
        for (std::uint32_t p = 2; p < std::min<std::uint32_t>(file.Page_Count(), 200); ++p)
            ASSERT_EQ(*file.Read(p), *truth.Read(p)) << "page " << p;
    }
}

// Pages written two at a time are stored as those written one by one.
TEST(File_Io, Page_Store_Writes_Two_As_One_By_One) {
    Temp_Folder dir;
    const std::uint32_t key = 0x0BADF00D;
    auto write = [&](const fs::path& path, bool two) {
        auto out = jet::Host_Files().Create(path);
        jet::Page_Store store(*out, key);
        std::vector<std::vector<std::uint8_t>> pages;
        for (std::uint8_t n = 0; n < 5; ++n) pages.emplace_back(jet::format::Page_Size, static_cast<std::uint8_t>(0x30 + n));
        if (two) {
            store.Write_Two(3, pages[3], 0, pages[0]);
            store.Write_Two(1, pages[1], 4, pages[4]);
            store.Write(2, pages[2]);
        } else {
            for (std::uint32_t n = 0; n < 5; ++n) store.Write(n, pages[n]);
        }
        out->Close();
        return Read_File(path);
    };
    const std::string two = write(dir / "two.bin", true), one = write(dir / "one.bin", false);
    EXPECT_EQ(two.size(), 5 * jet::format::Page_Size);
    EXPECT_TRUE(two == one);
}

// Pages written through a store with a database key are stored encoded and read back
// decoded; page 0 is never encoded.
TEST(File_Io, Page_Store_Encodes_Once_Each_Way) {
    Temp_Folder dir;
    const fs::path path = dir / "pages.bin";
    const std::uint32_t key = 0x12345678;
    std::vector<std::vector<std::uint8_t>> pages;
    for (std::uint8_t n = 0; n < 3; ++n) pages.emplace_back(jet::format::Page_Size, static_cast<std::uint8_t>(0x40 + n));
    {
        auto out = jet::Host_Files().Create(path);
        jet::Page_Store store(*out, key);
        for (std::uint32_t n = 3; n-- > 0;) {
            auto copy = pages[n];
            store.Write(n, copy);
        }
        out->Close();
    }
    const std::string stored = Read_File(path);
    ASSERT_EQ(stored.size(), 3 * jet::format::Page_Size);
    EXPECT_EQ(stored.substr(0, 4096), std::string(4096, '\x40'));
    EXPECT_NE(stored.substr(4096, 4096), std::string(4096, '\x41'));
    for (const Host& host : Hosts()) {
        SCOPED_TRACE(host.name);
        auto in = host.files.Open_Read(path);
        jet::Page_Store store(*in, key);
        EXPECT_FALSE(store.In_Place());
        EXPECT_EQ(store.Page_Count(), 3u);
        std::vector<std::uint8_t> scratch(3 * jet::format::Page_Size);
        const auto all = store.Read(0, 3, scratch.data());
        for (std::uint32_t n = 0; n < 3; ++n)
            EXPECT_TRUE(std::equal(pages[n].begin(), pages[n].end(), all.begin() + n * jet::format::Page_Size)) << n;
        jet::Page_Store plain(*in, 0);
        EXPECT_EQ(plain.In_Place(), host.mapped);
    }
}

// The process's anonymous memory resident now (/proc/self/status); nothing where the host
// does not tell.
std::optional<std::uint64_t> Anonymous_Resident_Bytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; status && std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0) return std::stoull(line.substr(8)) * 1024;
    return std::nullopt;
}

// A large block freed goes back to the host at once, even after a larger one was freed
// (which by glibc's default makes blocks of up to its size stay in the process).
TEST(Memory, Large_Blocks_Go_Back_When_Freed) {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the heap is not glibc's (an address sanitizer keeps freed blocks)";
#endif
    jet::Return_Large_Blocks_Promptly();
    if (!Anonymous_Resident_Bytes()) GTEST_SKIP() << "the host does not tell a process's resident memory";
    auto touch_and_free = [](std::size_t bytes) {
        std::unique_ptr<char[]> block(new char[bytes]);
        volatile char* at = block.get();
        for (std::size_t k = 0; k < bytes; k += 4096) at[k] = 1;
    };
    touch_and_free(std::size_t{16} << 20);
    const std::uint64_t before = *Anonymous_Resident_Bytes();
    for (std::size_t mib : {2, 4, 6, 8}) touch_and_free(mib << 20);
    EXPECT_LT(*Anonymous_Resident_Bytes(), before + (std::uint64_t{1} << 20));
}

}  // namespace
}  // namespace reader_test
