// The copy half of a pass: copies the change table's files into the
// destination, in batches that are made durable before the index says so.
#include <Poco/DateTime.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
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
#include "engine/PassLabels.h"
#include "engine/PathRules.h"
#include "engine/StagingFolder.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileUtil.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {

namespace {

// The copy's entry of a name whose type changed in the source is kept in
// the versions folder; the user learns where.
CopyTree::MovedAside noteMovedAside(BackupDB& db, int recId, const std::string& destination) {
    return [&db, recId, destination](const std::string& entry, const std::string& keptAs) {
        const std::string root =
            destination.empty() || destination.back() == '/' ? destination : destination + '/';
        Orvana::Util::BackupLog ls;
        ls.information() << PassLabels::COPY << " : [" << root << entry << "] moved aside to ["
                         << root << keptAs << "] for an entry of another type" << std::endl;
        db.addActivity(recId, BackupDB::SEVERITY_PROGRESS,
                       ActivityText::now(tr("Moved aside for an entry of another type:") + " " +
                                         root + entry + " -> " + root + keptAs));
    };
}

}  // namespace

// The copy phase's state, shared by the steps of doLocalBackup; worker
// thread only. The batch is made once the staging folder is open.
struct BackupActivity::CopyRun {
    CopyRun(const RecordPtr& rec, const std::string& destination, ChangeSpool& changes,
            BackupDB& db)
        : rec(rec),
          destination(destination),
          changes(changes),
          staging(destination, std::to_string(rec->id)),
          tree(destination, noteMovedAside(db, rec->id, destination)) {}

    const RecordPtr& rec;
    const std::string& destination;
    ChangeSpool& changes;
    // Every temporary of the pass lives in one folder of our own at the
    // destination's root, so that a crash leaves nothing among the copies.
    StagingFolder staging;
    CopyTree tree;
    Orvana::Util::BackupLog ls;
    BackupDB::RECORD_SETTINGS settings;
    Orvana::Util::FileDescriptor stagingFd;
    std::unique_ptr<CopyBatch> batch;
    std::vector<int> renamed;  // ids whose renames are not yet on disk
    Poco::Int64 remainingCount = 0;
    Poco::Int64 remaining = 0;
    bool stopped = false;
    // Folders known to exist in the destination during this pass: one check
    // per folder instead of one per file.
    std::unordered_set<std::string> folders;

    // The folder `relative` of the copy (open as treeFd) for the copy
    // threads, which may still use it when the tree has moved on. Files come
    // in path order: one copy of the descriptor serves a folder's files.
    CopyBatch::SharedFd newFilesFolder(const std::string& relative, int treeFd) {
        if (!sharedFolder || sharedFolderName != relative) {
            sharedFolder =
                std::make_shared<Orvana::Util::FileDescriptor>(::fcntl(treeFd, F_DUPFD_CLOEXEC, 0));
            sharedFolderName = relative;
        }
        return sharedFolder->valid() ? sharedFolder : CopyBatch::SharedFd();
    }
    CopyBatch::SharedFd sharedFolder;
    std::string sharedFolderName;
};

BackupActivity::CopyOutcome BackupActivity::doLocalBackup(const RecordPtr& rec,
                                                          const std::string& destination,
                                                          ChangeSpool& changes,
                                                          Poco::Int64 changedSize,
                                                          Poco::Int64 changedCount) {
    const std::string ownPeer = Orvana::API::ProfileManager::getPeerID().toString();
    if (!m_db->incomingRecordExists(rec->id, ownPeer)) {
        if (!m_db->addIncomingRecord(rec->id, "", ownPeer, rec->localPath, destination,
                                     Poco::Timestamp().utcTime())) {
            failPass(tr("The backup index could not be read or written"), false);
            return COPY_FAILED;
        }
    }
    CopyRun run(rec, destination, changes, *m_db);
    m_db->getRecordSettings(rec->id, run.settings);  // a failed read keeps versions, the safe side
    if (!prepareStaging(run)) return COPY_FAILED;

    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.setTotalSendSize(rec->id, changedSize);
    run.remainingCount = changedCount;
    run.remaining = changedSize;
    run.batch.reset(new CopyBatch(rec->id, run.tree.rootFd(), run.stagingFd.get(),
                                  run.staging.path(), m_stopFlag));

    for (std::size_t item = 0; !run.stopped; ++item) {
        // Rows the batch no longer refers to may leave memory.
        changes.release(run.batch->firstItem(item));
        if (!changes.has(item)) break;
        if (stopRequested()) {
            run.stopped = true;
            break;
        }
        registry.setRemainingSendSize(rec->id, run.remaining);
        startCopy(run, item);
        takeBack(run, CopyBatch::MAX_STARTED - 1);
    }
    if (!run.stopped) takeBack(run, 0);
    if (run.stopped) {
        // A stop must be prompt: the copies under way and the unflushed batch
        // are dropped (the next pass copies them again); renames already
        // made are still recorded.
        run.batch->dropStarted();
        run.batch->clear();
    }
    flushBatch(run, true);
    run.batch->clear();
    run.staging.remove();
    // What is left unsent at the end, also when nothing was kept this pass.
    registry.setToSendCount(rec->id, run.remainingCount);
    registry.setRemainingSendSize(rec->id, run.remaining);

    if (run.stopped) return COPY_STOPPED;
    return m_passFailed ? COPY_FAILED : COPY_COMPLETE;
}

