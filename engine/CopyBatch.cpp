#include "engine/CopyBatch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/EngineHooks.h"
#include "engine/RenameNoReplace.h"
#include "engine/VersionsFolder.h"

namespace Orvana {
namespace Backup {

const std::size_t CopyBatch::MAX_FILES;
const Poco::Int64 CopyBatch::MAX_BYTES;
const Poco::Timestamp::TimeDiff CopyBatch::MAX_TIME;
const std::size_t CopyBatch::MAX_UNNAMED;
const std::size_t CopyBatch::MAX_STARTED;

namespace {

std::atomic<unsigned long> g_nameCounter(0);

// Unnamed files hold a descriptor each until the flush: leave room for the
// rest of the process under its limit.
std::size_t unnamedLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return CopyBatch::MAX_UNNAMED;
    return std::min<std::size_t>(CopyBatch::MAX_UNNAMED, limit.rlim_cur / 4);
}

}  // namespace

CopyBatch::CopyBatch(int recId, int flushFd, int stagingFd, const std::string& stagingPath,
                     const std::atomic<bool>& stop, unsigned threads)
    : m_flushFd(flushFd),
      m_stagingFd(stagingFd),
      m_stagingPath(stagingPath),
      m_stop(stop),
      m_unnamedLimit(unnamedLimit()),
      m_pool(recId, threads) {}

CopyBatch::~CopyBatch() {
    dropStarted();
    clear();
}

void CopyBatch::start(std::size_t item, Poco::Int64 size, SharedFd sourceFolder,
                      const std::string& name, const std::string& path, SharedFd newIn) {
    std::shared_ptr<Slot> slot = std::make_shared<Slot>();
    slot->item = item;
    slot->size = size;
    slot->unnamedAllowed = newIn && !m_noUnnamed.load() && m_unnamed < m_unnamedLimit;
    if (slot->unnamedAllowed) {
        ++m_unnamed;
        slot->folder = newIn;
    } else {
        newIn.reset();
    }
    slot->task = m_pool.submit([this, slot, sourceFolder, name, path, newIn] {
        copy(*slot, sourceFolder, name, path, newIn);
    });
    m_started.push_back(slot);
}

void CopyBatch::copy(Slot& slot, const SharedFd& sourceFolder, const std::string& name,
                     const std::string& path, const SharedFd& newIn) {
    try {
        if (m_stop.load()) return;  // STOPPED
        const int folder = sourceFolder ? sourceFolder->get() : AT_FDCWD;
        if (newIn && !m_noUnnamed.load()) {
            slot.result = FileCopier::copyToAnonymousAt(folder, name, path, newIn->get(),
                                                        slot.unnamed, m_stop);
            if (slot.result != FileCopier::UNSUPPORTED) return;
            m_noUnnamed = true;
        }
        std::string temp;
        slot.result =
            FileCopier::copyToTemporaryAt(folder, name, path, m_stagingPath, temp, m_stop);
        if (slot.result == FileCopier::COPIED) slot.temp = temp.substr(temp.rfind('/') + 1);
    } catch (...) {
        slot.error = std::current_exception();
    }
}

bool CopyBatch::next(bool wait, std::size_t& item, FileCopier::Result& result) {
    if (m_started.empty()) return false;
    const std::shared_ptr<Slot> slot = m_started.front();
    if (wait) {
        m_pool.wait(*slot->task);
    } else if (!m_pool.done(*slot->task)) {
        return false;
    }
    m_started.pop_front();
    if (slot->unnamedAllowed && !slot->unnamed.valid()) --m_unnamed;
    item = slot->item;
    if (slot->error) std::rethrow_exception(slot->error);
    result = slot->result;
    if (result == FileCopier::COPIED) {
        if (slot->unnamed.valid()) ++m_unnamedCopies;
        m_copies.push_back(Copy{slot->item, slot->size, slot->temp, std::move(slot->unnamed),
                                std::move(slot->folder)});
        m_bytes += slot->size;
    }
    return true;
}

void CopyBatch::dropStarted() {
    for (const std::shared_ptr<Slot>& slot : m_started) {
        m_pool.wait(*slot->task);
        if (slot->unnamedAllowed) --m_unnamed;
        if (!slot->temp.empty()) ::unlinkat(m_stagingFd, slot->temp.c_str(), 0);
        slot->unnamed.reset();
    }
    m_started.clear();
}

bool CopyBatch::full() const {
    // Flushed while the copies under way still find unnamed files free; with
    // a small budget, at half of it, so that flushes stay few.
    const std::size_t unnamedFull = std::max<std::size_t>(
        {1, m_unnamedLimit / 2, m_unnamedLimit > MAX_STARTED ? m_unnamedLimit - MAX_STARTED : 0});
    return m_copies.size() >= MAX_FILES || m_bytes >= MAX_BYTES || m_begun.elapsed() >= MAX_TIME ||
           m_unnamedCopies >= unnamedFull;
}

int CopyBatch::flush() {
    // Every copy of the batch was taken back from its thread, so its writes
    // are done; one flush of the whole file system then covers each file's
    // data, the unnamed ones included, and every folder entry made since the
    // last flush: cheaper than a flush per file and per folder.
    int error = EngineHooks::copyFault(EngineHooks::FLUSH, m_stagingPath);
    if (error == 0 && ::syncfs(m_flushFd) != 0) error = errno;
    return error;
}

CopyBatch::Placed CopyBatch::place(Copy& copy, int folderFd, const std::string& name,
                                   const std::string& path, const Versions* versions,
                                   bool replace) {
    if (copy.unnamed.valid() && linkUnnamed(copy, folderFd, name, path)) return PLACED;

    struct stat old;
    const bool exists = ::fstatat(folderFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) FileCopier::throwErrno(path, errno);
    if (!replace) {
        if (RenameNoReplace::move(m_stagingFd, copy.temp, folderFd, name) ==
            RenameNoReplace::TAKEN) {
            discard(copy);
            return TAKEN;
        }
        copy.temp.clear();
        return PLACED;
    }
    if (exists && S_ISDIR(old.st_mode)) return FOLDER_IN_PLACE;

    bool kept = false;
    if (exists && S_ISREG(old.st_mode) && versions && versions->keep) {
        bool same = false;
        if (versions->onlyWhenDifferent) {
            // The same size and time is the same copy again (a pass cut off
            // after its rename, before the index knew): nothing to keep.
            struct stat fresh;
            if (::fstatat(m_stagingFd, copy.temp.c_str(), &fresh, 0) != 0)
                FileCopier::throwErrno(path, errno);
            same = old.st_size == fresh.st_size && old.st_mtim.tv_sec == fresh.st_mtim.tv_sec &&
                   old.st_mtim.tv_nsec == fresh.st_mtim.tv_nsec;
        }
        if (!same) {
            VersionsFolder::keep(versions->destinationFd, versions->relativeFolder, folderFd, name,
                                 path, versions->when, versions->mayMove);
            kept = true;
            const std::atomic<bool> noStop(false);
            EngineHooks::afterVersionKept(path, noStop);
        }
    }
    if (::renameat(m_stagingFd, copy.temp.c_str(), folderFd, name.c_str()) != 0)
        FileCopier::throwErrno(path, errno);
    copy.temp.clear();
    return kept ? KEPT_AND_PLACED : PLACED;
}

bool CopyBatch::linkUnnamed(Copy& copy, int folderFd, const std::string& name,
                            const std::string& path) {
    const int error = FileCopier::linkAnonymous(copy.unnamed.get(), folderFd, name);
    if (error == 0) {
        release(copy);
        return true;
    }
    if (error != EEXIST) FileCopier::throwErrno(path, error);
    // The name was taken while the file was copied: it is replaced (or left
    // alone) like any other, from a name in the staging folder.
    for (int attempt = 0;; ++attempt) {
        const std::string temp = ".backup-" + std::to_string(::getpid()) + "-n" +
                                 std::to_string(++g_nameCounter) + ".tmp";
        const int linked = FileCopier::linkAnonymous(copy.unnamed.get(), m_stagingFd, temp);
        if (linked == 0) {
            copy.temp = temp;
            release(copy);
            return false;
        }
        if (linked != EEXIST || attempt > 100) FileCopier::throwErrno(path, linked);
    }
}

void CopyBatch::linkAll(const std::function<std::string(const Copy&)>& nameOf) {
    std::vector<std::pair<Copy*, std::string>> links;
    for (Copy& copy : m_copies) {
        if (copy.unnamed.valid() && copy.folder) links.emplace_back(&copy, nameOf(copy));
    }
    if (links.empty()) return;
    // The pool's threads are idle while the owner places the batch: a link
    // costs a path lookup through /proc and an entry in the folder.
    const unsigned parts = m_pool.threads();
    std::vector<std::shared_ptr<CopyPool::Task>> tasks;
    for (unsigned part = 0; part < parts; ++part) {
        // Each part a run of folders: links into one folder wait for each other.
        const std::size_t begin = links.size() * part / parts;
        const std::size_t end = links.size() * (part + 1) / parts;
        tasks.push_back(m_pool.submit([&links, begin, end] {
            for (std::size_t i = begin; i < end; ++i) {
                Copy& copy = *links[i].first;
                copy.linked = FileCopier::linkAnonymous(copy.unnamed.get(), copy.folder->get(),
                                                        links[i].second) == 0;
            }
        }));
    }
    for (const std::shared_ptr<CopyPool::Task>& task : tasks) m_pool.wait(*task);
}

bool CopyBatch::takeLinked(Copy& copy) noexcept {
    if (!copy.linked || !copy.unnamed.valid()) return false;
    release(copy);
    return true;
}

void CopyBatch::release(Copy& copy) noexcept {
    copy.folder.reset();
    if (copy.unnamed.valid()) {
        copy.unnamed.reset();
        --m_unnamed;
        --m_unnamedCopies;
    }
}

void CopyBatch::discard(Copy& copy) noexcept {
    if (!copy.temp.empty()) ::unlinkat(m_stagingFd, copy.temp.c_str(), 0);
    copy.temp.clear();
    release(copy);
}

void CopyBatch::clear() {
    for (Copy& copy : m_copies) discard(copy);
    m_copies.clear();
    m_bytes = 0;
    m_begun.update();
}

}  // namespace Backup
}  // namespace Orvana
