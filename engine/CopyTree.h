#pragma once
// CopyTree: the folders of a backup's destination, reached through folder
// descriptors so that nothing is ever written through a link or into a
// folder swapped in since it was checked. Below the root no link is
// followed. Where the copy holds an entry of another type than the one a
// pass puts there (a file where the source now has a folder, or the other
// way round, or a link), that entry is moved aside (VersionName) instead of
// blocking the record, and the owner is told. Files are put in place by
// CopyBatch, into the folders this opens.
//
// Keeps the folders of the last path it opened open (one descriptor per
// level), so a walk in path order opens each folder once. Owned by one pass;
// one thread. Failures throw Poco::FileException (FileCopier::throwErrno).

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class CopyTree {
public:
    // An entry moved aside: its path and its new one, relative to the root.
    typedef std::function<void(const std::string& entry, const std::string& keptAs)> MovedAside;

    // root: the destination folder (made, with its parents, when missing).
    CopyTree(const std::string& root, MovedAside movedAside);

    // The descriptor of root/relative ("" for the root), made when missing;
    // valid until the next call.
    int folder(const std::string& relative);
    // Moves the entry root/relative (of another type than the source's) into
    // the versions folder and tells the owner.
    void moveAside(const std::string& relative);
    // Gives the folder root/relative (made when missing) a mode and a
    // modification time; the errno of a step that failed, else 0. Throws
    // only when the folder cannot be had.
    int setFolderAttributes(const std::string& relative, mode_t mode, const struct timespec& mtime);
    // The same for an open folder; mode null leaves the mode as it is.
    static int applyAttributes(int folderFd, const mode_t* mode, const struct timespec& mtime);

    // The root, opened (and made) on first use.
    int rootFd();
    const std::string& root() const { return m_root; }

private:
    // Moves parent's entry `name` into the versions folder.
    void moveAside(int parentFd, const std::string& parentRelative, const std::string& name);
    // The versions folder for entries of parentRelative, made when missing.
    Orvana::Util::FileDescriptor versionsFolder(const std::string& parentRelative);
    std::string path(const std::string& relative) const;

    std::string m_root;
    MovedAside m_movedAside;
    Orvana::Util::FileDescriptor m_rootFd;
    std::vector<std::string> m_names;                 // the path last opened, by level
    std::vector<Orvana::Util::FileDescriptor> m_fds;  // m_fds[i]: folder of m_names[0..i]
    std::string m_opened;                             // as asked for, when m_haveOpened
    bool m_haveOpened = false;
};

}  // namespace Backup
}  // namespace Orvana
