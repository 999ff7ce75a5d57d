// A database engine for tests: records every CompactDatabase call and does what the test
// chose: copy the source file to the destination (like a compaction that changes nothing
// but the file), run a given function, fail with a given description, or write part of
// the destination and then fail (an engine that dies half-way).
//
//   auto log = std::make_shared<testing::Engine_Log>();
//   auto engine = std::make_unique<testing::Engine_Double>(testing::Engine_Double::Copying(), log);
//
// Data Source texts are C: paths, reached through the drive mapping like the real engine.
#pragma once

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/Database_Engine.h"
#include "platform/Drive_Mapping.h"

namespace kelbrook::testing {

struct Engine_Call {
    std::string source;
    std::string destination;
};

struct Engine_Log {
    std::vector<Engine_Call> calls;
};

// The engine's own failure, as Jet words them.
class Engine_Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The Data Source value of a connection string (key matched without regard to case).
inline std::string Data_Source_Of(const std::string& connection) {
    std::string lower = connection;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string key = "data source=";
    const std::size_t at = lower.find(key);
    if (at == std::string::npos) return {};
    const std::size_t begin = at + key.size();
    const std::size_t end = connection.find(';', begin);
    return connection.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

inline std::string Read_Whole_File(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Engine_Double final : public platform::Database_Engine {
public:
    using Action = std::function<void(const std::string& source, const std::string& destination)>;

    explicit Engine_Double(Action action, std::shared_ptr<Engine_Log> log = std::make_shared<Engine_Log>())
        : action_(std::move(action)), log_(std::move(log)) {}

    const Engine_Log& Log() const { return *log_; }

    void CompactDatabase(const std::string& source, const std::string& destination) override {
        log_->calls.push_back({source, destination});
        action_(source, destination);
    }

    // Writes the source file's content, followed by suffix, as the destination file;
    // fails as Jet does when the source is missing or the destination already exists.
    static Action Copying(std::string suffix = {}) {
        return [suffix](const std::string& source, const std::string& destination) {
            const std::string from_text = Data_Source_Of(source);
            const std::string to_text = Data_Source_Of(destination);
            const std::filesystem::path from = platform::To_Host_Path(from_text);
            const std::filesystem::path to = platform::To_Host_Path(to_text);
            if (!std::filesystem::is_regular_file(from)) {
                throw Engine_Failure("Could not find file '" + from_text + "'.");
            }
            if (std::filesystem::exists(to)) throw Engine_Failure("Database already exists.");
            std::ofstream out(to, std::ios::binary);
            out << Read_Whole_File(from) << suffix;
            if (!out.flush()) throw Engine_Failure("Disk or network error.");
        };
    }

    static Action Failing(std::string description) {
        return [description](const std::string&, const std::string&) { throw Engine_Failure(description); };
    }

    // Leaves the first half of the source as the destination, then fails.
    static Action Failing_Half_Way(std::string description) {
        return [description](const std::string& source, const std::string& destination) {
            const std::string content = Read_Whole_File(platform::To_Host_Path(Data_Source_Of(source)));
            std::ofstream out(platform::To_Host_Path(Data_Source_Of(destination)), std::ios::binary);
            out << content.substr(0, content.size() / 2);
            out.close();
            throw Engine_Failure(description);
        };
    }

    // Fails the calls listed (counting from 1) and copies on the others.
    static Action Failing_Calls(std::vector<int> failing, std::string description, std::string suffix = {}) {
        auto count = std::make_shared<int>(0);
        Action copy = Copying(std::move(suffix));
        return [failing, description, count, copy](const std::string& source, const std::string& destination) {
            ++*count;
            for (int n : failing) {
                if (n == *count) throw Engine_Failure(description);
            }
            copy(source, destination);
        };
    }

    std::unique_ptr<platform::Database_Hold> Hold_Exclusive(const std::string&) override {
        return std::make_unique<platform::Database_Hold>();
    }
    void Verify_Database(const std::string&) override {}

private:
    Action action_;
    std::shared_ptr<Engine_Log> log_;
};

}  // namespace kelbrook::testing
