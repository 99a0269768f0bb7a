#pragma once
// CopyBatch: the copies of a pass (a backup into its destination or a
// restore into its target) that are complete but not yet in place, and the
// steps that put them there. The order is what keeps a crash harmless:
//
//   1. copy complete: a temporary in the staging folder (StagingFolder), or
//      an unnamed file in the target's folder for a name that is new there;
//   2. flushed: one flush per batch puts every copy's data on disk (and the
//      entries placed since the flush before);
//   3. the file being replaced is linked into the versions folder (moved
//      there where the file system has no hard links, copied where it lies
//      on another one);
//   4. the copy takes its name (a rename, or a link of the unnamed file);
//   5. the next flush puts those names on disk, and only then does the
//      caller mark the files done (the index, the restore's counts).
//
// A crash before 3 leaves the old content in place and, at most, temporaries
// that the next run sweeps (an unnamed file vanishes by itself); between 3
// and 4 the old content has two names, its own and the version's, and the
// next pass keeps no second version of it; between 4 and 5 the new content
// has the name (or, if the rename was lost, the old content still has it)
// and the old one is a version, while the file is not marked, so the next
// pass copies it again. No point leaves the old content unreachable.
//
// The bytes are copied on a few threads (CopyPool), and a flushed batch's
// unnamed files are linked there too (linkAll), while the owner waits;
// everything else, the taking back of each copy's outcome included, happens
// in start order on the owner's thread, so callers log, count and mark as
// one thread would.
// Owned by one pass; its methods are called by the owner's thread only.
// Copies not placed are discarded by clear() and the destructor.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/CopyPool.h"
#include "engine/FileCopier.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class CopyBatch {
public:
    // A batch is flushed when any limit is reached: fewer flushes make small
    // files cheap, the limits bound the work a crash or a stop throws away.
    static const std::size_t MAX_FILES = 20000;
    static const Poco::Int64 MAX_BYTES = 256 * 1024 * 1024;
    static const Poco::Timestamp::TimeDiff MAX_TIME = 5 * 1000 * 1000;  // microseconds
    // Unnamed files stay open until they are linked: at most this many, and
    // a quarter of the process's descriptors. A batch is flushed before its
    // new names would have to go through the staging folder like
    // replacements: that one folder would take every new file of the pass,
    // where making a file gets slower as it fills and the copy threads wait
    // for each other (a first backup of 200,000 files took 35-43 s that way
    // and 20 s unnamed).
    static const std::size_t MAX_UNNAMED = 4096;
    // Copies started ahead of the one the owner waits for.
    static const std::size_t MAX_STARTED = 64;

    typedef std::shared_ptr<Orvana::Util::FileDescriptor> SharedFd;

    // Step 3's settings: where and whether a replaced file is kept.
    struct Versions {
        bool keep = true;
        int destinationFd = -1;          // the destination's root
        std::string relativeFolder;      // the file's folder below it
        Poco::Timestamp when;            // the version's stamp
        bool mayMove = false;            // no hard links: the file may be moved there
        bool onlyWhenDifferent = false;  // the same size and time is the same copy again
    };

    struct Copy {
        std::size_t item;  // the caller's
        Poco::Int64 size;
        std::string temp;  // the name in the staging folder; "" for an unnamed file
        Orvana::Util::FileDescriptor unnamed;
        SharedFd folder;      // where the unnamed file was made
        bool linked = false;  // linkAll gave it its name there
    };

    enum Placed {
        PLACED,           // the copy has its name
        KEPT_AND_PLACED,  // the same, and the file it replaced is a version
        TAKEN,            // (no replace) the name was taken; the copy is discarded
        FOLDER_IN_PLACE   // a folder has the name; nothing was done
    };

    // flushFd: a folder on the target's file system. stagingPath names the
    // open staging folder stagingFd (both stay valid while the batch lives).
    CopyBatch(int recId, int flushFd, int stagingFd, const std::string& stagingPath,
              const std::atomic<bool>& stop, unsigned threads = CopyPool::DEFAULT_THREADS);
    ~CopyBatch();
    CopyBatch(const CopyBatch&) = delete;
    CopyBatch& operator=(const CopyBatch&) = delete;

    // Starts copying `name` of the open folder sourceFolder (null: name is a
    // path); path names the source in messages. newIn: the open folder where
    // the name is free (an unnamed file is made there where it can be), or null.
    void start(std::size_t item, Poco::Int64 size, SharedFd sourceFolder, const std::string& name,
               const std::string& path, SharedFd newIn);
    // Copies started and not yet taken back.
    std::size_t started() const { return m_started.size(); }
    // Takes back the outcome of the oldest copy started: false when there is
    // none, or (!wait) it is not done yet. A COPIED one joins the batch.
    // Rethrows what the copy threw.
    bool next(bool wait, std::size_t& item, FileCopier::Result& result);
    // Waits for the copies started and discards them (after a stop).
    void dropStarted();

    bool empty() const { return m_copies.empty(); }
    // The lowest item the batch still refers to (started or not yet
    // placed); `none` when it refers to none.
    std::size_t firstItem(std::size_t none) const {
        std::size_t first = none;
        if (!m_copies.empty()) first = std::min(first, m_copies.front().item);
        if (!m_started.empty()) first = std::min(first, m_started.front()->item);
        return first;
    }
    bool full() const;
    std::vector<Copy>& copies() { return m_copies; }

    // Step 2: 0, or the errno of a flush the disk failed.
    int flush();
    // Steps 3 and 4 for one copy of the batch: its name `name` in the open
    // folder folderFd (path for messages). versions null: nothing is kept.
    // replace false: an existing name is left alone (TAKEN). Throws
    // Poco::Exception; the copy is then still the caller's to discard.
    Placed place(Copy& copy, int folderFd, const std::string& name, const std::string& path,
                 const Versions* versions, bool replace);
    // Step 4 alone for an unnamed copy: true when it has its name. A link
    // never replaces an entry, so a name taken since the copy began answers
    // false and leaves the copy as a temporary in the staging folder, for
    // place() to put in like any replacement. Throws as place() does.
    bool linkUnnamed(Copy& copy, int folderFd, const std::string& name, const std::string& path);
    // Step 4 for all the batch's unnamed copies at once, on the pool's
    // threads, each in the folder it was made in (nameOf gives its name
    // there). Links never replace an entry and a batch's names are
    // distinct, so their order does not matter; the owner waits for all.
    // takeLinked then tells which got their names; linkUnnamed tries the
    // others again, one by one.
    void linkAll(const std::function<std::string(const Copy&)>& nameOf);
    bool takeLinked(Copy& copy) noexcept;
    void discard(Copy& copy) noexcept;
    // Discards what was not placed and starts a new batch.
    void clear();

