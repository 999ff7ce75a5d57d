// A file-system service that passes every call on to another one, except the calls chosen
// to fail: the n-th call of an operation (optionally counting only calls about one path)
// throws platform::Service_Error with a chosen description instead of running. Every call
// is recorded, so tests can also check what was asked and in which order.
//
//   auto faults = std::make_shared<testing::Fault_Plan>();
//   faults->Add({File_Operation::Delete_One_File, 2, "Permission denied"});
//   auto service = std::make_unique<testing::Fault_Injecting_File_System>(
//       platform::Create_File_System_Service(), faults);
//
// The plan is shared so that a test can still read it after a window has taken the
// service over. A plan can also write each call to a journal it shares with an engine
// double's log (one sequence of file and engine steps), and run a test's function as each
// call begins (to look at the files at that moment, or to start a second run there).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Drive_Mapping.h"
#include "platform/File_System_Service.h"

namespace kelbrook::testing {

enum class File_Operation {
    FileExists,
    FolderExists,
    DeleteFolder,
    CreateFolder,
    CopyFile,
    CopyFolder,
    Copy_One_File,
    Delete_One_File,
    Remove_Leftover_Temporaries,
};

inline const char* Operation_Name(File_Operation operation) {
    switch (operation) {
        case File_Operation::FileExists: return "FileExists";
        case File_Operation::FolderExists: return "FolderExists";
        case File_Operation::DeleteFolder: return "DeleteFolder";
        case File_Operation::CreateFolder: return "CreateFolder";
        case File_Operation::CopyFile: return "CopyFile";
        case File_Operation::CopyFolder: return "CopyFolder";
        case File_Operation::Copy_One_File: return "Copy_One_File";
        case File_Operation::Delete_One_File: return "Delete_One_File";
        case File_Operation::Remove_Leftover_Temporaries: return "Remove_Leftover_Temporaries";
    }
    return "?";
}

struct Fault {
    File_Operation operation;
    // Which call fails, counting from 1 among the calls this fault counts.
    int nth = 1;
    std::string description = platform::Text_Permission_Denied;
    // When not empty, only calls whose first path is this one (case-blind) are counted.
    std::string path = {};
    // When true, every counted call from the n-th on fails, not the n-th alone.
    bool from_then_on = false;
};

struct File_Call {
    File_Operation operation;
    std::string first;
    std::string second;  // destination of the copies, empty otherwise
    bool failed = false;
};

class Fault_Plan {
public:
    void Add(Fault fault) { entries_.push_back({std::move(fault), 0}); }
    const std::vector<File_Call>& Calls() const { return calls_; }
    int Count(File_Operation operation) const {
        int count = 0;
        for (const File_Call& call : calls_) count += call.operation == operation ? 1 : 0;
        return count;
    }
    int Failures() const {
        int count = 0;
        for (const File_Call& call : calls_) count += call.failed ? 1 : 0;
        return count;
    }

    // Each call as "Operation first-path", when set.
    std::shared_ptr<std::vector<std::string>> journal;
    // Run as each call begins, before it is recorded or fails.
    std::function<void(File_Operation, const std::string& first)> on_call;

    // Records the call; throws when a fault chooses it.
    void Enter(File_Operation operation, const std::string& first, const std::string& second = {}) {
        if (on_call) on_call(operation, first);
        if (journal) journal->push_back(std::string(Operation_Name(operation)) + " " + first);
        calls_.push_back({operation, first, second, false});
        const std::string* description = nullptr;
        for (Entry& entry : entries_) {
            if (entry.fault.operation != operation) continue;
            if (!entry.fault.path.empty() && !platform::Names_Match(entry.fault.path, first)) continue;
            ++entry.seen;
            const bool hit = entry.fault.from_then_on ? entry.seen >= entry.fault.nth : entry.seen == entry.fault.nth;
            if (hit && description == nullptr) description = &entry.fault.description;
        }
        if (description != nullptr) {
            calls_.back().failed = true;
            throw platform::Service_Error(*description, first);
        }
    }

private:
    struct Entry {
        Fault fault;
        int seen;
    };
    std::vector<Entry> entries_;
    std::vector<File_Call> calls_;
};

class Fault_Injecting_File_System final : public platform::File_System_Service {
public:
    explicit Fault_Injecting_File_System(std::unique_ptr<platform::File_System_Service> inner,
                                         std::shared_ptr<Fault_Plan> plan = std::make_shared<Fault_Plan>())
        : inner_(std::move(inner)), plan_(std::move(plan)) {}

    Fault_Plan& Plan() { return *plan_; }

    bool FileExists(const std::string& path) override {
        plan_->Enter(File_Operation::FileExists, path);
        return inner_->FileExists(path);
    }
    bool FolderExists(const std::string& path) override {
        plan_->Enter(File_Operation::FolderExists, path);
        return inner_->FolderExists(path);
    }
    void DeleteFolder(const std::string& path, bool force) override {
        plan_->Enter(File_Operation::DeleteFolder, path);
        inner_->DeleteFolder(path, force);
    }
    void CreateFolder(const std::string& path) override {
        plan_->Enter(File_Operation::CreateFolder, path);
        inner_->CreateFolder(path);
    }
    void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override {
        plan_->Enter(File_Operation::CopyFile, source, destination);
        inner_->CopyFile(source, destination, overwrite);
    }
    void CopyFolder(const std::string& source, const std::string& destination, bool overwrite) override {
        plan_->Enter(File_Operation::CopyFolder, source, destination);
        inner_->CopyFolder(source, destination, overwrite);
    }
    void Copy_One_File(const std::string& source, const std::string& destination) override {
        plan_->Enter(File_Operation::Copy_One_File, source, destination);
        inner_->Copy_One_File(source, destination);
    }
    void Delete_One_File(const std::string& path) override {
        plan_->Enter(File_Operation::Delete_One_File, path);
        inner_->Delete_One_File(path);
    }
    void Remove_Leftover_Temporaries(const std::string& path) override {
        plan_->Enter(File_Operation::Remove_Leftover_Temporaries, path);
        inner_->Remove_Leftover_Temporaries(path);
    }

private:
    std::unique_ptr<platform::File_System_Service> inner_;
    std::shared_ptr<Fault_Plan> plan_;
};

}  // namespace kelbrook::testing