bool BackupActivity::prepareStaging(CopyRun& run) {
    try {
        Poco::File root(run.destination);
        if (!root.exists()) root.createDirectories();  // checkDestination allowed it
        run.staging.prepare();
        run.stagingFd.reset(::open(run.staging.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!run.stagingFd.valid()) FileCopier::throwErrno(run.staging.path(), errno);
        run.tree.rootFd();
        return true;
    } catch (Poco::Exception& e) {
        run.ls.error() << PassLabels::COPY << " : Error[" << e.displayText() << "] preparing ["
                       << run.destination << "]" << std::endl;
        failPass(e.message().empty() ? e.displayText() : e.message(), false);
        run.staging.remove();
        return false;
    }
}

// Starts the copy of one changed file, unless it is skipped.
void BackupActivity::startCopy(CopyRun& run, std::size_t item) {
    const BackupDB::FILERECORD& file = run.changes.at(item);
    const std::string source = PathRules::join(file.dirName, file.fileName);
    const std::string target = PathRules::join(run.destination, file.fileName);
    try {
        if (!PathRules::staysInside(file.fileName)) {
            // Nothing may be written outside the destination.
            takeBack(run, 0);
            run.ls.error() << PassLabels::COPY << " : File name [" << file.fileName
                           << "] leaves the destination. Skipping file [" << source << "]"
                           << std::endl;
            failPass(source, false);
            return;
        }
        std::string folder, name;
        Orvana::Util::splitFolder(target, folder, name);
        std::string relativeFolder, targetName;
        PathRules::splitLast(file.fileName, relativeFolder, targetName);
        const bool folderKnown = run.folders.count(folder) != 0;
        // With the folder in place the copy itself reports a vanished
        // source; otherwise no folder is made for a file that is gone.
        if (!folderKnown && !Poco::File(source).exists()) {
            takeBack(run, 0);
            run.ls.trace() << PassLabels::COPY << " : File " << source
                           << " does not exist. Skipping file during rec " << file.recId
                           << " backup" << std::endl;
            run.remainingCount -= 1;
            return;
        }
        BackupProgressRegistry::instance().setCurrentFile(run.rec->id, source);

        const int parent = run.tree.folder(relativeFolder);
        run.folders.insert(folder);
        // A name new to the copy is written as an unnamed file there.
        CopyBatch::SharedFd newIn;
        struct stat st;
        if (::fstatat(parent, targetName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT) {
            newIn = run.newFilesFolder(relativeFolder, parent);
        }
        run.batch->start(item, file.fileSize, nullptr, source, source, newIn);
    } catch (...) {
        takeBack(run, 0);
        skipped(run, source, std::current_exception());
    }
}

// A file's failure, logged as the single-threaded copy would, in the odd
// shape the scan's lines keep (": " before the label), as logs are searched
// for it.
void BackupActivity::skipped(CopyRun& run, const std::string& source, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (Poco::Exception& e) {
        run.ls.error() << ": " << PassLabels::COPY << ": caught exception [" << e.message()
                       << " ] accessing file [" << source << " ]. Skipping" << std::endl;
        failPass(e.message(), false);
    } catch (std::exception& e) {
        run.ls.error() << PassLabels::COPY << " : Error[" << e.what() << "] caught. Skipping file ["
                       << source << "]" << std::endl;
        failPass(ActivityText::describe(e), false);
    } catch (...) {
        run.ls.error() << PassLabels::COPY << " : Unknown exception caught! " << std::endl;
        failPass(source, false);
    }
}

// Takes back the outcomes of the copies started, in their order, until at
// most `leave` are out (and those not done yet); each is logged and counted
// here, on this thread, as if it had just been copied.
void BackupActivity::takeBack(CopyRun& run, std::size_t leave) {
    CopyBatch& batch = *run.batch;
    while (!run.stopped && batch.started() != 0) {
        std::size_t item = run.changes.size();
        FileCopier::Result result = FileCopier::COPIED;
        try {
            if (!batch.next(batch.started() > leave, item, result)) return;
        } catch (...) {
            skipped(run,
                    item < run.changes.size() ? PathRules::join(run.changes.at(item).dirName,
                                                                run.changes.at(item).fileName)
                                              : std::string(),
                    std::current_exception());
            continue;
        }
        noteCopyResult(run, run.changes.at(item), result);
        if (batch.full()) flushBatch(run, false);
    }
}

void BackupActivity::noteCopyResult(CopyRun& run, const BackupDB::FILERECORD& file,
                                    FileCopier::Result result) {
    const std::string source = PathRules::join(file.dirName, file.fileName);
    if (result == FileCopier::STOPPED) {
        run.stopped = true;
    } else if (result == FileCopier::SOURCE_MISSING || result == FileCopier::NOT_REGULAR) {
        run.ls.trace() << PassLabels::COPY << " : File " << source
                       << " does not exist. Skipping file during rec " << file.recId << " backup"
                       << std::endl;
        run.remainingCount -= 1;
    } else if (result == FileCopier::CHANGED) {
        // The old copy stays; the index row stays unsynced, so the next pass
        // copies the file again.
        run.ls.error() << PassLabels::COPY << " : File " << source
                       << " changed while it was being copied. Skipping file during rec "
                       << file.recId << " backup" << std::endl;
        failPass(tr("File changed while it was being copied:") + " " + source, false);
    }
}

// One flush per batch puts the batch's data and the previous batch's renames
// on disk; only then are those renamed files marked backed up and this batch
// renamed over its targets. The last renames get a flush of their own. A
// copy is never renamed before its data is on disk, and never marked before
// its rename is.
void BackupActivity::flushBatch(CopyRun& run, bool last) {
    CopyBatch& batch = *run.batch;
    if (!batch.empty()) {
        if (!syncDestination(run)) {
            // The batch's files count as not sent; the next pass copies them.
            batch.clear();
            run.renamed.clear();
            return;
        }
        markRenamed(run);
        // One reading of the clock for the batch: the zone lookup behind it
        // costs a system call, and a first backup places files by the thousand.
        const Poco::Timestamp now = EngineClock::localNow().timestamp();
        batch.linkAll([&run](const CopyBatch::Copy& copy) {
            std::string folder, name;
            PathRules::splitLast(run.changes.at(copy.item).fileName, folder, name);
            return name;
        });
        for (CopyBatch::Copy& copy : batch.copies()) placeCopy(run, copy, now);
        BackupProgressRegistry& registry = BackupProgressRegistry::instance();
        registry.setToSendCount(run.rec->id, run.remainingCount);
        registry.setRemainingSendSize(run.rec->id, run.remaining);
        batch.clear();
    }
    if (last && !run.renamed.empty()) {
        if (syncDestination(run)) markRenamed(run);
        run.renamed.clear();
    }
}

// The flush itself; false (logged) when the disk reported an error.
bool BackupActivity::syncDestination(CopyRun& run) {
    try {
        if (const int error = run.batch->flush()) FileCopier::throwErrno(run.destination, error);
        EngineHooks::afterSync(run.rec->id, m_stopFlag);
        return true;
    } catch (Poco::Exception& e) {
        run.ls.error() << PassLabels::COPY << " : Error[" << e.message() << "] flushing copies to ["
                       << run.destination << "]" << std::endl;
        failPass(e.message(), false);
        return false;
    }
}

void BackupActivity::markRenamed(CopyRun& run) {
    if (!run.renamed.empty() && !m_db->setSourceFilesSynced(run.renamed)) {
        failPass(tr("The backup index could not be read or written"), false);
    }
    run.renamed.clear();
}

// Renames one flushed copy over its target, keeping the file it replaces as
// a version when the record asks for it.
void BackupActivity::placeCopy(CopyRun& run, CopyBatch::Copy& copy, const Poco::Timestamp& now) {
    const BackupDB::FILERECORD& file = run.changes.at(copy.item);
    const std::string source = PathRules::join(file.dirName, file.fileName);
    const std::string target = PathRules::join(run.destination, file.fileName);
    try {
        std::string folder, name;
        PathRules::splitLast(file.fileName, folder, name);
        CopyBatch& batch = *run.batch;
        // A link never replaces an entry, so a new name cannot be the
        // database's: only a copy whose name was taken since needs the check.
        const bool linked =
            batch.takeLinked(copy) ||
            (copy.unnamed.valid() && batch.linkUnnamed(copy, run.tree.folder(folder), name, target));
        if (!linked) {
            if (refuseOwnDatabase(run, copy, run.tree.folder(folder), name, source, target)) return;
            CopyBatch::Versions versions;
            versions.destinationFd = run.tree.rootFd();
            versions.relativeFolder = folder;
            versions.when = now;
            versions.mayMove = true;
            versions.onlyWhenDifferent = true;
            versions.keep = run.settings.versions;  // the record's choice
            if (batch.place(copy, run.tree.folder(folder), name, target, &versions, true) ==
                CopyBatch::FOLDER_IN_PLACE) {
                // A folder where the source now has a file.
                run.tree.moveAside(file.fileName);
                if (batch.place(copy, run.tree.folder(folder), name, target, &versions, true) ==
                    CopyBatch::FOLDER_IN_PLACE) {
                    FileCopier::throwErrno(target, EISDIR);
                }
            }
        }
        if (file.fileId != 0) run.renamed.push_back(file.fileId);
        // Counted as sent only now that its copy is kept.
        run.remainingCount -= 1;
        run.remaining -= file.fileSize;
        ++m_filesCopied;
        m_bytesCopied += file.fileSize;
    } catch (Poco::Exception& e) {
        run.ls.error() << ": " << PassLabels::COPY << ": caught exception [" << e.message()
                       << " ] accessing file [" << source << " ]. Skipping" << std::endl;
        run.batch->discard(copy);
        failPass(e.message(), false);
    }
}

// The target may be the plug-in's own database (a record of it into its own
// folder): renaming over it would replace the live file under the open
// connections. True (reported, the copy discarded) when it is.
bool BackupActivity::refuseOwnDatabase(CopyRun& run, CopyBatch::Copy& copy, int folderFd,
                                       const std::string& name, const std::string& source,
                                       const std::string& target) {
    // Looked up in the folder the copy is placed in, so the entry checked is
    // the one it would replace.
    struct stat st;
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !isOwnFile(st))
        return false;
    run.ls.error() << PassLabels::COPY << " : [" << target
                   << "] is the plug-in's own database. Skipping file [" << source << "]"
                   << std::endl;
    m_db->addActivity(
        run.rec->id, BackupDB::SEVERITY_PROBLEM,
        ActivityText::now(tr("Not overwriting the plug-in's own database:") + " " + target));
    failPass(target, true);
    run.batch->discard(copy);
    return true;
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
                Orvana::Util::BackupLog ls;
                ls.error() << PassLabels::COPY << " : Error[" << std::strerror(error)
                           << "] setting the mode and time of ["
                           << PathRules::join(destination, folder->relative) << "]" << std::endl;
            }
        } catch (Poco::Exception& e) {
            // The folder is missing from the copy.
            Orvana::Util::BackupLog ls;
            ls.error() << PassLabels::COPY << " : Error[" << e.message() << "] copying the folder ["
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
    const std::string text = tr(kind) + path + tr(started ? "] initiated." : "] completed.");
    m_db->addActivity(rec->id, started ? BackupDB::SEVERITY_PROGRESS : BackupDB::SEVERITY_DONE,
                      ActivityText::now(text));
}

void BackupActivity::logTransferFailed(const RecordPtr& rec) {
    const std::string kind = rec->isFile ? "Backup of file [" : "Backup of directory [";
    m_db->addActivity(rec->id, BackupDB::SEVERITY_PROBLEM,
                      ActivityText::now(tr(kind) + rec->localPath + tr("] failed.")));
}

}  // namespace Backup
}  // namespace Orvana
