#include "engine/PeerRestore.h"

#include <Poco/Exception.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "db/BackupDB.h"
#include "engine/ActivityText.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/CopyTree.h"
#include "engine/FileCopier.h"
#include "engine/PathRules.h"
#include "engine/PeerBrowseClient.h"
#include "engine/PeerProtocol.h"
#include "engine/PeerSender.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileDescriptor.h"
#include "hostapi/PeerLink.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {
namespace PeerRestore {

namespace P = PeerProtocol;
using Fd = Orvana::Util::FileDescriptor;
using Item = PeerBrowseClient::Item;

namespace {


// Empties and removes `name` in the open folder, never following a link.
void removeTree(int parentFd, const std::string& name, int depth = 0) {
    struct stat st;
    if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode) || depth > 256) {
        ::unlinkat(parentFd, name.c_str(), 0);
        return;
    }
    Fd folder = PathRules::openFolder(parentFd, name);
    if (!folder.valid()) return;
    ::fchmod(folder.get(), 0700);  // a read-only folder of the copy must empty too
    std::vector<std::string> names;
    if (DIR* dir = ::fdopendir(::dup(folder.get()))) {
        while (const struct dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        ::closedir(dir);
    }
    for (const std::string& child : names) removeTree(folder.get(), child, depth + 1);
    ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

Fd makeFolder(int parentFd, const std::string& name, const std::string& path) {
    if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST)
        FileCopier::throwErrno(path, errno);
    Fd folder = PathRules::openFolder(parentFd, name);
    if (!folder.valid()) FileCopier::throwErrno(path, errno);
    return folder;
}

// Fetches the job's items from the device into the holding folder.
class Fetch {
public:
    Fetch(const RestoreJob& job, const std::atomic<bool>& stop, int baseFd, const std::string& base,
          const std::string& copyName)
        : m_job(job),
          m_stop(stop),
          m_client(job.record),
          m_baseFd(baseFd),
          m_base(base),
          m_copyName(copyName) {}

    // False when stopped; throws on any failure.
    bool all() {
        const PeerBrowseClient::Listing root = m_client.list("", moment());
        if (root.self.kind == PeerBrowseClient::NONE)
            throw Poco::RuntimeException(tr("Nothing has been backed up yet"));
        if (m_job.record.isFile) {
            const std::string stamp = m_job.version.empty() ? root.self.stamp : m_job.version;
            return file(m_baseFd, m_copyName, "", stamp);
        }
        Fd rootFd = makeFolder(m_baseFd, m_copyName, m_base + "/" + m_copyName);
        m_folders.push_back(Folder{{}, root.self});
        for (const std::string& item : m_job.paths) {
            if (!PathRules::staysInside(item) && !item.empty())
                throw Poco::RuntimeException(tr("The path is not inside the backup"), item);
            if (!fetchItem(rootFd.get(), PathRules::splitNames(item))) return false;
        }
        // After the files: making an entry changes its folder's time.
        for (const Folder& folder : m_folders) {
            Fd fd = PathRules::openFolderBelow(Fd(::dup(rootFd.get())), folder.names, nullptr);
            const mode_t mode = static_cast<mode_t>(folder.facts.mode);
            if (fd.valid()) CopyTree::applyAttributes(fd.get(), &mode, PeerProtocol::timespecOf(folder.facts.mtime));
        }
        return true;
    }

private:
    struct Folder {
        std::vector<std::string> names;  // below the copy
        Item facts;
    };

    const Poco::Timestamp* moment() const { return m_job.atMoment ? &m_job.moment : nullptr; }
    bool stopped() const { return m_stop.load(std::memory_order_relaxed); }

    bool fetchItem(int rootFd, const std::vector<std::string>& names) {
        Fd folder(::dup(rootFd));
        std::vector<std::string> walked;
        // The folders on the way, with their own mode and time.
        for (size_t i = 0; i + 1 < names.size(); ++i) {
            walked.push_back(names[i]);
            const std::string path = PathRules::joinNames(walked);
            const PeerBrowseClient::Listing above = m_client.list(path);
            if (above.self.kind != PeerBrowseClient::FOLDER)
                throw Poco::RuntimeException(tr("No such file or folder in the backup"), path);
            folder = makeFolder(folder.get(), names[i], m_base + "/" + path);
            m_folders.push_back(Folder{walked, above.self});
        }
        if (names.empty()) {
            return this->folder(rootFd, "", m_client.list("", moment()));
        }
        const std::string path = PathRules::joinNames(names);
        if (!m_job.version.empty()) return file(folder.get(), names.back(), path, m_job.version);
        const PeerBrowseClient::Listing listing = m_client.list(path, moment());
        if (listing.self.kind == PeerBrowseClient::FILE)
            return file(folder.get(), names.back(), path, listing.self.stamp);
        if (listing.self.kind != PeerBrowseClient::FOLDER)
            throw Poco::RuntimeException(tr("No such file or folder in the backup"), path);
        Fd child = makeFolder(folder.get(), names.back(), m_base + "/" + path);
        m_folders.push_back(Folder{names, listing.self});
        return this->folder(child.get(), path, listing);
    }

    bool folder(int fd, const std::string& path, const PeerBrowseClient::Listing& listing) {
        if (listing.more > 0)
            throw Poco::RuntimeException(tr("Too many entries in one folder of the backup"), path);
        for (const Item& entry : listing.entries) {
            if (stopped()) return false;
            const std::string childPath = PathRules::join(path, entry.name);
            if (entry.kind == PeerBrowseClient::FOLDER) {
                Fd child = makeFolder(fd, entry.name, m_base + "/" + childPath);
                m_folders.push_back(Folder{PathRules::splitNames(childPath), entry});
                if (!folder(child.get(), childPath, m_client.list(childPath, moment())))
                    return false;
            } else if (!file(fd, entry.name, childPath, entry.stamp)) {
                return false;
            }
        }
        return true;
    }