private:
    struct Slot {
        std::size_t item;
        Poco::Int64 size;
        bool unnamedAllowed;
        FileCopier::Result result = FileCopier::STOPPED;
        std::string temp;
        Orvana::Util::FileDescriptor unnamed;
        SharedFd folder;  // newIn, when an unnamed file may be made
        std::exception_ptr error;
        std::shared_ptr<CopyPool::Task> task;
    };

    void copy(Slot& slot, const SharedFd& sourceFolder, const std::string& name,
              const std::string& path, const SharedFd& newIn);
    void release(Copy& copy) noexcept;

    const int m_flushFd;
    const int m_stagingFd;
    const std::string m_stagingPath;
    const std::atomic<bool>& m_stop;
    const std::size_t m_unnamedLimit;
    std::atomic<bool> m_noUnnamed{false};  // the file system said so once: set by pool threads
    std::size_t m_unnamed = 0;             // unnamed files open or being made
    std::size_t m_unnamedCopies = 0;       // of those, the ones in m_copies
    std::deque<std::shared_ptr<Slot>> m_started;
    std::vector<Copy> m_copies;
    Poco::Int64 m_bytes = 0;
    Poco::Timestamp m_begun;
    CopyPool m_pool;  // last: its threads end before the members above go
};

}  // namespace Backup
}  // namespace Orvana
