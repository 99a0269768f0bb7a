#pragma once
// VersionLookup: which file answers for a path of a record's copy: the copy
// itself, or one of the earlier versions kept for it in the destination's
// versions folder (VersionsFolder, VersionName). The browse, the list of a
// file's versions and the restore all ask here, so they agree on what a
// stamp or a moment means.
//
// A file as it was at a moment is the oldest version replaced at or after
// that moment (stamps are whole seconds, and a replacement stamped within the
// moment's second came after its start), else the current copy.
//
// Reaches the versions folder from the destination through descriptors
// opened without following links; never creates anything. Keeps the listing
// of the last folder asked for, so a walk asks once per folder. Owned by one
// request or one pass; one thread. Never throws: what cannot be read has no
// versions.

#include <Poco/Timestamp.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class VersionLookup {
public:
    struct Version {
        std::string keptName;  // its name in the versions folder
        std::string stamp;     // "YYYYMMDD-HHMMSS[-K]"
        Poco::Timestamp when;
        unsigned attempt = 1;
        struct stat st;  // the kept file's
    };
    typedef std::vector<Version> Versions;  // newest first

    // destination: the record's store location; copyName: the copy's name
    // in it (the source's base name). A folder record's copy is a folder,
    // whose versions lie in a folder of that name; a file record's one file
    // is kept beside the others at the versions folder's root.
    VersionLookup(const std::string& destination, const std::string& copyName, bool fileRecord);

    // The versions of the files of one folder of the copy (names below the
    // copy's root; a file record's: none), by the file's name.
    const std::map<std::string, Versions>& folder(const std::vector<std::string>& names);
    // The versions of one file.
    const Versions& of(const std::vector<std::string>& folderNames, const std::string& name);
    // The versions folder of the folder last asked for; -1 when it has none.
    int folderFd() const { return m_fd.valid() ? m_fd.get() : -1; }

    // The version that answers at a moment; null when the current copy does.
    static const Version* at(const Versions& versions, const Poco::Timestamp& moment);
    static const Version* withStamp(const Versions& versions, const std::string& stamp);
    // "YYYYMMDD-HHMMSS" (UTC), a valid date and time; false for anything else.
    static bool parseMoment(const std::string& text, Poco::Timestamp& moment);

private:
    std::string m_destination;
    std::vector<std::string> m_base;  // the copy's folder below the versions folder
    bool m_haveFolder = false;
    std::vector<std::string> m_folder;  // the folder listed last
    Orvana::Util::FileDescriptor m_fd;
    std::map<std::string, Versions> m_versions;
    Versions m_none;
};

}  // namespace Backup
}  // namespace Orvana
