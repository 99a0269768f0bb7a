#pragma once
// ParallelWalk: lists the source's folders ahead of the scan on a few walker
// threads, so that the folder listings and the stat of every entry, which
// bound a pass with few changes, use more than one core. The scan still walks
// on its own thread and takes the listings one by one in path order (the
// index's order): what it logs, counts and writes does not depend on how many
// walkers there are.
//
// Walkers list the folders below each listing they finish, the first in path
// order first, so that the folder the scan asks for next is the one being
// listed. While it is, the scan's thread lists the next queued folder itself
// rather than sleep (a sleep and a wake cost more here than they save). How far they run ahead is bounded (folders and entries), and what
// the scan passes without asking for (it skipped the folder, or stopped) is
// dropped. A walk with one walker lists every folder on the scan's thread
// when it is asked for, as a plain walk does.
//
// Owned by the worker for one pass. take() is called by the scan's thread
// only; the walkers, and take() while it lists ahead, share m_tasks and the
// counts under m_mutex. The
// destructor ends and joins the walkers (within one folder's listing after
// a stop).

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/FolderLister.h"
#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

class ParallelWalk {
public:
    // skipped: a folder the scan never walks (the backup's destination), so
    // never listed ahead; null when there is none.
    ParallelWalk(const FolderLister& lister, unsigned walkers,
                 const FolderListing::FolderId* skipped);
    ~ParallelWalk();
    ParallelWalk(const ParallelWalk&) = delete;
    ParallelWalk& operator=(const ParallelWalk&) = delete;

    // The listing of the folder `path`, whose parent's listing was taken
    // before (above: the folders on the walk's path, against link loops).
    // Paths must increase in byte order (with '/' appended) from call to call.
    std::unique_ptr<FolderListing> take(const std::string& path,
                                        const std::vector<FolderListing::FolderId>& above);

    // True when walker threads list ahead; false when each folder is listed
    // on the scan's thread as it is taken.
    bool listsAhead() const { return !m_threads.empty(); }

    // Walkers a pass uses: the number of cores, at most MAX_WALKERS, unless
    // set (tests and the bench compare the walk with one walker). 0: default.
    static unsigned walkers();
    static void setWalkers(unsigned count);
    static constexpr unsigned MAX_WALKERS = 8;
    // How far the walkers may run ahead of the scan: the entries of listings
    // not yet taken (about 200 bytes each: 16,384 are 160 folders of 100
    // files, ahead of a scan that takes one in well under a millisecond), and
    // the folders known (queued, being listed or listed).
    // A folder queued costs less than the entry it was listed as, and the
    // scan holds the listings on its path anyway, so the second bound is only
    // a backstop. It must not be tight: the subfolders a listing finds past
    // it are listed later on the scan's own thread, one at a time. At 256, a
    // tree of 100 folders of 100 folders lost most of them that way, and a
    // pass with two walkers took as long as one with one.
    static constexpr size_t MAX_FOLDERS_AHEAD = 64 * 1024;
    static constexpr size_t MAX_ENTRIES_AHEAD = 16 * 1024;
    // Tighter bounds for the passes that follow (tests make the walk bounded
    // on a small tree); 0 puts a bound back to the one above.
    static void setLookAhead(size_t folders, size_t entries);

private:
    enum State { PENDING, RUNNING, DONE };
    // state, dropped and listing are guarded by m_mutex (which the analysis
    // cannot name from inside the struct).
    struct Task {
        std::string path;
        std::vector<FolderListing::FolderId> above;
        State state = PENDING;
        bool dropped = false;  // the scan passed it; its listing is not wanted
        std::unique_ptr<FolderListing> listing;
    };
    typedef std::shared_ptr<Task> TaskPtr;

    void work();
    // Lists a task taken from m_pending; m_mutex is let go while it lists.
    void list(Task& task) REQUIRES(m_mutex);
    // Queues the folders of a finished listing to be listed ahead.
    void queueSubfolders(const std::string& path, const FolderListing& listing)
        REQUIRES(m_mutex);
    bool mayStartTask() const REQUIRES(m_mutex);
    // The first task a walker may start now, or null.
    TaskPtr nextTask() REQUIRES(m_mutex);

    const FolderLister& m_lister;
    const size_t m_maxFolders;
    const size_t m_maxEntries;
    const bool m_haveSkipped;
    const FolderListing::FolderId m_skipped;
    Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_taskQueued;  // a walker may start a task
    Orvana::Util::CheckedCondition m_taskDone;    // a listing the scan waits for is done
    // Folders listed ahead or to be, keyed by path + '/' (the walk's order).
    std::map<std::string, TaskPtr> m_tasks GUARDED_BY(m_mutex);
    // Those of m_tasks no walker has started: a walker takes the first, and
    // finding it among thousands of listed ones costs more than the listing.
    std::map<std::string, TaskPtr> m_pending GUARDED_BY(m_mutex);
    size_t m_entriesAhead GUARDED_BY(m_mutex) = 0;  // in finished listings
    bool m_ending GUARDED_BY(m_mutex) = false;
    std::vector<std::thread> m_threads;      // scan's thread only
};

}  // namespace Backup
}  // namespace Orvana