    // One file, chunk by chunk; it must stay the same file all along.
    bool file(int folderFd, const std::string& name, const std::string& path,
              const std::string& stamp) {
        const std::string local = m_base + "/" + (path.empty() ? name : m_copyName + "/" + path);
        BackupProgressRegistry::instance().setCurrentFile(m_job.record.id, local);
        Fd out(::openat(folderFd, name.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid()) FileCopier::throwErrno(local, errno);
        Item first;
        Poco::Int64 offset = 0;
        for (bool start = true; start || offset < first.size; start = false) {
            if (stopped()) return false;
            Item facts;
            const std::string bytes = m_client.read(path, stamp, offset, P::CHUNK, facts);
            if (start) first = facts;
            if (facts.size != first.size || facts.mtime != first.mtime ||
                (bytes.empty() && offset < first.size)) {
                throw Poco::RuntimeException(tr("File changed while it was being copied:") + " " +
                                             path);
            }
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t n = ::pwrite(out.get(), bytes.data() + done, bytes.size() - done,
                                           static_cast<off_t>(offset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) FileCopier::throwErrno(local, n < 0 ? errno : ENOSPC);
                done += static_cast<size_t>(n);
            }
            offset += static_cast<Poco::Int64>(bytes.size());
        }
        struct stat st;
        if (::fstat(out.get(), &st) != 0 || st.st_size != first.size)
            throw Poco::RuntimeException(tr("File changed while it was being copied:") + " " + path);
        FileCopier::setModeAndTime(out.get(), static_cast<mode_t>(first.mode),
                                   PeerProtocol::timespecOf(first.mtime), local);
        return true;
    }

    const RestoreJob& m_job;
    const std::atomic<bool>& m_stop;
    PeerBrowseClient m_client;
    int m_baseFd;
    std::string m_base;
    std::string m_copyName;
    std::vector<Folder> m_folders;  // made for the copy's folders, the copy's root first
};

}  // namespace

bool fromPeer(const RestoreJob& job) {
    const Orvana::Data::PeerID own = Orvana::API::ProfileManager::getPeerID();
    return own.isValid() && !job.record.targetPeerId.empty() &&
           !(Orvana::Data::PeerID(job.record.targetPeerId) == own);
}

std::string holdingFolder(const BackupDB& db, int recId) {
    // Beside the database, which may be the default store location: a name
    // the engine keeps for itself cannot be a local record's copy folder.
    return PathRules::folderOf(db.filePath()) + "/.backup-peer-restore/" + std::to_string(recId);
}

RestorePass::Outcome run(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop,
                         Poco::Int64& restored, std::string& failReason) {
    const int id = job.record.id;
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.markActive(id);
    registry.setCheckedFileCount(id, 0);
    registry.setCurrentAction(id, tr("Restoring"));
    const std::string copyName = PathRules::baseName(job.copyRoot);
    const std::string base = holdingFolder(db, id);
    Fd baseFd;
    bool stopped = false;
    std::string reason;
    try {
        const std::string top = PathRules::folderOf(base);
        if (::mkdir(top.c_str(), 0700) != 0 && errno != EEXIST) FileCopier::throwErrno(top, errno);
        Fd topFd = PathRules::openFolder(AT_FDCWD, top);
        if (!topFd.valid()) FileCopier::throwErrno(top, errno);
        baseFd = makeFolder(topFd.get(), std::to_string(id), base);
        removeTree(baseFd.get(), copyName);  // what an interrupted restore left
        stopped = !Fetch(job, stop, baseFd.get(), base, copyName).all();
    } catch (Orvana::API::PeerUnreachableException&) {
        reason = PeerSender::unreachable(job.record.targetPeerId);
    } catch (Poco::Exception& e) {
        reason = e.message().empty() ? e.displayText() : e.message();
    } catch (std::exception& e) {
        reason = e.what();
    }
    RestorePass::Outcome outcome = RestorePass::FAILED;
    if (stopped) {
        outcome = RestorePass::STOPPED;
    } else if (!reason.empty()) {
        Orvana::Util::BackupLog ls;
        ls.error() << "Orvana::Backup::PeerRestore : rec " << id << ": " << reason << std::endl;
        const std::string& path = job.record.localPath;
        db.addActivity(id, BackupDB::SEVERITY_PROGRESS,
                       ActivityText::now(tr("Restore of [") + path + tr("] initiated.")));
        db.addActivity(id, BackupDB::SEVERITY_PROBLEM, ActivityText::now(reason));
        db.addActivity(id, BackupDB::SEVERITY_PROBLEM,
                       ActivityText::now(tr("Restore of [") + path + tr("] failed.")));
        failReason = reason;
    } else {
        // The fetched copy is restored as a copy on this device would be.
        RestoreJob local = job;
        local.copyRoot = base + "/" + copyName;
        local.version.clear();
        local.atMoment = false;
        local.record.targetPeerId = Orvana::API::ProfileManager::getPeerID().toString();
        RestorePass pass(db, local, stop);
        outcome = pass.run();
        restored = pass.restoredCount();
        failReason = pass.failReason();
    }
    if (baseFd.valid()) removeTree(baseFd.get(), copyName);
    registry.clearActive(id);
    registry.setCurrentFile(id, "");
    registry.setCurrentAction(id, tr("Idle"));
    return outcome;
}

}  // namespace PeerRestore
}  // namespace Backup
}  // namespace Orvana
