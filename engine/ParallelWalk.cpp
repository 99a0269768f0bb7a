#include "engine/ParallelWalk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>

#include "engine/StagingFolder.h"
#include "engine/ThreadName.h"
#include "engine/VersionName.h"

namespace Orvana {
namespace Backup {

namespace {
std::atomic<unsigned> g_walkers(0);   // 0: as many as cores
std::atomic<size_t> g_maxFolders(0);  // 0: MAX_FOLDERS_AHEAD
std::atomic<size_t> g_maxEntries(0);  // 0: MAX_ENTRIES_AHEAD

size_t orDefault(size_t set, size_t otherwise) { return set != 0 ? set : otherwise; }
}  // namespace

unsigned ParallelWalk::walkers() {
    const unsigned set = g_walkers.load();
    if (set != 0) return set;
    return std::max(1u, std::min(MAX_WALKERS, std::thread::hardware_concurrency()));
}

void ParallelWalk::setWalkers(unsigned count) { g_walkers = count; }

void ParallelWalk::setLookAhead(size_t folders, size_t entries) {
    g_maxFolders = folders;
    g_maxEntries = entries;
}

ParallelWalk::ParallelWalk(const FolderLister& lister, unsigned walkers,
                           const FolderListing::FolderId* skipped)
    : m_lister(lister),
      m_maxFolders(orDefault(g_maxFolders.load(), MAX_FOLDERS_AHEAD)),
      m_maxEntries(orDefault(g_maxEntries.load(), MAX_ENTRIES_AHEAD)),
      m_haveSkipped(skipped != nullptr),
      m_skipped(skipped ? *skipped : FolderListing::FolderId()) {
    // With one walker the scan's own thread lists each folder as it comes.
    if (walkers < 2) return;
    for (unsigned n = 0; n < walkers; ++n) m_threads.emplace_back([this] { work(); });
}

ParallelWalk::~ParallelWalk() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_ending = true;
    }
    m_taskQueued.notifyAll();
    for (std::thread& thread : m_threads) thread.join();
}

bool ParallelWalk::mayStartTask() const { return m_entriesAhead < m_maxEntries; }

ParallelWalk::TaskPtr ParallelWalk::nextTask() {
    if (!mayStartTask() || m_pending.empty()) return nullptr;
    // The first in the walk's order is the one needed soonest.
    TaskPtr task = m_pending.begin()->second;
    m_pending.erase(m_pending.begin());
    return task;
}

std::unique_ptr<FolderListing> ParallelWalk::take(
    const std::string& path, const std::vector<FolderListing::FolderId>& above) {
    if (!m_threads.empty()) {
        const std::string key = path + '/';
        Orvana::Util::CheckedLock lock(m_mutex);
        // What sorts before the folder the scan passed without asking for.
        while (!m_tasks.empty() && m_tasks.begin()->first < key) {
            Task& task = *m_tasks.begin()->second;
            task.dropped = true;
            if (task.listing) m_entriesAhead -= task.listing->entries.size();
            if (task.state == PENDING) m_pending.erase(m_tasks.begin()->first);
            m_tasks.erase(m_tasks.begin());
        }
        std::map<std::string, TaskPtr>::iterator at = m_tasks.find(key);
        if (at != m_tasks.end()) {
            TaskPtr task = at->second;
            m_tasks.erase(at);
            if (task->state == PENDING) m_pending.erase(key);
            if (task->state != PENDING) {
                while (task->state != DONE) {
                    // A walker is listing it. Rather than sleep until it is
                    // done, this thread lists the next folder queued: here a
                    // sleep and a wake cost 6-11 µs, and the scan, faster
                    // than the walkers, would wait for nearly every folder.
                    TaskPtr other = nextTask();
                    if (other) {
                        list(*other);
                    } else {
                        m_taskDone.wait(m_mutex);
                    }
                }
                m_entriesAhead -= task->listing->entries.size();
                m_taskQueued.notifyAll();  // room ahead again
                return std::move(task->listing);
            }
            // Not started: listed here rather than waited for.
        }
    }
    std::unique_ptr<FolderListing> listing = m_lister.list(path);
    listing->chain = above;
    if (listing->openError == 0) {
        listing->chain.emplace_back(listing->self.st_dev, listing->self.st_ino);
        if (!m_threads.empty()) {
            Orvana::Util::CheckedLock lock(m_mutex);
            queueSubfolders(path, *listing);
        }
    }
    if (!m_threads.empty()) m_taskQueued.notifyAll();
    return listing;
}

void ParallelWalk::queueSubfolders(const std::string& path, const FolderListing& listing) {
    if (listing.stopped) return;
    for (const ListedEntry& entry : listing.entries) {
        if (m_tasks.size() >= m_maxFolders) return;
        if (entry.error != 0 || entry.key.back() != '/') continue;
        const FolderListing::FolderId id(entry.st.st_dev, entry.st.st_ino);
        if (m_haveSkipped && id == m_skipped) continue;
        if (std::find(listing.chain.begin(), listing.chain.end(), id) != listing.chain.end())
            continue;
        // Folders the scan may skip by a look of its own.
        const std::string name(entry.key, 0, entry.key.size() - 1);
        if (name == StagingFolder::NAME || name == VersionName::FOLDER) continue;
        TaskPtr task = std::make_shared<Task>();
        task->path = path + '/' + name;
        task->above = listing.chain;
        const std::string key = task->path + '/';
        if (m_tasks.emplace(key, task).second) m_pending.emplace(key, task);
    }
}

void ParallelWalk::work() {
    nameThisThread("backup-walk");
    Orvana::Util::CheckedLock lock(m_mutex);
    for (;;) {
        TaskPtr task;
        while (!m_ending && !(task = nextTask())) m_taskQueued.wait(m_mutex);
        if (m_ending) return;
        list(*task);
    }
}

void ParallelWalk::list(Task& task) {
    task.state = RUNNING;
    m_mutex.unlock();
    std::unique_ptr<FolderListing> listing;
    try {
        listing = m_lister.list(task.path);
    } catch (const std::exception&) {
        // Out of memory: the scan meets it as a folder it could not read.
        listing.reset(new FolderListing);
        listing->openError = ENOMEM;
    }
    listing->chain = task.above;
    if (listing->openError == 0)
        listing->chain.emplace_back(listing->self.st_dev, listing->self.st_ino);
    m_mutex.lock();
    task.state = DONE;
    if (!task.dropped) {
        m_entriesAhead += listing->entries.size();
        queueSubfolders(task.path, *listing);
        task.listing = std::move(listing);
        m_taskQueued.notifyAll();
    }
    m_taskDone.notifyAll();
}

}  // namespace Backup
}  // namespace Orvana
