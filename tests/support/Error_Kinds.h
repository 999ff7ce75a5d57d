// Expecting the engine's errors by kind, not by their words:
//   EXPECT_JET_ERROR(Database(path), jet::Error_Kind::Not_Found);
// On failure the message says which kind came instead (and its text), or that nothing
// or something else was thrown.
#pragma once

#include <exception>
#include <string>

#include <gtest/gtest.h>

#include "jet/util/Error.h"

namespace kelbrook::testing {

inline const char* Kind_Name(jet::Error_Kind kind) {
    switch (kind) {
        case jet::Error_Kind::Corrupt: return "Corrupt";
        case jet::Error_Kind::Not_Found: return "Not_Found";
        case jet::Error_Kind::Exists: return "Exists";
        case jet::Error_Kind::In_Use: return "In_Use";
        case jet::Error_Kind::IO: return "IO";
        case jet::Error_Kind::Password: return "Password";
        case jet::Error_Kind::Unsupported: return "Unsupported";
    }
    return "unknown";
}

template <class Action>
::testing::AssertionResult Throws_Error(Action&& action, jet::Error_Kind kind) {
    try {
        action();
    } catch (const jet::Error& e) {
        if (e.kind() == kind) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw a " << Kind_Name(e.kind()) << " error instead of "
                                             << Kind_Name(kind) << ": " << e.what();
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw something other than jet::Error: " << e.what();
    }
    return ::testing::AssertionFailure() << "threw nothing; expected a " << Kind_Name(kind) << " error";
}

}  // namespace kelbrook::testing

#define EXPECT_JET_ERROR(statement, kind) EXPECT_TRUE(::kelbrook::testing::Throws_Error([&] { (void)(statement); }, kind))
