// The file and folder operations the program relies on, behind one small interface.
// Paths are Windows-style texts on drive C: ("C:\...", backslash separators); a folder
// given as a copy destination ends with a backslash. Names match without regard to case.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelbrook::platform {

// A failure of a platform service; what() is the description the user is shown, as the
// platform's own service words it. path() is the path the failure is about, as the caller
// gave it, where there is one; a front end may show it beside the description.
class Service_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    Service_Error(const std::string& description, std::string path)
        : std::runtime_error(description), path_(std::move(path)) {}
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

// Descriptions that Windows users know from the platform's own service.
inline constexpr const char* Text_File_Not_Found = "File not found";
inline constexpr const char* Text_Path_Not_Found = "Path not found";
inline constexpr const char* Text_Permission_Denied = "Permission denied";
inline constexpr const char* Text_File_Already_Exists = "File already exists";
inline constexpr const char* Text_Path_File_Access_Error = "Path/File access error";
inline constexpr const char* Text_Disk_Full = "Disk full";

class File_System_Service {
public:
    virtual ~File_System_Service() = default;

    virtual bool FileExists(const std::string& path) = 0;
    virtual bool FolderExists(const std::string& path) = 0;
    // Removes the folder and everything in it; with force false a read-only file fails it.
    virtual void DeleteFolder(const std::string& path, bool force) = 0;
    // Makes one new, empty folder whose parent exists.
    virtual void CreateFolder(const std::string& path) = 0;
    // Copies a file into the destination folder (ending in a backslash) under its own name.
    virtual void CopyFile(const std::string& source, const std::string& destination, bool overwrite) = 0;
    // Copies a folder into the destination folder (ending in a backslash) as a subfolder of
    // the source's name; an existing subfolder of that name receives the content.
    virtual void CopyFolder(const std::string& source, const std::string& destination, bool overwrite) = 0;
    // Plain single-file copy to a full destination file path, creating or replacing it.
    virtual void Copy_One_File(const std::string& source, const std::string& destination) = 0;
    // Plain single-file delete of one full path.
    virtual void Delete_One_File(const std::string& path) = 0;
    // Removes the temporary files that an interrupted copy or compaction to `file_path`
    // left in that file's folder (named as described at Temporary_Infix below); never the file itself.
    virtual void Remove_Leftover_Temporaries(const std::string& file_path) = 0;
};

// Temporaries for a destination file D are made in D's folder and named
// "." + D's name + Temporary_Infix + a unique suffix, so that a later run can find and
// remove what an interrupted one left. Older builds named copy temporaries
// Legacy_Copy_Prefix + suffix, and the compactor wrote D's name + Legacy_Compaction_Suffix;
// those are removed too.
inline constexpr const char* Temporary_Infix = ".kelbrook-tmp-";
inline constexpr const char* Legacy_Copy_Prefix = ".kelbrook-copy-";
inline constexpr const char* Legacy_Compaction_Suffix = ".compacting";

// The platform's own service: the wide-character Win32 API on Windows, elsewhere the host
// file system with drive C: mapped to a folder.
std::unique_ptr<File_System_Service> Create_File_System_Service();

}  // namespace kelbrook::platform
