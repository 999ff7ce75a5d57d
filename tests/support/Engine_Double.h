// A database engine for tests: records every CompactDatabase call and does what the test
// chose: copy the source file to the destination (like a compaction that changes nothing
// but the file), run a given function, fail with a given description, or write part of
// the destination and then fail (an engine that dies half-way).
//
//   auto log = std::make_shared<testing::Engine_Log>();
//   auto engine = std::make_unique<testing::Engine_Double>(testing::Engine_Double::Copying(), log);
//
// Exclusive holds are kept in an Engine_Locks table that engines may share, so that two
// windows (two runs of the program) working on one installation meet each other's holds;
// a path marked open elsewhere stands for the instrument software holding the database.
// Verify_Database fails for a missing file and for content the test marks as unsound.
// Holds, releases and verifications are written to the log's journal, in order, beside
// whatever else the test writes there (the file calls of a Fault_Plan sharing it).
//
// Data Source texts are C: paths, reached through the drive mapping like the real engine.
#pragma once

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
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
    // "Hold_Exclusive <path>", "Release_File <path>", "Release <path>", "Verify_Database
    // <path>", "CompactDatabase <source path>"; shared with a Fault_Plan to interleave.
    std::shared_ptr<std::vector<std::string>> journal = std::make_shared<std::vector<std::string>>();
};

// Lower-case text: paths compare without regard to case.
inline std::string Folded(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Which databases are held, by this program or by another one.
struct Engine_Locks {
    std::set<std::string> held;             // folded paths held by an engine double
    std::set<std::string> open_elsewhere;   // folded paths another program has open

    void Open_Elsewhere(const std::string& path) { open_elsewhere.insert(Folded(path)); }
    bool In_Use(const std::string& path) const {
        return held.count(Folded(path)) != 0 || open_elsewhere.count(Folded(path)) != 0;
    }
};

// The engine's own failure, as Jet words them.
class Engine_Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The Data Source value of a connection string (key matched without regard to case).
inline std::string Data_Source_Of(const std::string& connection) {
    const std::string lower = Folded(connection);
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

    // Says why a database is unsound (throws), or returns when it is sound.
    using Verifier = std::function<void(const std::string& path, const std::string& content)>;

    explicit Engine_Double(Action action, std::shared_ptr<Engine_Log> log = std::make_shared<Engine_Log>(),
                           std::shared_ptr<Engine_Locks> locks = std::make_shared<Engine_Locks>())
        : action_(std::move(action)), log_(std::move(log)), locks_(std::move(locks)) {}

    const Engine_Log& Log() const { return *log_; }
    // Replaces the check that Verify_Database makes (by default: the file is there).
    void Set_Verifier(Verifier verifier) { verifier_ = std::move(verifier); }

    void CompactDatabase(const std::string& source, const std::string& destination) override {
        log_->calls.push_back({source, destination});
        log_->journal->push_back("CompactDatabase " + Data_Source_Of(source));
        // Like Jet, the engine cannot open a database another program holds; its own hold
        // does not stand in its way.
        const std::string path = Data_Source_Of(source);
        if (locks_->open_elsewhere.count(Folded(path)) != 0) throw In_Use_Failure(path);
        action_(source, destination);
    }

    std::unique_ptr<platform::Database_Hold> Hold_Exclusive(const std::string& source) override {
        const std::string path = Data_Source_Of(source);
        log_->journal->push_back("Hold_Exclusive " + path);
        if (locks_->In_Use(path)) throw In_Use_Failure(path);
        locks_->held.insert(Folded(path));
        return std::make_unique<Hold>(path, locks_, log_);
    }

    void Verify_Database(const std::string& connection) override {
        const std::string path = Data_Source_Of(connection);
        log_->journal->push_back("Verify_Database " + path);
        const std::filesystem::path file = platform::To_Host_Path(path);
        if (!std::filesystem::is_regular_file(file)) throw Engine_Failure("Could not find file '" + path + "'.");
        if (verifier_) verifier_(path, Read_Whole_File(file));
    }

    // A verifier that finds a database unsound when its content contains `mark`.
    static Verifier Rejecting(std::string mark) {
        return [mark](const std::string& path, const std::string& content) {
            if (content.find(mark) != std::string::npos) {
                throw Engine_Failure("The database '" + path + "' is damaged: a page's checksum is wrong.");
            }
        };
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

private:
    static Engine_Failure In_Use_Failure(const std::string& path) {
        return Engine_Failure("Could not use '" + path + "'; file already in use.");
    }

    class Hold final : public platform::Database_Hold {
    public:
        Hold(std::string path, std::shared_ptr<Engine_Locks> locks, std::shared_ptr<Engine_Log> log)
            : path_(std::move(path)), locks_(std::move(locks)), log_(std::move(log)) {}
        ~Hold() override {
            log_->journal->push_back("Release " + path_);
            locks_->held.erase(Folded(path_));
        }
        void Release_File() override { log_->journal->push_back("Release_File " + path_); }

    private:
        std::string path_;
        std::shared_ptr<Engine_Locks> locks_;
        std::shared_ptr<Engine_Log> log_;
    };

    Action action_;
    std::shared_ptr<Engine_Log> log_;
    std::shared_ptr<Engine_Locks> locks_;
    Verifier verifier_;
};

}  // namespace kelbrook::testing
