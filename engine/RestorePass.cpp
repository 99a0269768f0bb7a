#include "engine/RestorePass.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>
#include <Poco/Timestamp.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "db/BackupDB.h"
#include "engine/ActivityText.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/FileCopier.h"
#include "engine/PathRules.h"
#include "engine/StagingFolder.h"
#include "engine/Translation.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace {

const auto T = tr;

// The same limits as a backup's copy phase: few flushes, bounded loss.
const std::size_t BATCH_FILES = 20000;
const Poco::Int64 BATCH_BYTES = 256 * 1024 * 1024;
const Poco::Timestamp::TimeDiff BATCH_TIME = 5 * 1000 * 1000;  // microseconds

const int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string lastName(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(path, folder, name);
    return name;
}

std::string parentOf(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(path, folder, name);
    return folder.empty() ? "/" : folder;
}

std::string join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : "/") + name;
    return out;
}

// The request checked the item; checked once more, as nothing may climb out
// of the copy. "" is the whole copy.
bool splitNames(const std::string& item, std::vector<std::string>& names) {
    names.clear();
    if (item.empty()) return true;
    if (!PathRules::staysInside(item)) return false;
    std::string::size_type pos = 0;
    for (;;) {
        const std::string::size_type end = item.find('/', pos);
        names.push_back(item.substr(pos, end == std::string::npos ? end : end - pos));
        if (end == std::string::npos) return true;
        pos = end + 1;
    }
}

struct Pending {
    std::string temp;
    std::string target;
    Poco::Int64 size;
    std::size_t targetFolder;
};

}  // namespace

RestorePass::RestorePass(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop)
    : m_db(db), m_job(job), m_stop(stop) {}

void RestorePass::fail(const std::string& reason) {
    Poco::LogStream ls(Poco::Logger::get("backup"));
    ls.error() << "Orvana::Backup::RestorePass : rec " << m_job.record.id << ": " << reason
               << std::endl;
    if (!m_failed) m_failReason = reason;
    m_failed = true;
}

bool RestorePass::prepareRoot() {
    const std::string source = PathRules::normalize(m_job.record.localPath);
    const bool original = m_job.target.empty();
    if (m_job.record.isFile) {
        m_copyBase = parentOf(m_job.copyRoot);
        m_root = original ? parentOf(source) : PathRules::normalize(m_job.target);
    } else {
        m_copyBase = m_job.copyRoot;
        m_root = original ? source : PathRules::normalize(m_job.target);
    }
    // Written into the copy, a restore would overwrite the backup with itself.
    if (PathRules::overlapsResolved(m_job.copyRoot, m_root)) {
        fail(T("Restore target must not lie in the backup") + " [" + m_root + "]");
        return false;
    }
    struct stat st, copy;
    const bool folderCopy =
        !m_job.record.isFile && ::lstat(m_copyBase.c_str(), &copy) == 0 && S_ISDIR(copy.st_mode);
    if (::stat(m_root.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            // The record's own folder at its original place is the copy's
            // root; it may be reached through a link of the user's.
            if (original && folderCopy) {
                m_folders.push_back(
                    Folder{m_root, static_cast<mode_t>(copy.st_mode & 07777), copy.st_mtim, false});
                m_rootFolder = m_folders.size() - 1;
            }
            return true;
        }
        fail(T("Restore target must be an existing absolute folder") + " [" + m_root + "]");
        return false;
    }
    if (!original) {
        fail(T("Restore target must be an existing absolute folder") + " [" + m_root + "]");
        return false;
    }
    // The original place is gone with its files: it is made again, and a
    // folder record's own folder takes the copy's mode and time.
    if (folderCopy) {
        Poco::File(parentOf(m_root)).createDirectories();
        return ensureFolder(m_root, copy, m_rootFolder);
    }
    Poco::File(m_root).createDirectories();
    return true;
}

bool RestorePass::ensureFolder(const std::string& target, const struct stat& copy,
                               std::size_t& index) {
    bool created = false;
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            fail(T("Left alone, not a folder:") + " " + target);
            return false;
        }
    } else if (errno != ENOENT || ::mkdir(target.c_str(), 0700) != 0) {
        fail(target + ": " + std::strerror(errno));
        return false;
    } else {
        created = true;
    }
    m_folders.push_back(
        Folder{target, static_cast<mode_t>(copy.st_mode & 07777), copy.st_mtim, created});
    index = m_folders.size() - 1;
    return true;
}

int RestorePass::openCopyBase() const {
    // A file record's copy lies in the store location itself, which may be
    // a link the user chose; a folder record's copy folder is ours.
    return ::open(m_copyBase.c_str(),
                  m_job.record.isFile ? O_RDONLY | O_DIRECTORY | O_CLOEXEC : FOLDER_FLAGS);
}

int RestorePass::openCopyFolder(const std::vector<std::string>& names) const {
    int fd = openCopyBase();
    if (fd < 0) FileCopier::throwErrno(m_copyBase, errno);
    for (const std::string& name : names) {
        const int next = ::openat(fd, name.c_str(), FOLDER_FLAGS);
        const int error = errno;
        ::close(fd);
        if (next < 0) FileCopier::throwErrno(join(m_copyBase, name), error);
        fd = next;
    }
    return fd;
}

