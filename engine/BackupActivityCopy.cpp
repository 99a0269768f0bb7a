// The copy half of a pass: copies the change table's files into the
// destination, in batches that are made durable before the index says so.
#include <Poco/DateTime.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>
#include <Poco/Timezone.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/CopyBatch.h"
#include "engine/CopyTree.h"
#include "engine/EngineClock.h"
#include "engine/EngineHooks.h"
#include "engine/FileCopier.h"
#include "engine/PathRules.h"
#include "engine/StagingFolder.h"
#include "engine/Translation.h"
#include "hostapi/FileUtil.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {

namespace {

const auto T = tr;

// The copy's entry of a name whose type changed in the source is kept in
// the versions folder; the user learns where.
CopyTree::MovedAside noteMovedAside(BackupDB& db, int recId, const std::string& destination) {
    return [&db, recId, destination](const std::string& entry, const std::string& keptAs) {
        const std::string root =
            destination.empty() || destination.back() == '/' ? destination : destination + '/';
        Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
        ls.information() << "Orvana::Backup::BackupActivity::doLocalBackup"
                         << " : [" << root << entry << "] moved aside to [" << root << keptAs
                         << "] for an entry of another type" << std::endl;
        db.addActivity(recId, BackupDB::SEVERITY_PROGRESS,
                       ActivityText::now(T("Moved aside for an entry of another type:") + " " +
                                         root + entry + " -> " + root + keptAs));
    };
}

}  // namespace

