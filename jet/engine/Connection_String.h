// OLE DB connection strings as CompactDatabase takes them: `key=value` pairs separated by
// semicolons. Keys are matched without regard to case, spaces around keys and unquoted
// values are dropped, and a value may be quoted with " or ' (the quote doubled inside
// stands for itself). Only the keys the Jet provider honours for compaction are kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelbrook::jet {

inline constexpr const char* Jet_Provider = "Microsoft.Jet.OLEDB.4.0";
inline constexpr int Jet4_Engine_Type = 5;

struct Connection_Settings {
    std::optional<std::string> provider;           // Provider
    std::optional<std::string> data_source;        // Data Source
    std::optional<std::string> user_id;            // User ID
    std::optional<std::string> user_password;      // Password (of the user)
    std::optional<std::string> database_password;  // Jet OLEDB:Database Password
    std::optional<int> engine_type;                // Jet OLEDB:Engine Type
    std::optional<bool> encrypt;                   // Jet OLEDB:Encrypt Database
    std::optional<std::uint32_t> locale;           // Locale Identifier
};

// Splits and interprets the string. Throws Error when it is not well formed, or when one
// of the honoured keys carries a value that cannot be read (a number that is no number).
Connection_Settings Parse_Connection_String(const std::string& text);

// What the compactor takes from the source string once checked: Data Source present,
// provider Jet 4.0 or absent, user Admin with an empty user password.
struct Source_Request {
    std::string data_source;
    std::string password;               // the database password given (empty: none)
    std::optional<std::uint32_t> locale;
    std::optional<std::string> provider;
};

struct Destination_Request {
    std::string data_source;
    std::string password;               // the new file's password (empty: none)
    std::optional<bool> encrypt;        // absent: as the source
    std::optional<std::uint32_t> locale;  // absent: as the source
};

// Checks the keys that do not depend on the source file and returns the request. Throws
// Error naming the key at fault; user-level security is refused with its own message.
Source_Request Interpret_Source(const Connection_Settings& source);
Destination_Request Interpret_Destination(const Connection_Settings& destination,
                                          const Source_Request& source);

}  // namespace kelbrook::jet