void RestorePass::planItem(std::vector<std::string> names) {
    const bool original = m_job.target.empty();
    if (m_job.record.isFile) names.assign(1, lastName(m_job.copyRoot));
    int fd = openCopyBase();
    if (fd < 0) {
        fail(m_copyBase + ": " + std::strerror(errno));
        return;
    }
    std::string target = m_root;
    std::size_t targetFolder = original ? m_rootFolder : NO_FOLDER;
    std::vector<std::string> walked;
    // Step by step without following links; at the original place each
    // folder on the way is made again if it is gone.
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        struct stat st;
        if (::fstatat(fd, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(join(m_copyBase, joinNames(names)) + ": " + std::strerror(errno));
            ::close(fd);
            return;
        }
        const std::string next = original ? join(target, names[i]) : join(m_root, names[i]);
        if (last && S_ISREG(st.st_mode)) {
            m_copyFolders.push_back(walked);
            planFile(m_copyFolders.size() - 1, targetFolder, names[i], st, next);
            ::close(fd);
            return;
        }
        const int child = S_ISDIR(st.st_mode) ? ::openat(fd, names[i].c_str(), FOLDER_FLAGS) : -1;
        ::close(fd);
        if (child < 0) {
            fail(T("Left alone, not a folder:") + " " + join(m_copyBase, joinNames(names)));
            return;
        }
        fd = child;
        walked.push_back(names[i]);
        if (original || last) {
            target = next;
            if (!ensureFolder(target, st, targetFolder)) {
                ::close(fd);
                return;
            }
        }
    }
    if (names.empty() && !original) {
        struct stat st;
        if (::fstat(fd, &st) != 0 ||
            !ensureFolder(join(m_root, lastName(m_copyBase)), st, targetFolder)) {
            ::close(fd);
            return;
        }
        target = join(m_root, lastName(m_copyBase));
    }
    planFolder(fd, walked, target, targetFolder);
}

void RestorePass::planFolder(int fd, const std::vector<std::string>& names,
                             const std::string& target, std::size_t targetFolder) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        fail(target + ": " + std::strerror(errno));
        ::close(fd);
        return;
    }
    m_copyFolders.push_back(names);
    const std::size_t index = m_copyFolders.size() - 1;
    while (const struct dirent* item = ::readdir(dir.get())) {
        if (stopRequested()) return;
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        if (S_ISREG(st.st_mode)) {
            planFile(index, targetFolder, name, st, join(target, name));
        } else if (S_ISDIR(st.st_mode)) {
            const std::string childTarget = join(target, name);
            std::size_t childFolder = NO_FOLDER;
            if (!ensureFolder(childTarget, st, childFolder)) continue;
            const int child = ::openat(fd, name.c_str(), FOLDER_FLAGS);
            if (child < 0) {
                fail(childTarget + ": " + std::strerror(errno));
                continue;
            }
            std::vector<std::string> childNames(names);
            childNames.push_back(name);
            planFolder(child, childNames, childTarget, childFolder);
        }
        // Links and special files of the copy are never followed or made.
    }
}

void RestorePass::planFile(std::size_t folder, std::size_t targetFolder, const std::string& name,
                           const struct stat& copy, const std::string& target) {
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) {
        const bool same = S_ISREG(st.st_mode) && st.st_size == copy.st_size &&
                          st.st_mtim.tv_sec == copy.st_mtim.tv_sec &&
                          st.st_mtim.tv_nsec == copy.st_mtim.tv_nsec;
        if (m_job.overwrite == RestoreJob::NEVER ||
            (m_job.overwrite == RestoreJob::CHANGED && same)) {
            ++m_left;
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            fail(T("Left alone, a folder is in its place:") + " " + target);
            return;
        }
    }
    m_files.push_back(
        File{folder, targetFolder, name, target, static_cast<Poco::Int64>(copy.st_size)});
    m_totalBytes += copy.st_size;
}

