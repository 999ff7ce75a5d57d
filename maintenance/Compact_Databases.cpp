// Compaction and rotation. For each database in turn, with its live file L, compacted
// copy N and backup B:
//
//   0. hold the database for this program alone, and remove the temporaries that an
//      interrupted run left beside L, N and B;
//   1. remove a leftover N, so that the engine writes N afresh;
//   2. compact L into N;
//   3. replace B by a flushed copy of L (written beside B, renamed over it);
//   4. let go of L's file (the hold still keeps other programs out) and replace L by a
//      flushed copy of N in one rename;
//   5. remove N, and end the hold.
//
// Nothing here deletes L or B: each is only ever replaced whole by a rename, so there is
// never a moment without a complete L, nor a new L without a backup of the old one beside
// it. The steps run under continue-on-failure, except where going on could lose a database
// or would work under another program; there the sequence stops and the failure is
// reported (a report ends the program, so later databases are not touched):
//  - the database is in use elsewhere (the hold fails): every file stays as it was;
//  - the compaction fails: a partial N is removed, L and B stay as they were;
//  - the backup copy fails: N is removed, L and the old B stay as they were;
//  - N cannot replace L: L and B stay, and N is kept.
// A run killed between 4 and 5 leaves L compacted and N beside it; the next run removes N
// at step 1. An older run that deleted L and died before putting N in its place left N
// alone: N is then checked by the engine and put back as L before the rotation.

#include "maintenance/Compact_Databases.h"

#include <exception>
#include <memory>
#include <string>

namespace kelbrook::maintenance {

namespace {

// The window breaks the lines of its messages with CR LF.
constexpr const char* Line_Break = "\r\n";

// What the user is told: the failure's own description, and below it the path it is
// about where the file service names one.
std::string Description_Of(const std::exception& failure) {
    std::string description = failure.what();
    if (description.empty()) description = "Unexpected failure";
    if (const auto* service = dynamic_cast<const platform::Service_Error*>(&failure);
        service != nullptr && !service->path().empty() && description.find(service->path()) == std::string::npos) {
        description += Line_Break + std::string(Line_Break) + service->path();
    }
    return description;
}

// Runs one step, catching its failure; says whether it succeeded and, when asked, what
// went wrong.
template <typename Step>
bool Try(Step step, std::string* failure_description = nullptr) {
    try {
        step();
        return true;
    } catch (const std::exception& failure) {
        if (failure_description != nullptr) *failure_description = Description_Of(failure);
    } catch (...) {
        if (failure_description != nullptr) *failure_description = "Unexpected failure";
    }
    return false;
}

// One database's rotation.
class Rotation {
public:
    Rotation(Compaction_Host& host, const Database_Files& files) : host_(host), files_(files) {}

    // False when a failure stopped the sequence and has been reported.
    bool Run() {
        if (!Exists(files_.live)) {
            // Neither file: nothing to compact, and the backup may be the last copy there is.
            if (!Exists(files_.compacted)) return true;
            if (!Put_Back_Compacted_Copy()) return false;
        }
        return Rotate();
    }

private:
    using Hold = std::unique_ptr<platform::Database_Hold>;

    // Steps 0 to 5 (see the top of this file).
    bool Rotate() {
        const Database_Files& f = files_;
        Hold hold;
        if (!Engine_Step([&](platform::Database_Engine& engine) { hold = engine.Hold_Exclusive(f.source_connection); }))
            return false;
        Remove_Leftover_Temporaries();

        if (Exists(f.compacted)) Delete(f.compacted);
        if (!Compact()) return false;

        std::string failure;
        if (!File_Step([&](platform::File_System_Service& files) { files.Copy_One_File(f.live, f.backup); }, &failure)) {
            // L must not be replaced without a backup of it: the compacted copy goes.
            Delete(f.compacted);
            return Stop(failure);
        }

        if (hold) Try([&] { hold->Release_File(); });
        if (!File_Step([&](platform::File_System_Service& files) { files.Copy_One_File(f.compacted, f.live); },
                       &failure)) {
            return Stop(failure);
        }
        Delete(f.compacted);
        return true;
    }

    // Step 2. On failure nothing of the compaction is left, and the failure is reported.
    bool Compact() {
        const Database_Files& f = files_;
        std::string failure;
        if (!Try([&] { host_.Jet_Engine_Object().CompactDatabase(f.source_connection, f.destination_connection); },
                 &failure)) {
            // The engine promises to leave no destination behind; one that does not is
            // cleaned up here. L and B have not been touched.
            if (Exists(f.compacted)) Delete(f.compacted);
            return Stop(failure);
        }
        // An engine that claims success without leaving N would leave L replaced by nothing.
        if (!Exists(f.compacted)) {
            return Stop(Description_Of(platform::Service_Error(platform::Text_File_Not_Found, f.compacted)));
        }
        return true;
    }

    // N without L: an interrupted run took L away before N was in its place. N goes back
    // as L once the engine has found it sound; if it is not, N is left as it is.
    bool Put_Back_Compacted_Copy() {
        const Database_Files& f = files_;
        Hold hold;
        if (!Engine_Step(
                [&](platform::Database_Engine& engine) { hold = engine.Hold_Exclusive(f.destination_connection); }))
            return false;
        Remove_Leftover_Temporaries();
        if (!Engine_Step([&](platform::Database_Engine& engine) { engine.Verify_Database(f.destination_connection); }))
            return false;
        std::string failure;
        if (!File_Step([&](platform::File_System_Service& files) { files.Copy_One_File(f.compacted, f.live); },
                       &failure)) {
            return Stop(failure);
        }
        return true;
    }

    void Remove_Leftover_Temporaries() {
        for (const std::string* path : {&files_.live, &files_.compacted, &files_.backup}) {
            File_Step([&](platform::File_System_Service& files) { files.Remove_Leftover_Temporaries(*path); });
        }
    }

    // A step of the engine whose failure stops the sequence with a report.
    template <typename Step>
    bool Engine_Step(Step step) {
        std::string failure;
        if (Try([&] { step(host_.Jet_Engine_Object()); }, &failure)) return true;
        return Stop(failure);
    }

    // A step of the file service, passed over when it fails.
    template <typename Step>
    bool File_Step(Step step, std::string* failure_description = nullptr) {
        return Try([&] { step(host_.File_System_Object()); }, failure_description);
    }

    bool Stop(const std::string& description) {
        host_.Report_Compaction_Failure(description);
        return false;
    }

    // An existence test that fails counts as a hit.
    bool Exists(const std::string& path) {
        bool exists = true;
        File_Step([&](platform::File_System_Service& files) { exists = files.FileExists(path); });
        return exists;
    }

    void Delete(const std::string& path) {
        File_Step([&](platform::File_System_Service& files) { files.Delete_One_File(path); });
    }

    Compaction_Host& host_;
    const Database_Files& files_;
};

}  // namespace

bool Compact_Databases(Compaction_Host& host, const std::vector<Database_Files>& databases) {
    for (const Database_Files& files : databases) {
        if (!Rotation(host, files).Run()) return false;
    }
    return true;
}

}  // namespace kelbrook::maintenance
