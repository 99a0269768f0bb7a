#pragma once
// FolderLister: reads one source folder for the scan: its entries sorted in
// the walk's order, each with its stat, and without the entries the record's
// exclusions leave out. Only file system calls, no database and no log, so
// that walker threads can run it ahead of the scan (see ParallelWalk); what
// the scan must log or judge is carried in the FolderListing.
//
// Holds references to the pass's exclusions and stop flag, which outlive it.
// Immutable after construction; list() may run on any thread, several at once.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/ExcludeRules.h"

namespace Orvana {
namespace Backup {

// One folder entry as listed.
struct ListedEntry {
    // The name, with a '/' appended for a folder: sorted by it, the walk
    // meets full paths in byte order, the index's order.
    std::string key;
    unsigned char type;  // d_type of the listing
    int error;           // errno of the stat, 0 when st holds it
    // A regular file's lstat; for anything else the stat through a link, so
    // that a link to a folder is placed as a folder.
    struct stat st;
};

struct FolderListing {
    typedef std::pair<dev_t, ino_t> FolderId;

    // The folder could not be opened (or its own stat failed): nothing below
    // is set.
    int openError = 0;
    struct stat self;
    std::vector<ListedEntry> entries;  // sorted by key
    // The listing ended on this errno: the entries after it were never seen.
    int listError = 0;
    bool stopped = false;  // cut short by a stop
    // Paths below the source of the folders left out by a CACHEDIR.TAG, in
    // the order they were met; the scan logs them.
    std::vector<std::string> cacheTagged;
    // This folder and those above it on the walk's path, against link loops.
    std::vector<FolderId> chain;
};

class FolderLister {
public:
    // rules, skipCacheDirs, excludeRoot: the pass's exclusions and the folder
    // (with its '/') their paths are relative to.
    FolderLister(const ExcludeRules& rules, bool skipCacheDirs, const std::string& excludeRoot,
                 const std::atomic<bool>& stop);

    // Never throws for the file system: failures are in the listing.
    std::unique_ptr<FolderListing> list(const std::string& path) const;

private:
    // The folder's descriptor, opened for listing, its stat in listing.self;
    // -1 with listing.openError set when it cannot be listed.
    static int open(const std::string& path, FolderListing& listing);
    // Fills listed.st (or listed.error); a folder's key gets its '/'.
    static void statEntry(int fd, ListedEntry& listed);
    // Whether the exclusions or a CACHEDIR.TAG leave the entry out (a tagged
    // folder is noted in listing.cacheTagged). relative: scratch space.
    bool leftOut(int fd, const std::string& relativeFolder, const ListedEntry& listed,
                 std::string& relative, FolderListing& listing) const;

    const ExcludeRules& m_rules;
    const bool m_skipCacheDirs;
    const std::string m_excludeRoot;
    const std::atomic<bool>& m_stop;
};

}  // namespace Backup
}  // namespace Orvana
