// The engine's one exception type. Its message names the file and, where there is one,
// the page, and says what is wrong in words a user can act on. Its kind says what sort of
// failure it is, so that callers (and tests) decide on the kind, never on the words.
#pragma once

#include <stdexcept>
#include <string>

namespace kelbrook::jet {

enum class Error_Kind {
    Corrupt,      // the file is damaged or is not a Jet 4.0 database
    Not_Found,    // a file, table or column that was asked for is not there
    Exists,       // a file that must not be there is there
    In_Use,       // another program has the database open
    IO,           // the host refused a read, a write or a flush
    Password,     // the password given does not match the database's
    Unsupported,  // a sound file or a request that the engine does not handle
};

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, Error_Kind kind = Error_Kind::Corrupt)
        : std::runtime_error(message), kind_(kind) {}
    Error_Kind kind() const noexcept { return kind_; }

private:
    Error_Kind kind_;
};

// The password given does not match the database's.
class Password_Error : public Error {
public:
    Password_Error() : Error("Not a valid password.", Error_Kind::Password) {}
};

}  // namespace kelbrook::jet
