// The engine's one exception type. Its message names the file and, where there is one,
// the page, and says what is wrong in words a user can act on.
#pragma once

#include <stdexcept>
#include <string>

namespace kelbrook::jet {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The password given does not match the database's.
class Password_Error : public Error {
public:
    Password_Error() : Error("Not a valid password.") {}
};

}  // namespace kelbrook::jet
