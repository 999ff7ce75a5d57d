// What a test does when the sample databases are not beside the checkout: it skips with the
// reason where a developer runs it, and fails under CI, where the corpus is always laid out.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kelbrook::testing {

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