bool RestorePass::copyFiles(const std::string& staging) {
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    const int id = m_job.record.id;
    Poco::Int64 remainingCount = static_cast<Poco::Int64>(m_files.size());
    Poco::Int64 remaining = m_totalBytes;
    registry.setTotalSendSize(id, m_totalBytes);
    registry.setToSendCount(id, remainingCount);
    registry.setRemainingSendSize(id, remaining);

    std::vector<Pending> batch;
    Poco::Int64 batchBytes = 0;
    Poco::Timestamp batchStart;
    // The batch's data is on disk before any of it is renamed over a file
    // of the user's, so a crash leaves either the old file or the whole copy.
    auto flush = [&]() {
        if (batch.empty()) return;
        try {
            FileCopier::syncFileSystem(m_root);
        } catch (Poco::Exception& e) {
            fail(e.message());
            for (const Pending& p : batch) FileCopier::discard(p.temp);
            batch.clear();
            return;
        }
        for (const Pending& p : batch) {
            try {
                FileCopier::commit(p.temp, p.target);
                if (p.targetFolder != NO_FOLDER) m_folders[p.targetFolder].written = true;
                ++m_restored;
                remainingCount -= 1;
                remaining -= p.size;
            } catch (Poco::Exception& e) {
                FileCopier::discard(p.temp);
                fail(e.message());
            }
        }
        registry.setToSendCount(id, remainingCount);
        registry.setRemainingSendSize(id, remaining);
        batch.clear();
        batchBytes = 0;
        batchStart.update();
    };

    int fd = -1;
    std::size_t open = 0;
    bool stopped = false;
    for (const File& file : m_files) {
        if (stopRequested()) {
            stopped = true;
            break;
        }
        try {
            if (fd < 0 || open != file.folder) {
                if (fd >= 0) ::close(fd);
                fd = -1;
                fd = openCopyFolder(m_copyFolders[file.folder]);
                open = file.folder;
            }
            const std::string copy =
                join(m_copyBase, joinNames(m_copyFolders[file.folder]) + "/" + file.name);
            registry.setCurrentFile(id, file.target);
            std::string temp;
            const FileCopier::Result result =
                FileCopier::copyToTemporaryAt(fd, file.name, copy, staging, temp, m_stop);
            if (result == FileCopier::STOPPED) {
                stopped = true;
                break;
            }
            if (result != FileCopier::COPIED) {
                // The copy is the backup: it changing or vanishing is a fault.
                fail(T("File changed while it was being copied:") + " " + copy);
                continue;
            }
            batch.push_back(Pending{temp, file.target, file.size, file.targetFolder});
            batchBytes += file.size;
        } catch (Poco::Exception& e) {
            fail(e.message().empty() ? e.displayText() : e.message());
        }
        if (batch.size() >= BATCH_FILES || batchBytes >= BATCH_BYTES ||
            batchStart.elapsed() >= BATCH_TIME) {
            flush();
        }
    }
    if (fd >= 0) ::close(fd);
    if (stopped) {
        // Prompt: the unflushed batch is dropped; the files it would have
        // replaced are untouched.
        for (const Pending& p : batch) FileCopier::discard(p.temp);
        return false;
    }
    flush();
    // The renames themselves on disk before the pass says it is done.
    if (m_restored != 0) {
        try {
            FileCopier::syncFileSystem(m_root);
        } catch (Poco::Exception& e) {
            fail(e.message());
        }
    }
    return true;
}

void RestorePass::applyFolderAttributes() {
    // After the files: creating an entry changes its folder's time.
    for (const Folder& folder : m_folders) {
        if (!folder.created && !folder.written) continue;
        if (folder.created && ::chmod(folder.target.c_str(), folder.mode) != 0) {
            fail(folder.target + ": " + std::strerror(errno));
        }
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = folder.mtime;
        if (::utimensat(AT_FDCWD, folder.target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(folder.target + ": " + std::strerror(errno));
        }
    }
}

RestorePass::Outcome RestorePass::run() {
    const int id = m_job.record.id;
    const std::string& path = m_job.record.localPath;
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    m_db.addActivity(id, BackupDB::SEVERITY_PROGRESS,
                     ActivityText::now(T("Restore of [") + path + T("] initiated.")));
    registry.markActive(id);
    registry.setCheckedFileCount(id, 0);  // the last scan's count says nothing here
    registry.setCurrentAction(id, T("Restoring"));

    bool stopped = false;
    std::unique_ptr<StagingFolder> staging;
    try {
        if (prepareRoot()) {
            for (const std::string& item : m_job.paths) {
                std::vector<std::string> names;
                if (!splitNames(item, names)) {
                    fail(item);
                    continue;
                }
                planItem(names);
                if (stopRequested()) break;
            }
            stopped = stopRequested();
            if (!stopped && !m_files.empty()) {
                staging.reset(new StagingFolder(m_root, "restore-" + std::to_string(id)));
                staging->sweep();
                staging->prepare();
                stopped = !copyFiles(staging->path());
            }
        }
    } catch (std::exception& e) {
        fail(ActivityText::describe(e));
    }
    if (staging) staging->remove();
    if (!stopped) applyFolderAttributes();

    registry.clearActive(id);
    registry.setCurrentFile(id, "");
    registry.setCurrentAction(id, T("Idle"));
    if (stopped) return STOPPED;

    if (m_failed && !m_failReason.empty())
        m_db.addActivity(id, BackupDB::SEVERITY_PROBLEM, ActivityText::now(m_failReason));
    m_db.addActivity(id, BackupDB::SEVERITY_PROGRESS,
                     ActivityText::now(std::to_string(m_restored) + T(" file(s) restored, ") +
                                       std::to_string(m_left) + T(" left as they were")));
    if (m_failed) {
        m_db.addActivity(id, BackupDB::SEVERITY_PROBLEM,
                         ActivityText::now(T("Restore of [") + path + T("] failed.")));
        return FAILED;
    }
    m_db.addActivity(id, BackupDB::SEVERITY_DONE,
                     ActivityText::now(T("Restore of [") + path + T("] completed.")));
    return DONE;
}

}  // namespace Backup
}  // namespace Orvana
