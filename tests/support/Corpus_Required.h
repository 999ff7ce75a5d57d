// What a test does when the sample databases are not beside the checkout: it skips with the
// reason where a developer runs it, and fails under CI, where the corpus is always laid out.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kelbrook::testing {

// The sample databases as this test process's own: a folder of links to (or, across file
// systems, copies of) the shared files. Compaction holds its source the way Jet does, with
// a lock file beside it, so two test processes compacting the same sample at once would
// find it in use; each process therefore works in its own folder, and none writes beside
// the shared samples. The folder goes when the process ends. Where the shared folder is
// absent it is returned as it is, so that the tests can say so.
inline std::filesystem::path Private_Corpus(const std::filesystem::path& shared) {
    namespace fs = std::filesystem;
    struct Folder {
        fs::path path;
        ~Folder() {
            std::error_code ignored;
            if (!path.empty()) fs::remove_all(path, ignored);
        }
    };
    static Folder folder;
    if (!folder.path.empty()) return folder.path;
    std::error_code ec;
    if (!fs::is_directory(shared, ec)) return shared;
    std::string name = (fs::temp_directory_path() / "kelbrook-corpus-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) return shared;
    folder.path = name;
    for (const auto& entry : fs::directory_iterator(shared, ec)) {
        const fs::path target = folder.path / entry.path().filename();
        std::error_code link_failed;
        fs::create_hard_link(entry.path(), target, link_failed);
        if (link_failed) fs::copy_file(entry.path(), target, ec);
    }
    return folder.path;
}

inline bool Running_Under_CI() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::string(ci) != "0" && std::string(ci) != "false";
}

}  // namespace kelbrook::testing

// Skips the current test (or fails it under CI) when `present` is false.
#define KELBROOK_CORPUS_OR_SKIP(present, reason)                                  \
    do {                                                                          \
        if (!(present)) {                                                         \
            if (::kelbrook::testing::Running_Under_CI()) FAIL() << (reason);      \
            GTEST_SKIP() << (reason);                                             \
        }                                                                         \
    } while (0)
