#pragma once
// StagingFolder: the one place where copies into a folder tree are written
// before they are renamed into place: ROOT/.backup-partial/KEY/. Keeping every
// temporary there (and nowhere else) means that a crash or a kill leaves its
// debris in a folder of our own, which the next pass over ROOT empties
// without ever touching a user's file. The folder is on ROOT's file system,
// so a rename from it into ROOT's tree is atomic.
//
// Usage, for any copy of a file into a folder tree: sweep() when work on ROOT
// starts, prepare(), a CopyBatch writing its temporaries into path() and
// renaming them to targets below ROOT, and remove() when the work ends. KEY keeps the folders of concurrent users of one ROOT apart
// (the engine uses the record id).
//
// Plain value; one thread at a time. Failures of prepare() throw
// Poco::Exception; sweep() and remove() never throw.

#include <string>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class StagingFolder {
public:
    static const char* const NAME;  // ".backup-partial"

    StagingFolder(const std::string& root, const std::string& key);

    // Removes what an interrupted earlier run left under this key.
    void sweep() noexcept;
    // Creates the folder (ROOT must exist) and empties it.
    void prepare();
    // Removes the folder, and the common parent once no key uses it.
    void remove() noexcept;

    const std::string& path() const { return m_path; }

    // True when FOLDER is named NAME and holds nothing but folders of keys the
    // engine uses (a record id, or "restore-" and one): a crash's debris that
    // a pass over a tree around it must not take for a user's files. A
    // user's own folder of that name holds other things and is kept.
    static bool holdsOnlyStaging(const std::string& folder);

    // The same folder reached through an open ROOT, where a user may swap
    // the folder's path for a link meanwhile: no step follows a link, so
    // nothing is made or removed outside ROOT. prepareAt makes it afresh
    // and returns it open (throws Poco::Exception; a link on the way fails
    // with ELOOP); removeAt takes it away with the temporaries in it.
    static Orvana::Util::FileDescriptor prepareAt(int rootFd, const std::string& key);
    static void removeAt(int rootFd, const std::string& key) noexcept;

private:
    std::string m_parent;  // ROOT/.backup-partial
    std::string m_path;    // ROOT/.backup-partial/KEY
};

}  // namespace Backup
}  // namespace Orvana
