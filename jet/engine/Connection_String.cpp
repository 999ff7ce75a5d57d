#include "jet/engine/Connection_String.h"

#include <cctype>
#include <charconv>
#include <string_view>

#include "jet/util/Error.h"

namespace kelbrook::jet {

namespace {

const char* const Format_Message =
    "Format of the initialization string does not conform to the OLE DB specification.";

bool Is_Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && Is_Space(s.front())) s.remove_prefix(1);
    while (!s.empty() && Is_Space(s.back())) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Collapses runs of inner spaces so that "Data  Source" and "data source" match.
std::string Normal_Key(std::string_view key) {
    std::string out;
    bool space = false;
    for (char c : Trim(key)) {
        if (Is_Space(c)) {
            space = true;
            continue;
        }
        if (space && !out.empty()) out += ' ';
        space = false;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool Parse_Bool(const std::string& key, const std::string& value) {
    const std::string v = Lower(Trim(value));
    if (v == "true" || v == "yes" || v == "-1" || v == "1") return true;
    if (v == "false" || v == "no" || v == "0") return false;
    throw Error("The connection string gives '" + value + "' for " + key +
                "; expected True or False.", Error_Kind::Unsupported);
}

long long Parse_Number(const std::string& key, const std::string& value) {
    const std::string_view v = Trim(value);
    long long n = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec != std::errc() || end != v.data() + v.size() || v.empty())
        throw Error("The connection string gives '" + value + "' for " + key +
                    "; expected a number.", Error_Kind::Unsupported);
    return n;
}

bool Same_Text_Case_Blind(std::string_view a, std::string_view b) {
    return Lower(Trim(a)) == Lower(Trim(b));
}

}  // namespace

Connection_Settings Parse_Connection_String(const std::string& text) {
    Connection_Settings settings;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Key: up to '=' (a doubled "==" stands for an '=' inside the key).
        std::string key;
        while (i < n && Is_Space(text[i])) ++i;
        if (i < n && text[i] == ';') {
            ++i;  // empty pair
            continue;
        }
        if (i >= n) break;
        bool have_equals = false;
        while (i < n) {
            if (text[i] == '=') {
                if (i + 1 < n && text[i + 1] == '=') {
                    key += '=';
                    i += 2;
                    continue;
                }
                have_equals = true;
                ++i;
                break;
            }
            if (text[i] == ';') break;
            key += text[i++];
        }
        if (!have_equals || Trim(key).empty()) throw Error(Format_Message, Error_Kind::Unsupported);

        // Value: quoted, or up to the next ';'.
        while (i < n && Is_Space(text[i])) ++i;
        std::string value;
        if (i < n && (text[i] == '"' || text[i] == '\'')) {
            const char quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                value += text[i++];
            }
            if (!closed) throw Error(Format_Message, Error_Kind::Unsupported);
            while (i < n && Is_Space(text[i])) ++i;
            if (i < n && text[i] != ';') throw Error(Format_Message, Error_Kind::Unsupported);
            if (i < n) ++i;
        } else {
            const std::size_t end = text.find(';', i);
            const std::size_t stop = end == std::string::npos ? n : end;
            value = std::string(Trim(std::string_view(text).substr(i, stop - i)));
            i = end == std::string::npos ? n : end + 1;
        }

        const std::string k = Normal_Key(key);
        const std::string shown(Trim(key));
        if (k == "provider") {
            settings.provider = value;
        } else if (k == "data source") {
            settings.data_source = value;
        } else if (k == "user id") {
            settings.user_id = value;
        } else if (k == "password") {
            settings.user_password = value;
        } else if (k == "jet oledb:database password") {
            settings.database_password = value;
        } else if (k == "jet oledb:engine type") {
            const long long type = Parse_Number(shown, value);
            settings.engine_type = static_cast<int>(type < -1000000 ? -1000000
                                                    : type > 1000000 ? 1000000
                                                                     : type);
        } else if (k == "jet oledb:encrypt database") {
            settings.encrypt = Parse_Bool(shown, value);
        } else if (k == "locale identifier") {
            const long long lcid = Parse_Number(shown, value);
            if (lcid < 0 || lcid > 0xFFFFFFFFLL)
                throw Error("The connection string gives '" + value + "' for " + shown +
                            "; that is not a locale identifier.", Error_Kind::Unsupported);
            settings.locale = static_cast<std::uint32_t>(lcid);
        }
        // Every other key is accepted and ignored, as the provider does for keys it does
        // not need to compact.
    }
    return settings;
}

namespace {

void Check_Provider(const std::optional<std::string>& provider) {
    if (provider && !Same_Text_Case_Blind(*provider, Jet_Provider))
        throw Error("The provider '" + *provider + "' is not supported; only " +
                    std::string(Jet_Provider) + " databases can be compacted.", Error_Kind::Unsupported);
}

void Check_User(const Connection_Settings& s) {
    if (s.user_id && !Trim(*s.user_id).empty() && !Same_Text_Case_Blind(*s.user_id, "Admin"))
        throw Error("User-level security is not supported: only the user Admin can open the "
                    "database, but the connection string names the user '" + *s.user_id + "'.", Error_Kind::Unsupported);
    if (s.user_password && !s.user_password->empty())
        throw Error("User-level security is not supported: the user Admin has no password, "
                    "but the connection string gives one. Use 'Jet OLEDB:Database Password' "
                    "for the database password.", Error_Kind::Unsupported);
}

}  // namespace

Source_Request Interpret_Source(const Connection_Settings& source) {
    Check_Provider(source.provider);
    if (!source.data_source || Trim(*source.data_source).empty())
        throw Error("The source connection string names no database (Data Source is missing).", Error_Kind::Unsupported);
    Check_User(source);
    Source_Request r;
    r.data_source = *source.data_source;
    r.password = source.database_password.value_or("");
    r.locale = source.locale;
    r.provider = source.provider;
    return r;
}

Destination_Request Interpret_Destination(const Connection_Settings& destination,
                                          const Source_Request& source) {
    Check_Provider(destination.provider);
    const std::string source_provider = source.provider.value_or(Jet_Provider);
    const std::string destination_provider = destination.provider.value_or(Jet_Provider);
    if (!Same_Text_Case_Blind(source_provider, destination_provider))
        throw Error("The source and destination connection strings name different providers ('" +
                    source_provider + "' and '" + destination_provider + "').", Error_Kind::Unsupported);
    if (!destination.data_source || Trim(*destination.data_source).empty())
        throw Error(
            "The destination connection string names no database (Data Source is missing).", Error_Kind::Unsupported);
    Check_User(destination);
    if (destination.engine_type && *destination.engine_type != Jet4_Engine_Type)
        throw Error("Engine type " + std::to_string(*destination.engine_type) +
                    " is not supported for the new database; only 5 (Jet 4.0) can be written.", Error_Kind::Unsupported);
    Destination_Request r;
    r.data_source = *destination.data_source;
    r.password = destination.database_password.value_or("");
    r.encrypt = destination.encrypt;
    r.locale = destination.locale;
    return r;
}

}  // namespace kelbrook::jet
