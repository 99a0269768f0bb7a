#include "engine/RestorePass.h"

#include <Poco/Exception.h>
#include <Poco/Timestamp.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "db/BackupDB.h"
#include "engine/ActivityText.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/CopyTree.h"
#include "engine/EngineClock.h"
#include "engine/EngineHooks.h"
#include "engine/FileCopier.h"
#include "engine/PathRules.h"
#include "engine/PeerRestore.h"
#include "engine/RestoreLedger.h"
#include "engine/StagingFolder.h"
#include "engine/Translation.h"
#include "engine/VersionLookup.h"
#include "hostapi/BackupLog.h"

namespace Orvana {
namespace Backup {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The request checked the item; checked once more, as nothing may climb out
// of the copy. "" is the whole copy.
bool splitNames(const std::string& item, std::vector<std::string>& names) {
    names.clear();
    if (item.empty()) return true;
    if (!PathRules::staysInside(item)) return false;
    names = PathRules::splitNames(item);
    return true;
}

bool sameFile(const struct stat& st, Poco::Int64 size, const struct timespec& mtime) {
    return S_ISREG(st.st_mode) && st.st_size == size && st.st_mtim.tv_sec == mtime.tv_sec &&
           st.st_mtim.tv_nsec == mtime.tv_nsec;
}

std::string errorText(const std::string& path, int error) {
    if (error == ELOOP || error == ENOTDIR) return tr("Left alone, not a folder:") + " " + path;
    return path + ": " + std::strerror(error);
}

}  // namespace

RestorePass::RestorePass(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop)
    : m_db(db), m_job(job), m_stop(stop) {
    if (!job.version.empty() || job.atMoment) {
        m_versions.reset(new VersionLookup(PathRules::folderOf(job.copyRoot),
                                           PathRules::baseName(job.copyRoot),
                                           job.record.isFile != 0));
    }
}

RestorePass::~RestorePass() = default;

void RestorePass::fail(const std::string& reason) {
    Orvana::Util::BackupLog ls;
    ls.error() << "Orvana::Backup::RestorePass : rec " << m_job.record.id << ": " << reason
               << std::endl;
    if (!m_failed) m_failReason = reason;
    m_failed = true;
}

bool RestorePass::choosePlaces() {
    const std::string source = PathRules::normalize(m_job.record.localPath);
    const bool original = m_job.target.empty();
    if (m_job.record.isFile) {
        m_copyBase = PathRules::folderOf(m_job.copyRoot);
        m_root = original ? PathRules::folderOf(source) : PathRules::normalize(m_job.target);
    } else {
        m_copyBase = m_job.copyRoot;
        m_root = original ? source : PathRules::normalize(m_job.target);
    }
    // Written into the copy, a restore would overwrite the backup with itself.
    if (PathRules::overlapsResolved(m_job.copyRoot, m_root)) {
        fail(tr("Restore target must not lie in the backup") + " [" + m_root + "]");
        return false;
    }
    return true;
}

bool RestorePass::makeRoot(bool folderCopy) {
    std::vector<std::string> missing;
    struct stat st;
    for (std::string up = PathRules::folderOf(m_root); up != "/" && ::lstat(up.c_str(), &st) != 0;
         up = PathRules::folderOf(up)) {
        missing.push_back(up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) {
            fail(*it + ": " + std::strerror(errno));
            return false;
        }
        m_madeAbove.push_back(*it);
    }
    if (::mkdir(m_root.c_str(), folderCopy ? 0700 : 0777) != 0) {
        fail(m_root + ": " + std::strerror(errno));
        return false;
    }
    m_rootFd = PathRules::openFolder(AT_FDCWD, m_root);
    if (!m_rootFd.valid()) {
        fail(errorText(m_root, errno));
        return false;
    }
    return true;
}

bool RestorePass::prepareRoot() {
    if (!choosePlaces()) return false;
    const bool original = m_job.target.empty();
    struct stat copy;
    const bool folderCopy =
        !m_job.record.isFile && ::lstat(m_copyBase.c_str(), &copy) == 0 && S_ISDIR(copy.st_mode);
    // The root may be reached through a link of the user's; below it, no
    // link is followed.
    m_rootFd.reset(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool created = false;
    if (!m_rootFd.valid()) {
        if (errno != ENOENT || !original) {
            fail(tr("Restore target must be an existing absolute folder") + " [" + m_root + "]");
            return false;
        }
        // The original place is gone with its files: it is made again, and
        // what a stop leaves empty of it is taken away again.
        if (!makeRoot(folderCopy)) return false;
        created = true;
    }
    struct stat st;
    if (::fstat(m_rootFd.get(), &st) != 0) {
        fail(m_root + ": " + std::strerror(errno));
        return false;
    }
    // The record's own folder at its original place is the copy's root.
    const bool attributes = original && folderCopy;
    m_folders.push_back(
        Folder{NO_FOLDER, "", m_root, static_cast<mode_t>(attributes ? copy.st_mode & 07777 : 0),
               attributes ? copy.st_mtim : st.st_mtim, attributes, created, st.st_dev, st.st_ino});
    return true;
}

Orvana::Util::FileDescriptor RestorePass::ensureFolder(int parent, std::size_t parentFolder,
                                                       const std::string& name,
                                                       const struct stat& copy,
                                                       std::size_t& index) {
    const std::string target = PathRules::join(m_folders[parentFolder].target, name);
    bool created = false;
    if (::mkdirat(parent, name.c_str(), 0700) == 0) {
        created = true;
        m_folders[parentFolder].written = true;  // its time changed
    } else if (errno != EEXIST) {
        fail(target + ": " + std::strerror(errno));
        return Orvana::Util::FileDescriptor();
    }
    Orvana::Util::FileDescriptor folder = PathRules::openFolder(parent, name);
    struct stat st;
    if (!folder.valid() || ::fstat(folder.get(), &st) != 0) {
        fail(errorText(target, errno));
        return Orvana::Util::FileDescriptor();
    }
    m_folders.push_back(Folder{parentFolder, name, target,
                               static_cast<mode_t>(copy.st_mode & 07777), copy.st_mtim, true,
                               created, st.st_dev, st.st_ino});
    index = m_folders.size() - 1;
    return folder;
}

Orvana::Util::FileDescriptor RestorePass::openTarget(std::size_t index) {
    Folder& folder = m_folders[index];
    if (folder.lost) return Orvana::Util::FileDescriptor();
    if (folder.parent == NO_FOLDER) {
        Orvana::Util::FileDescriptor root(::dup(m_rootFd.get()));
        if (!root.valid()) fail(m_root + ": " + std::strerror(errno));
        return root;
    }
    const Orvana::Util::FileDescriptor parent = openTarget(folder.parent);
    if (!parent.valid()) return Orvana::Util::FileDescriptor();  // told already
    Orvana::Util::FileDescriptor fd = PathRules::openFolder(parent.get(), folder.name);
    if (!fd.valid()) {
        const int error = errno;
        fail(errorText(folder.target, error));
        if (error == ENOENT || error == ELOOP || error == ENOTDIR) folder.lost = true;
        return fd;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || st.st_dev != folder.dev || st.st_ino != folder.ino) {
        // Another folder took its place since the pass made or found it.
        fail(tr("Left alone, not a folder:") + " " + folder.target);
        folder.lost = true;
        return Orvana::Util::FileDescriptor();
    }
    return fd;
}

int RestorePass::targetFolder(std::size_t index) {
    if (index != m_openIndex) {
        m_open = openTarget(index);
        m_openIndex = index;
    }
    return m_open.get();
}

Orvana::Util::FileDescriptor RestorePass::openCopyBase() const {
    // A file record's copy lies in the store location itself, which may be
    // a link the user chose; a folder record's copy folder is ours.
    if (m_job.record.isFile) {
        return Orvana::Util::FileDescriptor(
            ::open(m_copyBase.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return PathRules::openFolder(AT_FDCWD, m_copyBase);
}

Orvana::Util::FileDescriptor RestorePass::openCopyFolder(
    const std::vector<std::string>& names) const {
    Orvana::Util::FileDescriptor fd = openCopyBase();
    if (!fd.valid()) FileCopier::throwErrno(m_copyBase, errno);
    std::string failed;
    fd = PathRules::openFolderBelow(std::move(fd), names, &failed);
    if (!fd.valid()) FileCopier::throwErrno(PathRules::join(m_copyBase, failed), errno);
    return fd;
}

void RestorePass::planItem(std::vector<std::string> names) {
    const bool original = m_job.target.empty();
    if (m_job.record.isFile) names.assign(1, PathRules::baseName(m_job.copyRoot));
    Orvana::Util::FileDescriptor copy = openCopyBase();
    if (!copy.valid()) {
        fail(m_copyBase + ": " + std::strerror(errno));
        return;
    }
    Orvana::Util::FileDescriptor target(::dup(m_rootFd.get()));
    std::size_t targetIndex = ROOT;
    std::vector<std::string> walked;
    // Step by step without following links; at the original place each
    // folder on the way is made again if it is gone.
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        struct stat st;
        if (::fstatat(copy.get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (last && error == ENOENT && !m_job.version.empty()) {
                // Gone from the copy, but a version of it is asked for.
                st = {};
                m_copyFolders.push_back(walked);
                planFile(m_copyFolders.size() - 1, target.get(), targetIndex, names[i], st);
                return;
            }
            fail(PathRules::join(m_copyBase, PathRules::joinNames(names)) + ": " +
                 std::strerror(error));
            return;
        }
        if (last && S_ISREG(st.st_mode)) {
            m_copyFolders.push_back(walked);
            planFile(m_copyFolders.size() - 1, target.get(), targetIndex, names[i], st);
            return;
        }
        Orvana::Util::FileDescriptor child;
        if (S_ISDIR(st.st_mode)) child = PathRules::openFolder(copy.get(), names[i]);
        if (!child.valid()) {
            fail(tr("Left alone, not a folder:") + " " +
                 PathRules::join(m_copyBase, PathRules::joinNames(names)));
            return;
        }
        copy = std::move(child);
        walked.push_back(names[i]);
        if (original || last) {
            target = ensureFolder(target.get(), targetIndex, names[i], st, targetIndex);
            if (!target.valid()) return;
        }
    }
    if (names.empty() && !original) {
        struct stat st;
        if (::fstat(copy.get(), &st) != 0) {
            fail(m_copyBase + ": " + std::strerror(errno));
            return;
        }
        target = ensureFolder(target.get(), targetIndex, PathRules::baseName(m_copyBase), st,
                              targetIndex);
        if (!target.valid()) return;
    }
    planFolder(std::move(copy), walked, target.get(), targetIndex);
}

void RestorePass::planFolder(Orvana::Util::FileDescriptor copy,
                             const std::vector<std::string>& names, int target,
                             std::size_t targetIndex) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy.get()));
    if (!dir) {
        fail(PathRules::join(m_copyBase, PathRules::joinNames(names)) + ": " +
             std::strerror(errno));
        return;
    }
    const int fd = copy.release();  // the listing owns it now
    m_copyFolders.push_back(names);
    const std::size_t index = m_copyFolders.size() - 1;
    while (const struct dirent* item = ::readdir(dir.get())) {
        if (stopRequested()) return;
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        if (S_ISREG(st.st_mode)) {
            planFile(index, target, targetIndex, name, st);
        } else if (S_ISDIR(st.st_mode)) {
            // Empty folders of the copy are made too: the structure is kept.
            std::size_t childIndex = NO_FOLDER;
            Orvana::Util::FileDescriptor childTarget =
                ensureFolder(target, targetIndex, name, st, childIndex);
            if (!childTarget.valid()) continue;
            Orvana::Util::FileDescriptor child = PathRules::openFolder(fd, name);
            if (!child.valid()) {
                fail(PathRules::join(m_copyBase, PathRules::joinNames(names) + "/" + name) + ": " +
                     std::strerror(errno));
                continue;
            }
            std::vector<std::string> childNames(names);
            childNames.push_back(name);
            planFolder(std::move(child), childNames, childTarget.get(), childIndex);
        }
        // Links and special files of the copy are never followed or made.
    }
}

bool RestorePass::chooseSource(std::size_t folder, const std::string& name, struct stat& st,
                               std::string& keptName) {
    if (!m_versions) return true;
    const VersionLookup::Versions& versions = m_versions->of(m_copyFolders[folder], name);
    const VersionLookup::Version* version = m_job.atMoment
                                                ? VersionLookup::at(versions, m_job.moment)
                                                : VersionLookup::withStamp(versions, m_job.version);
    if (version) {
        st = version->st;
        keptName = version->keptName;
    } else if (!m_job.atMoment) {
        std::vector<std::string> names = m_copyFolders[folder];
        names.push_back(name);
        fail(tr("No such version of this file") + " " +
             PathRules::join(m_copyBase, PathRules::joinNames(names)) + " " + m_job.version);
        return false;
    }
    return true;
}

void RestorePass::planFile(std::size_t folder, int target, std::size_t targetIndex,
                           const std::string& name, const struct stat& current) {
    const std::string path = PathRules::join(m_folders[targetIndex].target, name);
    // Every file of a moment's restore, or the one of a version's.
    struct stat copy = current;
    std::string keptName;
    if (!chooseSource(folder, name, copy, keptName)) return;
    struct stat st;
    if (::fstatat(target, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (m_job.overwrite == RestoreJob::NEVER ||
            (m_job.overwrite == RestoreJob::CHANGED && sameFile(st, copy.st_size, copy.st_mtim))) {
            ++m_left;
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            fail(tr("Left alone, a folder is in its place:") + " " + path);
            return;
        }
    }
    m_files.push_back(File{folder, targetIndex, name, path, static_cast<Poco::Int64>(copy.st_size),
                           copy.st_mtim, keptName});
    m_totalBytes += copy.st_size;
}

void RestorePass::commit(CopyBatch::Copy& copy, CopyBatch& batch) {
    const File& file = m_files[copy.item];
    const int folder = targetFolder(file.targetFolder);
    try {
        if (folder < 0) {
            batch.discard(copy);  // its folder was swapped: told once
            return;
        }
        if (m_job.overwrite == RestoreJob::NEVER) {
            // A name that appeared since the plan belongs to the user now.
            if (batch.place(copy, folder, file.name, file.target, nullptr, false) ==
                CopyBatch::TAKEN) {
                ++m_left;
                return;
            }
        } else {
            CopyBatch::Versions versions;
            bool keep = false;
            struct stat st;
            if (::fstatat(folder, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISDIR(st.st_mode)) {
                    batch.discard(copy);
                    fail(tr("Left alone, a folder is in its place:") + " " + file.target);
                    return;
                }
                if (m_job.overwrite == RestoreJob::CHANGED && sameFile(st, file.size, file.mtime)) {
                    batch.discard(copy);
                    ++m_left;
                    return;
                }
                // What the restore replaces may be the only copy of a later edit.
                keep = S_ISREG(st.st_mode);
                if (keep) versions = versionsOf(file);
            }
            const CopyBatch::Placed placed =
                batch.place(copy, folder, file.name, file.target, keep ? &versions : nullptr, true);
            if (placed == CopyBatch::FOLDER_IN_PLACE) {
                batch.discard(copy);
                fail(tr("Left alone, a folder is in its place:") + " " + file.target);
                return;
            }
            if (placed == CopyBatch::KEPT_AND_PLACED) ++m_kept;
        }
        m_folders[file.targetFolder].written = true;
        ++m_restored;
    } catch (Poco::Exception& e) {
        batch.discard(copy);
        fail(e.message());
    }
}

CopyBatch::Versions RestorePass::versionsOf(const File& file) {
    if (!m_destinationFd.valid()) {
        // The root of the record's store location; a link there is the user's.
        const std::string destination =
            m_job.record.isFile ? m_copyBase : PathRules::folderOf(m_job.copyRoot);
        m_destinationFd.reset(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_destinationFd.valid()) FileCopier::throwErrno(destination, errno);
    }
    std::vector<std::string> names = m_copyFolders[file.folder];
    if (!m_job.record.isFile) names.insert(names.begin(), PathRules::baseName(m_job.copyRoot));
    CopyBatch::Versions versions;
    versions.destinationFd = m_destinationFd.get();
    versions.relativeFolder = PathRules::joinNames(names);
    versions.when = EngineClock::localNow().timestamp();  // the clock that stamps a backup's versions
    return versions;
}

// The copy step's running state, shared by its steps.
struct RestorePass::CopyRun {
    CopyBatch& batch;
    Poco::Int64 remainingCount;
    Poco::Int64 remaining;
    bool stopped;
    CopyBatch::SharedFd fd;  // the copy folder last read from
    std::size_t open;        // its index into m_copyFolders
};

std::string RestorePass::copyPath(const File& file) const {
    std::vector<std::string> names = m_copyFolders[file.folder];
    names.push_back(file.name);
    return PathRules::join(m_copyBase, PathRules::joinNames(names));
}

void RestorePass::flushBatch(CopyRun& run) {
    // The batch's data is on disk before any of it is renamed over a file
    // of the user's, so a crash leaves either the old file or the whole copy.
    CopyBatch& batch = run.batch;
    if (batch.empty()) return;
    if (const int error = batch.flush()) {
        fail(m_root + ": " + std::strerror(error));
        batch.clear();
        return;
    }
    const int id = m_job.record.id;
    EngineHooks::beforeRestoreCommit(id, m_stop);
    // Each batch finds its folders afresh: one may have been swapped.
    m_openIndex = NO_FOLDER;
    for (CopyBatch::Copy& copy : batch.copies()) {
        commit(copy, batch);
        run.remainingCount -= 1;
        run.remaining -= m_files[copy.item].size;
    }
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.setToSendCount(id, run.remainingCount);
    registry.setRemainingSendSize(id, run.remaining);
    batch.clear();
}

void RestorePass::takeBack(CopyRun& run, std::size_t leave) {
    // The copies' outcomes, in the order they were started.
    CopyBatch& batch = run.batch;
    while (!run.stopped && batch.started() != 0) {
        std::size_t item = 0;
        FileCopier::Result result = FileCopier::COPIED;
        try {
            if (!batch.next(batch.started() > leave, item, result)) return;
        } catch (Poco::Exception& e) {
            fail(e.message().empty() ? e.displayText() : e.message());
            continue;
        }
        if (result == FileCopier::STOPPED) {
            run.stopped = true;
            return;
        }
        if (result != FileCopier::COPIED) {
            // The copy is the backup: it changing or vanishing is a fault.
            fail(tr("File changed while it was being copied:") + " " + copyPath(m_files[item]));
        }
        if (batch.full()) flushBatch(run);
    }
}

void RestorePass::startCopy(CopyRun& run, std::size_t item) {
    const File& file = m_files[item];
    const bool fromVersion = !file.keptName.empty();
    if (!fromVersion && (!run.fd || run.open != file.folder)) {
        run.fd.reset();
        run.fd = std::make_shared<Orvana::Util::FileDescriptor>(
            openCopyFolder(m_copyFolders[file.folder]));
        run.open = file.folder;
    }
    BackupProgressRegistry::instance().setCurrentFile(m_job.record.id, file.target);
    // A name still free is written as an unnamed file in its folder.
    CopyBatch::SharedFd newIn;
    const int target = targetFolder(file.targetFolder);
    struct stat st;
    if (target >= 0 && ::fstatat(target, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        newIn = std::make_shared<Orvana::Util::FileDescriptor>(::fcntl(target, F_DUPFD_CLOEXEC, 0));
        if (!newIn->valid()) newIn.reset();
    }
    // A version is read from the versions folder the plan found it in;
    // the pool reads it later, so it gets a descriptor of its own.
    CopyBatch::SharedFd from = run.fd;
    if (fromVersion) {
        m_versions->folder(m_copyFolders[file.folder]);
        from = std::make_shared<Orvana::Util::FileDescriptor>(
            ::fcntl(m_versions->folderFd(), F_DUPFD_CLOEXEC, 0));
        if (!from->valid()) FileCopier::throwErrno(copyPath(file), errno);
    }
    run.batch.start(item, file.size, from, fromVersion ? file.keptName : file.name, copyPath(file),
                    newIn);
}

bool RestorePass::copyFiles(int stagingFd, const std::string& staging) {
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    const int id = m_job.record.id;
    CopyBatch batch(id, m_rootFd.get(), stagingFd, staging, m_stop);
    CopyRun run{batch, static_cast<Poco::Int64>(m_files.size()), m_totalBytes, false, {}, 0};
    registry.setTotalSendSize(id, m_totalBytes);
    registry.setToSendCount(id, run.remainingCount);
    registry.setRemainingSendSize(id, run.remaining);

    for (std::size_t item = 0; item < m_files.size() && !run.stopped; ++item) {
        if (stopRequested()) {
            run.stopped = true;
            break;
        }
        try {
            startCopy(run, item);
        } catch (Poco::Exception& e) {
            fail(e.message().empty() ? e.displayText() : e.message());
        }
        takeBack(run, CopyBatch::MAX_STARTED - 1);
    }
    if (!run.stopped) takeBack(run, 0);
    if (run.stopped) {
        // Prompt: the copies under way and the unflushed batch are dropped;
        // the files they would have replaced are untouched.
        batch.dropStarted();
        batch.clear();
        return false;
    }
    flushBatch(run);
    // The renames themselves on disk before the pass says it is done.
    if (m_restored != 0) {
        if (const int error = batch.flush()) fail(m_root + ": " + std::strerror(error));
    }
    return true;
}

void RestorePass::finishFolders(bool stopped) {
    m_openIndex = NO_FOLDER;
    m_open.reset();
    if (stopped) {
        // Deepest first (they were made in walk order); only an empty folder
        // can be removed, so nothing of the user's goes with it.
        for (std::size_t i = m_folders.size(); i-- > 0;) {
            Folder& folder = m_folders[i];
            if (!folder.created || !openTarget(i).valid()) continue;
            if (folder.parent == NO_FOLDER) {
                if (::rmdir(m_root.c_str()) == 0) folder.lost = true;
                continue;
            }
            const Orvana::Util::FileDescriptor parent = openTarget(folder.parent);
            if (parent.valid() && ::unlinkat(parent.get(), folder.name.c_str(), AT_REMOVEDIR) == 0)
                folder.lost = true;
        }
        for (auto it = m_madeAbove.rbegin(); it != m_madeAbove.rend(); ++it) ::rmdir(it->c_str());
    }
    // After the files: creating an entry changes its folder's time.
    for (std::size_t i = 0; i < m_folders.size(); ++i) {
        const Folder& folder = m_folders[i];
        if (!folder.attributes || (!folder.created && !folder.written)) continue;
        const Orvana::Util::FileDescriptor fd = openTarget(i);
        if (!fd.valid()) continue;
        if (const int error = CopyTree::applyAttributes(
                fd.get(), folder.created ? &folder.mode : nullptr, folder.mtime))
            fail(folder.target + ": " + std::strerror(error));
    }
}

RestorePass::Outcome RestorePass::run() {
    // A copy on another device is fetched here first, then restored by a pass of its own.
    if (PeerRestore::fromPeer(m_job))
        return PeerRestore::run(m_db, m_job, m_stop, m_restored, m_failReason);
    const int id = m_job.record.id;
    const std::string& path = m_job.record.localPath;
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    m_db.addActivity(id, BackupDB::SEVERITY_PROGRESS,
                     ActivityText::now(tr("Restore of [") + path + tr("] initiated.")));
    registry.markActive(id);
    registry.setCheckedFileCount(id, 0);  // the last scan's count says nothing here
    registry.setCurrentAction(id, tr("Restoring"));

    bool stopped = false;
    bool staged = false;
    try {
        if (prepareRoot()) {
            planAll();
            stopped = stopRequested();
            if (!stopped && !m_files.empty()) stopped = !stageAndCopy(staged);
        }
    } catch (std::exception& e) {
        fail(ActivityText::describe(e));
    }
    if (staged) {
        StagingFolder::removeAt(m_rootFd.get(), RestoreLedger::stagingKey(id));
        RestoreLedger::end(m_db, id);
    }
    if (m_rootFd.valid()) finishFolders(stopped);

    registry.clearActive(id);
    registry.setCurrentFile(id, "");
    registry.setCurrentAction(id, tr("Idle"));
    if (stopped) return STOPPED;
    return report();
}

void RestorePass::planAll() {
    for (const std::string& item : m_job.paths) {
        std::vector<std::string> names;
        if (!splitNames(item, names)) {
            fail(item);
            continue;
        }
        planItem(names);
        if (stopRequested()) break;
    }
}

bool RestorePass::stageAndCopy(bool& staged) {
    const int id = m_job.record.id;
    const std::string key = RestoreLedger::stagingKey(id);
    // Noted first, so that the next start sweeps what a kill leaves.
    RestoreLedger::begin(m_db, id, m_root);
    staged = true;
    const Orvana::Util::FileDescriptor staging = StagingFolder::prepareAt(m_rootFd.get(), key);
    // Temporaries are named through the folder's descriptor, so a swap of
    // its path cannot send them elsewhere.
    std::string stagingPath = "/proc/self/fd/" + std::to_string(staging.get());
    if (::access(stagingPath.c_str(), F_OK) != 0)
        stagingPath = PathRules::join(PathRules::join(m_root, StagingFolder::NAME), key);
    return copyFiles(staging.get(), stagingPath);
}

RestorePass::Outcome RestorePass::report() {
    const int id = m_job.record.id;
    const std::string& path = m_job.record.localPath;
    if (m_failed && !m_failReason.empty())
        m_db.addActivity(id, BackupDB::SEVERITY_PROBLEM, ActivityText::now(m_failReason));
    m_db.addActivity(id, BackupDB::SEVERITY_PROGRESS,
                     ActivityText::now(std::to_string(m_restored) + tr(" file(s) restored, ") +
                                       std::to_string(m_left) + tr(" left as they were")));
    if (m_kept != 0)
        m_db.addActivity(
            id, BackupDB::SEVERITY_PROGRESS,
            ActivityText::now(std::to_string(m_kept) + tr(" file(s) kept as earlier versions")));
    if (m_failed) {
        m_db.addActivity(id, BackupDB::SEVERITY_PROBLEM,
                         ActivityText::now(tr("Restore of [") + path + tr("] failed.")));
        return FAILED;
    }
    m_db.addActivity(id, BackupDB::SEVERITY_DONE,
                     ActivityText::now(tr("Restore of [") + path + tr("] completed.")));
    return DONE;
}

}  // namespace Backup
}  // namespace Orvana
