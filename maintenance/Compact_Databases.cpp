// Compaction and rotation: for the data database, then the history database, the live
// file L is compacted into N, the previous backup B gives way to a copy of L, and N takes
// L's place. Every step runs under continue-on-failure, with three exceptions that keep a
// copy of each database whatever fails:
//  - a live file missing from the start: that database is left alone (its backup, and a
//    compacted copy left by an interrupted run, may be the only copies there are);
//  - a failed compaction: the sequence stops before anything is deleted; a partial N is
//    removed, L and B stay as they were, and the failure is reported;
//  - a failed copy of N over L: the sequence stops before N is deleted (it may be the
//    only copy of the compacted database), and the failure is reported.
// A report ends the program, so the history database is not touched after a report for
// the data database.

#include "maintenance/Compact_Databases.h"

#include <exception>
#include <string>

#include "app/Site_Layout.h"

namespace kelbrook::maintenance {

namespace {

using namespace std::string_literals;

struct Database_Files {
    std::string live;       // L
    std::string compacted;  // N
    std::string backup;     // B
    std::string source_connection;
    std::string destination_connection;
};

std::string Text(std::string_view piece) { return std::string(piece); }

Database_Files Data_Database_Files() {
    namespace C = Constants;
    Database_Files files;
    files.live = Text(C::Data_Database);
    files.compacted = Text(C::Data_Database_New);
    files.backup = Text(C::Backup_Folder) + Text(C::Data_Backup_Name);
    files.source_connection = Text(C::Provider) + Text(C::Data_Source_Key) + files.live + Text(C::Separator) +
                              Text(C::User) + Text(C::Data_Database_Password);
    files.destination_connection = Text(C::Provider) + Text(C::Engine_Type_New_File) + Text(C::User) +
                                   Text(C::Data_Source_Key) + files.compacted + Text(C::Separator) +
                                   Text(C::Data_Database_Password);
    return files;
}

Database_Files History_Database_Files() {
    namespace C = Constants;
    Database_Files files;
    files.live = Text(C::History_Database);
    files.compacted = Text(C::History_Database_New);
    files.backup = Text(C::Backup_Folder) + Text(C::History_Backup_Name);
    files.source_connection =
        Text(C::Provider) + Text(C::Data_Source_Key) + files.live + Text(C::Separator) + Text(C::Empty_Password);
    files.destination_connection = Text(C::Provider) + Text(C::Engine_Type_New_File) + Text(C::Data_Source_Key) +
                                   files.compacted + Text(C::Separator) + Text(C::Empty_Password);
    return files;
}

std::string Description_Of(const std::exception& failure) {
    std::string description = failure.what();
    return description.empty() ? "Unexpected failure"s : description;
}

// One database's rotation under continue-on-failure.
class Rotation {
public:
    Rotation(Compaction_Host& host, const Database_Files& files) : host_(host), files_(files) {}

    // False when a failure stopped the sequence and has been reported.
    bool Run() {
        const Database_Files& f = files_;
        if (!Exists(f.live)) return true;

        // 1. A leftover compacted copy of an earlier run goes, so the engine writes N afresh.
        if (Exists(f.compacted)) Delete(f.compacted);

        // 2. L is compacted into N. Nothing has been deleted yet; if this fails, stop here.
        try {
            host_.Jet_Engine_Object().CompactDatabase(f.source_connection, f.destination_connection);
        } catch (const std::exception& failure) {
            return Stop_After_Failed_Compaction(Description_Of(failure));
        } catch (...) {
            return Stop_After_Failed_Compaction("Unexpected failure");
        }
        // An engine that claims success without leaving N would have L deleted below with
        // nothing to take its place.
        if (!Exists(f.compacted)) {
            host_.Report_Compaction_Failure(Text(platform::Text_File_Not_Found));
            return false;
        }

        // 3. and 4. The previous backup gives way to a copy of L.
        if (Exists(f.backup)) Delete(f.backup);
        Attempt([&](platform::File_System_Service& files) { files.Copy_One_File(f.live, f.backup); });

        // 5. and 6. N takes L's place. If the copy fails, N may be the only copy left.
        Delete(f.live);
        std::string copy_failure;
        if (!Attempt([&](platform::File_System_Service& files) { files.Copy_One_File(f.compacted, f.live); },
                     &copy_failure)) {
            host_.Report_Compaction_Failure(copy_failure);
            return false;
        }

        // 7.
        Delete(f.compacted);
        return true;
    }

private:
    bool Stop_After_Failed_Compaction(const std::string& description) {
        // The engine promises to leave no destination behind; one that does not is
        // cleaned up here. L and B have not been touched.
        if (Exists(files_.compacted)) Delete(files_.compacted);
        host_.Report_Compaction_Failure(description);
        return false;
    }

    // An existence test that fails counts as a hit.
    bool Exists(const std::string& path) {
        try {
            return host_.File_System_Object().FileExists(path);
        } catch (...) {
            return true;
        }
    }

    void Delete(const std::string& path) {
        Attempt([&](platform::File_System_Service& files) { files.Delete_One_File(path); });
    }

    // Runs one step, passing over its failure; says whether it succeeded.
    template <typename Step>
    bool Attempt(Step step, std::string* failure_description = nullptr) {
        try {
            step(host_.File_System_Object());
            return true;
        } catch (const std::exception& failure) {
            if (failure_description != nullptr) *failure_description = Description_Of(failure);
        } catch (...) {
            if (failure_description != nullptr) *failure_description = "Unexpected failure";
        }
        return false;
    }

    Compaction_Host& host_;
    const Database_Files& files_;
};

}  // namespace

bool Compact_Databases(Compaction_Host& host) {
    for (const Database_Files& files : {Data_Database_Files(), History_Database_Files()}) {
        if (!Rotation(host, files).Run()) return false;
    }
    return true;
}

}  // namespace kelbrook::maintenance