BackupActivity::CopyOutcome BackupActivity::doLocalBackup(const RecordPtr& rec,
                                                          const std::string& destination,
                                                          ChangeSpool& changes,
                                                          Poco::Int64 changedSize,
                                                          Poco::Int64 changedCount) {
    static const std::string fn = "Orvana::Backup::BackupActivity::doLocalBackup";
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();

    const std::string ownPeer = Orvana::API::ProfileManager::getPeerID().toString();
    if (!m_db->incomingRecordExists(rec->id, ownPeer)) {
        if (!m_db->addIncomingRecord(rec->id, "", ownPeer, rec->localPath, destination,
                                     Poco::Timestamp().utcTime())) {
            failPass(T("The backup index could not be read or written"), false);
            return COPY_FAILED;
        }
    }

    // Every temporary of the pass lives in one folder of our own at the
    // destination's root, so that a crash leaves nothing among the copies.
    StagingFolder staging(destination, std::to_string(rec->id));
    CopyTree tree(destination, noteMovedAside(*m_db, rec->id, destination));
    BackupDB::RECORD_SETTINGS settings;
    m_db->getRecordSettings(rec->id, settings);  // a failed read keeps versions, the safe side
    Orvana::Util::FileDescriptor stagingFd;
    try {
        Poco::File root(destination);
        if (!root.exists()) root.createDirectories();  // checkDestination allowed it
        staging.prepare();
        stagingFd.reset(::open(staging.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!stagingFd.valid()) FileCopier::throwErrno(staging.path(), errno);
        tree.rootFd();
    } catch (Poco::Exception& e) {
        ls.error() << fn << " : Error[" << e.displayText() << "] preparing [" << destination << "]"
                   << std::endl;
        failPass(e.message().empty() ? e.displayText() : e.message(), false);
        staging.remove();
        return COPY_FAILED;
    }

    registry.setTotalSendSize(rec->id, changedSize);
    Poco::Int64 remainingCount = changedCount;
    Poco::Int64 remaining = changedSize;
    bool stopped = false;

    CopyBatch batch(rec->id, tree.rootFd(), stagingFd.get(), staging.path(), m_stopFlag);
    std::vector<int> renamed;  // ids whose renames are not yet on disk

    // One flush per batch puts the batch's data and the previous batch's
    // renames on disk; only then are those renamed files marked backed up and
    // this batch renamed over its targets. The last renames get a flush of
    // their own. A copy is never renamed before its data is on disk, and never
    // marked before its rename is.
    // The flush itself; false (logged) when the disk reported an error.
    auto syncDestination = [&]() {
        try {
            if (const int error = batch.flush()) FileCopier::throwErrno(destination, error);
            EngineHooks::afterSync(rec->id, m_stopFlag);
            return true;
        } catch (Poco::Exception& e) {
            ls.error() << fn << " : Error[" << e.message() << "] flushing copies to ["
                       << destination << "]" << std::endl;
            failPass(e.message(), false);
            return false;
        }
    };
    auto markRenamed = [&]() {
        if (!renamed.empty() && !m_db->setSourceFilesSynced(renamed)) {
            failPass(T("The backup index could not be read or written"), false);
        }
        renamed.clear();
    };
    auto flushBatch = [&](bool last) {
        if (!batch.empty()) {
            if (!syncDestination()) {
                // The batch's files count as not sent; the next pass copies them.
                batch.clear();
                renamed.clear();
                return;
            }
            markRenamed();
            for (CopyBatch::Copy& copy : batch.copies()) {
                const BackupDB::FILERECORD& file = changes.at(copy.item);
                const std::string source = PathRules::join(file.dirName, file.fileName);
                const std::string target = PathRules::join(destination, file.fileName);
                try {
                    // The target may be the plug-in's own database (a record
                    // of it into its own folder): renaming over it would
                    // replace the live file under the open connections.
                    struct stat st;
                    if (::lstat(target.c_str(), &st) == 0 && isOwnFile(st)) {
                        ls.error() << fn << " : [" << target
                                   << "] is the plug-in's own database. Skipping file [" << source
                                   << "]" << std::endl;
                        m_db->addActivity(
                            rec->id, BackupDB::SEVERITY_PROBLEM,
                            ActivityText::now(T("Not overwriting the plug-in's own database:") +
                                              " " + target));
                        failPass(target, true);
                        batch.discard(copy);
                        continue;
                    }
                    std::string folder, name;
                    PathRules::splitLast(file.fileName, folder, name);
                    CopyBatch::Versions versions;
                    versions.destinationFd = tree.rootFd();
                    versions.relativeFolder = folder;
                    versions.when = EngineClock::localNow().timestamp();
                    versions.mayMove = true;
                    versions.onlyWhenDifferent = true;
                    versions.keep = settings.versions;  // the record's choice
                    if (batch.place(copy, tree.folder(folder), name, target, &versions, true) ==
                        CopyBatch::FOLDER_IN_PLACE) {
                        // A folder where the source now has a file.
                        tree.moveAside(file.fileName);
                        if (batch.place(copy, tree.folder(folder), name, target, &versions, true) ==
                            CopyBatch::FOLDER_IN_PLACE) {
                            FileCopier::throwErrno(target, EISDIR);
                        }
                    }
                    if (file.fileId != 0) renamed.push_back(file.fileId);
                    // Counted as sent only now that its copy is kept.
                    remainingCount -= 1;
                    remaining -= file.fileSize;
                    ++m_filesCopied;
                    m_bytesCopied += file.fileSize;
                } catch (Poco::Exception& e) {
                    ls.error() << ": " << fn << ": caught exception [" << e.message()
                               << " ] accessing file [" << source << " ]. Skipping" << std::endl;
                    batch.discard(copy);
                    failPass(e.message(), false);
                }
            }
            registry.setToSendCount(rec->id, remainingCount);
            registry.setRemainingSendSize(rec->id, remaining);
            batch.clear();
        }
        if (last && !renamed.empty()) {
            if (syncDestination()) markRenamed();
            renamed.clear();
        }
    };

    // A file's failure, logged as the single-threaded copy would.
    auto skipped = [&](const std::string& source, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (Poco::Exception& e) {
            ls.error() << ": " << fn << ": caught exception [" << e.message()
                       << " ] accessing file [" << source << " ]. Skipping" << std::endl;
            failPass(e.message(), false);
        } catch (std::exception& e) {
            ls.error() << fn << " : Error[" << e.what() << "] caught. Skipping file [" << source
                       << "]" << std::endl;
            failPass(ActivityText::describe(e), false);
        } catch (...) {
            ls.error() << fn << " : Unknown exception caught! " << std::endl;
            failPass(source, false);
        }
    };

    // Takes back the outcomes of the copies started, in their order, until
    // at most `leave` are out (and those not done yet); each is logged and
    // counted here, on this thread, as if it had just been copied.
    auto takeBack = [&](std::size_t leave) {
        while (!stopped && batch.started() != 0) {
            std::size_t item = changes.size();
            FileCopier::Result result = FileCopier::COPIED;
            try {
                if (!batch.next(batch.started() > leave, item, result)) return;
            } catch (...) {
                skipped(item < changes.size()
                            ? PathRules::join(changes.at(item).dirName, changes.at(item).fileName)
                            : std::string(),
                        std::current_exception());
                continue;
            }
            const BackupDB::FILERECORD& file = changes.at(item);
            const std::string source = PathRules::join(file.dirName, file.fileName);
            if (result == FileCopier::STOPPED) {
                stopped = true;
            } else if (result == FileCopier::SOURCE_MISSING || result == FileCopier::NOT_REGULAR) {
                ls.trace() << fn << " : File " << source
                           << " does not exist. Skipping file during rec " << file.recId
                           << " backup" << std::endl;
                remainingCount -= 1;
            } else if (result == FileCopier::CHANGED) {
                // The old copy stays; the index row stays unsynced, so the
                // next pass copies the file again.
                ls.error() << fn << " : File " << source
                           << " changed while it was being copied. Skipping file during rec "
                           << file.recId << " backup" << std::endl;
                failPass(T("File changed while it was being copied:") + " " + source, false);
            }
            if (batch.full()) flushBatch(false);
        }
    };

    // Folders known to exist in the destination during this pass: one check
    // per folder instead of one per file.
    std::unordered_set<std::string> folders;

    for (std::size_t item = 0; !stopped; ++item) {
        // Rows the batch no longer refers to may leave memory.
        changes.release(batch.firstItem(item));
        if (!changes.has(item)) break;
        const BackupDB::FILERECORD& file = changes.at(item);
        if (stopRequested()) {
            stopped = true;
            break;
        }
        registry.setRemainingSendSize(rec->id, remaining);

        const std::string source = PathRules::join(file.dirName, file.fileName);
        const std::string target = PathRules::join(destination, file.fileName);

        try {
            if (!PathRules::staysInside(file.fileName)) {
                // Nothing may be written outside the destination.
                takeBack(0);
                ls.error() << fn << " : File name [" << file.fileName
                           << "] leaves the destination. Skipping file [" << source << "]"
                           << std::endl;
                failPass(source, false);
                continue;
            }
            std::string folder, name;
            Orvana::Util::splitFolder(target, folder, name);
            std::string relativeFolder, targetName;
            PathRules::splitLast(file.fileName, relativeFolder, targetName);
            const bool folderKnown = folders.count(folder) != 0;
            // With the folder in place the copy itself reports a vanished
            // source; otherwise no folder is made for a file that is gone.
            if (!folderKnown && !Poco::File(source).exists()) {
                takeBack(0);
                ls.trace() << fn << " : File " << source
                           << " does not exist. Skipping file during rec " << file.recId
                           << " backup" << std::endl;
                remainingCount -= 1;
                continue;
            }
            registry.setCurrentFile(rec->id, source);

            const int parent = tree.folder(relativeFolder);
            folders.insert(folder);
            // A name new to the copy is written as an unnamed file there.
            CopyBatch::SharedFd newIn;
            struct stat st;
            if (::fstatat(parent, targetName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
                errno == ENOENT) {
                newIn = std::make_shared<Orvana::Util::FileDescriptor>(
                    ::fcntl(parent, F_DUPFD_CLOEXEC, 0));
                if (!newIn->valid()) newIn.reset();
            }
            batch.start(item, file.fileSize, nullptr, source, source, newIn);
        } catch (...) {
            takeBack(0);
            skipped(source, std::current_exception());
        }
        takeBack(CopyBatch::MAX_STARTED - 1);
    }
    if (!stopped) takeBack(0);
    if (stopped) {
        // A stop must be prompt: the copies under way and the unflushed batch
        // are dropped (the next pass copies them again); renames already
        // made are still recorded.
        batch.dropStarted();
        batch.clear();
    }
    flushBatch(true);
    batch.clear();
    staging.remove();
    // What is left unsent at the end, also when nothing was kept this pass.
    registry.setToSendCount(rec->id, remainingCount);
    registry.setRemainingSendSize(rec->id, remaining);

    if (stopped) return COPY_STOPPED;
    return m_passFailed ? COPY_FAILED : COPY_COMPLETE;
}

void BackupActivity::applyFolderAttributes(const RecordPtr& rec, const std::string& destination) {
    // After the files, children before their parents: making an entry
    // changes its folder's time. Empty folders are made here too.
    CopyTree tree(destination, noteMovedAside(*m_db, rec->id, destination));
    for (std::vector<FolderAttributes>::const_reverse_iterator folder = m_folders.rbegin();
         folder != m_folders.rend(); ++folder) {
        if (!PathRules::staysInside(folder->relative)) continue;
        try {
            // A file system without modes or times still holds the files.
            if (const int error =
                    tree.setFolderAttributes(folder->relative, folder->mode, folder->mtime)) {
                Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
                ls.error() << "Orvana::Backup::BackupActivity::doLocalBackup"
                           << " : Error[" << std::strerror(error)
                           << "] setting the mode and time of ["
                           << PathRules::join(destination, folder->relative) << "]" << std::endl;
            }
        } catch (Poco::Exception& e) {
            // The folder is missing from the copy.
            Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
            ls.error() << "Orvana::Backup::BackupActivity::doLocalBackup"
                       << " : Error[" << e.message() << "] copying the folder ["
                       << PathRules::join(destination, folder->relative) << "]" << std::endl;
            failPass(e.message(), false);
        }
    }
}

void BackupActivity::logTransfer(const RecordPtr& rec, const std::string& path, bool isFile,
                                 bool started) {
    // The record's times are written when the pass ends (finishRun): a pass
    // that runs is neither failed nor successful yet.
    const std::string kind = isFile ? "Backup of file [" : "Backup of directory [";
    const std::string text = T(kind) + path + T(started ? "] initiated." : "] completed.");
    m_db->addActivity(rec->id, started ? BackupDB::SEVERITY_PROGRESS : BackupDB::SEVERITY_DONE,
                      ActivityText::now(text));
}

void BackupActivity::logTransferFailed(const RecordPtr& rec) {
    const std::string kind = rec->isFile ? "Backup of file [" : "Backup of directory [";
    m_db->addActivity(rec->id, BackupDB::SEVERITY_PROBLEM,
                      ActivityText::now(T(kind) + rec->localPath + T("] failed.")));
}

}  // namespace Backup
}  // namespace Orvana
