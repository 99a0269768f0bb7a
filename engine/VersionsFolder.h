#pragma once
// VersionsFolder: the earlier versions kept at a destination's root, in
// DEST/.backup-versions/<copy folder>/<folder of the file>/<VersionName>.
// prune() thins them by a VersionRetention and, while the destination's
// file system is short of free space, removes the oldest ones first. Only
// files and links named as versions are removed; the current copies lie
// outside this folder and are never touched, and a kept folder (an entry of
// another type moved aside) is left as it is.
//
// keep() makes a version of a file about to be replaced: a hard link where
// it can (the file stays in place until its replacement is renamed over it,
// so a crash between the two leaves the content in both places), a move
// where the file system has no hard links, a flushed copy where the file
// lies on another file system (a restore's target).
//
// Reaches every folder through descriptors opened without following links.
// Stateless; one pass at a time per destination. prune() never throws: a
// folder that cannot be read keeps its versions; keep() throws
// Poco::Exception when no version could be made.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <functional>
#include <string>

#include "engine/VersionRetention.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class VersionsFolder {
public:
    // Free and total bytes of the file system holding the open folder fd;
    // false when they cannot be had (then nothing is removed for space).
    typedef std::function<bool(int fd, Poco::UInt64& freeBytes, Poco::UInt64& totalBytes)>
        FreeSpace;

    struct Pruned {
        unsigned byRetention = 0;
        unsigned forSpace = 0;
    };

    // The free space to keep: 1 GiB, or 2 % of a file system larger than 50 GiB.
    static Poco::UInt64 spaceToKeep(Poco::UInt64 totalBytes);
    // statvfs of the file system.
    static bool systemFreeSpace(int fd, Poco::UInt64& freeBytes, Poco::UInt64& totalBytes);

    enum Kept {
        LINKED,  // a second name; the file is still in its place
        MOVED,   // no hard links here: the file is gone from its place
        COPIED,  // another file system: a copy, on disk before this returns
        ALREADY  // a version of this very file (same inode) exists already
    };

    // The versions folder for files of relativeFolder (a path below the
    // destination, "" for its root), made with its parents when missing.
    // Throws Poco::Exception.
    static Orvana::Util::FileDescriptor open(int destinationFd, const std::string& relativeFolder);

    // Keeps the regular file `name` of folderFd as a version made at `when`,
    // in the versions folder of relativeFolder. mayMove: where no hard link
    // can be made, the file may be moved there (the caller puts its
    // replacement in its place next). path names the file in messages.
    static Kept keep(int destinationFd, const std::string& relativeFolder, int folderFd,
                     const std::string& name, const std::string& path, const Poco::Timestamp& when,
                     bool mayMove);

    // The retention applies to the versions of one copy (scope: the copy's
    // name at the destination, a folder's or a file record's file; "" for
    // every version); space is freed from all of them.
    static Pruned prune(const std::string& destination, const VersionRetention& retention,
                        const Poco::Timestamp& now, const FreeSpace& freeSpace,
                        const std::string& scope = std::string());
};

}  // namespace Backup
}  // namespace Orvana
