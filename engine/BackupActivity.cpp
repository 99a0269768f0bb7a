#include "engine/BackupActivity.h"

#include <Poco/Exception.h>
#include <sys/stat.h>

#include <algorithm>

#include "engine/ActivityText.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/CopyProgress.h"
#include "engine/EngineClock.h"
#include "engine/EngineHooks.h"
#include "engine/PassLabels.h"
#include "engine/PathRules.h"
#include "engine/PeerSender.h"
#include "engine/RestorePass.h"
#include "engine/RestoreQueueItem.h"
#include "engine/StagingFolder.h"
#include "engine/ThreadName.h"
#include "engine/Translation.h"
#include "engine/VersionsFolder.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileUtil.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {

namespace {

// A run's result as stored and shown.
const char* const RESULT_COMPLETED = "completed";
const char* const RESULT_WITH_ERRORS = "completed with errors";
const char* const RESULT_FAILED = "failed";
const char* const RESULT_STOPPED = "stopped";

}  // namespace

BackupActivity::BackupActivity(const std::vector<RecordPtr>& records, const std::string& name,
                               const std::string& dbFile)
    : m_pool(new Poco::ThreadPool(1, 1)),
      m_activity(this, &BackupActivity::run),
      m_db(dbFile.empty() ? new BackupDB(name) : new BackupDB(name, dbFile)),
      m_queue(records),
      m_name(name),
      m_stopFlag(false),
      m_registry(&BackupProgressRegistry::instance()) {}

BackupActivity::~BackupActivity() {
    // The pool thread must be done with this object before its members go.
    if (m_activity.isRunning()) stop();
    m_pool->joinAll();
}

void BackupActivity::start() { m_activity.start(*m_pool); }

void BackupActivity::addRecords(const std::vector<RecordPtr>& records) {
    Orvana::Util::BackupLog ls;
    Orvana::Util::CheckedLock lock(m_queueMutex);
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    for (const RecordPtr& rec : records) {
        ls.trace() << m_name << ": Adding record " << rec->id << " to backup queue" << std::endl;
        // The record's pass under way (a restore, say) keeps its state word.
        if (m_queue.empty() || m_queue.front()->id != rec->id)
            registry.setCurrentAction(rec->id, tr("Queued"));
        m_queue.push_back(rec);
    }
    m_workAvailable.signal();
}

void BackupActivity::getQueuedRecords(std::vector<RecordPtr>& records) {
    Orvana::Util::CheckedLock lock(m_queueMutex);
    records.clear();
    records.insert(records.end(), m_queue.begin(), m_queue.end());
}

void BackupActivity::stop() {
    {
        Orvana::Util::CheckedLock lock(m_queueMutex);
        m_stopFlag = true;
        m_activity.stop();
        m_workAvailable.signal();
    }
    for (;;) {
        try {
            m_activity.wait(10000);
            break;
        } catch (Poco::TimeoutException&) {
        }
    }
    // wait() can return while the pool thread is still inside the Activity's
    // wrapper; joining the pool closes that window.
    m_pool->joinAll();
}

void BackupActivity::run() {
    nameThisThread("backup-worker");
    Orvana::Util::BackupLog ls;
    for (;;) {
        if (stopRequested()) break;
        m_queueMutex.lock();
        if (!m_queue.empty()) {
            m_queueMutex.unlock();
            if (stopRequested()) break;
            ls.trace() << m_name << ": Got work! " << std::endl;
            {
                Orvana::Util::CheckedLock lock(m_queueMutex);
                BackupProgressRegistry& registry = BackupProgressRegistry::instance();
                for (const RecordPtr& rec : m_queue)
                    registry.setCurrentAction(rec->id, tr("Queued"));
            }
            process();
            continue;
        }
        ls.trace() << m_name << ": Waiting for work! " << std::endl;
        if (stopRequested()) {
            m_queueMutex.unlock();
            break;
        }
        m_workAvailable.wait(m_queueMutex);
        m_queueMutex.unlock();
        if (stopRequested()) break;
    }
    ls.trace() << m_name << ": Exiting main activity run loop" << std::endl;
}

bool BackupActivity::isLocalTarget(const Orvana::Data::PeerID& peer) {
    Orvana::Data::PeerID own = Orvana::API::ProfileManager::getPeerID();
    return own.isValid() && peer == own;
}

bool BackupActivity::loadSourceRecs(const RecordPtr& rec) {
    EngineHooks::scanFault(EngineHooks::INDEX_LOAD, rec->localPath);
    m_sourceRecords.clear();
    m_removedRows.clear();
    m_removedFolders.clear();
    m_index.reset(new SourceIndexCursor(SourceIndexCursor::forSource(
        *m_db, rec->id, PathRules::normalize(rec->localPath), rec->isFile)));
    m_index->readAhead();
    if (m_index->start()) return true;
    m_index.reset();
    return false;
}

void BackupActivity::getPendingRecords(std::vector<RecordPtr>& records) {
    Orvana::Util::CheckedLock lock(m_queueMutex);
    records.assign(m_queue.begin() + (m_headEnded && !m_queue.empty() ? 1 : 0), m_queue.end());
}

bool BackupActivity::hasBackupOf(int id) {
    std::vector<RecordPtr> pending;
    getPendingRecords(pending);
    for (const RecordPtr& rec : pending) {
        if (rec->id == id && !RestoreQueueItem::jobOf(rec)) return true;
    }
    return false;
}

bool BackupActivity::dropWaiting(int id) {
    Orvana::Util::CheckedLock lock(m_queueMutex);
    if (m_queue.empty()) return false;
    const bool running = m_queue.front()->id == id;
    m_queue.erase(std::remove_if(m_queue.begin() + 1, m_queue.end(),
                                 [id](const RecordPtr& r) { return r->id == id; }),
                  m_queue.end());
    return running;
}

void BackupActivity::failPass(const std::string& reason, bool shown) {
    if (!m_passFailed) {
        m_failReason = reason;
        m_failReasonShown = shown;
    }
    m_passFailed = true;
    ++m_failureCount;
}

void BackupActivity::reportFailure(const RecordPtr& rec) {
    // One entry with the first reason, so that the user learns why; the
    // later failures are in the log.
    if (!m_failReasonShown && !m_failReason.empty()) {
        m_db->addActivity(rec->id, BackupDB::SEVERITY_PROBLEM, ActivityText::now(m_failReason));
    }
    m_failReasonShown = true;
    logTransferFailed(rec);
}

void BackupActivity::noteOwnFiles() {
    m_ownFiles.clear();
    static const char* const suffixes[] = {"", "-wal", "-shm", "-journal"};
    for (const char* suffix : suffixes) {
        struct stat st;
        const std::string file = m_db->filePath() + suffix;
        if (::stat(file.c_str(), &st) == 0) m_ownFiles.insert(std::make_pair(st.st_dev, st.st_ino));
    }
}

bool BackupActivity::isOwnFile(const struct stat& st) const {
    return m_ownFiles.count(std::make_pair(st.st_dev, st.st_ino)) != 0;
}

void BackupActivity::rememberDevice(const RecordPtr& rec, const std::string& destination) {
    struct stat st;
    if (destination.empty() || ::stat(destination.c_str(), &st) != 0) return;
    const std::string key = "STORE_DEVICE_" + std::to_string(rec->id);
    const std::string device = std::to_string(static_cast<unsigned long long>(st.st_dev));
    if (m_db->getConfigValue(m_name, key, "") != device) m_db->setConfigValue(m_name, key, device);
}

bool BackupActivity::storeLocationMissing(const RecordPtr& rec, const std::string& destination,
                                          const char* why) {
    Orvana::Util::BackupLog ls;
    ls.error() << PassLabels::PASS << " : Store location [" << destination << why
               << ". Nothing copied for rec " << rec->id << std::endl;
    m_db->addActivity(
        rec->id, BackupDB::SEVERITY_PROBLEM,
        ActivityText::now(tr("Store location is not available:") + " " + destination));
    failPass(tr("Store location is not available:") + " " + destination, true);
    return false;
}

bool BackupActivity::checkDestination(const RecordPtr& rec, std::string& destination) {
    m_haveDestination = false;
    if (!readDestination(rec, destination)) return false;
    const std::string source = PathRules::normalize(rec->localPath);

    const std::string deviceKey = "STORE_DEVICE_" + std::to_string(rec->id);
    struct stat st;
    if (::stat(destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        bool everSynced = true;
        if (!m_db->hasSyncedSourceFiles(rec->id, everSynced)) everSynced = true;
        if (everSynced) {
            // The backup existed: creating an empty folder would hide that
            // its disk is gone and copy everything onto the wrong disk.
            return storeLocationMissing(rec, destination, "] is not available");
        }
        return true;  // the first copies create it
    }
    m_haveDestination = true;
    m_destinationDev = st.st_dev;
    m_destinationIno = st.st_ino;

    const std::string copy = PathRules::copyFolder(source, destination);
    struct stat copySt;
    const std::string device = std::to_string(static_cast<unsigned long long>(st.st_dev));
    if (::lstat(copy.c_str(), &copySt) == 0) {
        rememberDevice(rec, destination);  // a backup moved to a new disk carries on
        return true;
    }
    const std::string known = m_db->getConfigValue(m_name, deviceKey, "");
    if (!known.empty() && known != device) {
        // An empty mount point left behind by a disk that is not mounted.
        return storeLocationMissing(rec, destination, "] is not the backup's disk");
    }
    // The copies are gone: nothing may count as backed up any more.
    if (!m_db->clearSourceFilesSynced(rec->id)) {
        failPass(tr("The backup index could not be read or written"), false);
        return false;
    }
    return true;
}

// The record's destination, normalised; false (logged, reported) when it or
// the source is unusable or they overlap.
bool BackupActivity::readDestination(const RecordPtr& rec, std::string& destination) {
    Orvana::Util::BackupLog ls;
    std::string stored;
    if (!m_db->getRemotePath(rec->id, stored)) {
        failPass(tr("The backup index could not be read or written"), false);
        return false;
    }
    if (!PathRules::isAbsolute(stored) || !PathRules::isAbsolute(rec->localPath)) {
        // A relative path would land wherever the process happens to run.
        ls.error() << PassLabels::PASS << " : Destination [" << stored << "] or source ["
                   << rec->localPath << "] is not an absolute folder. Nothing copied for rec "
                   << rec->id << std::endl;
        failPass(
            tr(PathRules::isAbsolute(rec->localPath) ? "Store location must be an absolute path"
                                                     : "Backup source must be an absolute path") +
                " [" + (PathRules::isAbsolute(rec->localPath) ? stored : rec->localPath) + "]",
            false);
        return false;
    }
    destination = PathRules::normalize(stored);
    const std::string source = PathRules::normalize(rec->localPath);

    // Compared once more as the file system has them now: a link may have
    // brought the destination into the source since the record was added.
    if (PathRules::overlapsResolved(source, destination)) {
        ls.error() << PassLabels::PASS << " : Destination [" << destination
                   << "] overlaps the backup source [" << source << "]. Nothing copied for rec "
                   << rec->id << std::endl;
        failPass(tr("Store location must not overlap the backup source") + " [" + destination + "]",
                 false);
        return false;
    }
    return true;
}

bool BackupActivity::checkSharedCopyFolder(const RecordPtr& rec, const std::string& destination) {
    std::vector<RecordPtr> records;
    if (!m_db->getAllBackupRecords(records)) {
        failPass(tr("The backup index could not be read or written"), false);
        return false;
    }
    // The oldest record of a copy folder owns it and keeps working; a newer
    // one with another source would overwrite its copies. Records come
    // newest first.
    RecordPtr owner;
    for (std::vector<RecordPtr>::reverse_iterator it = records.rbegin(); it != records.rend();
         ++it) {
        if ((*it)->id >= rec->id) continue;
        if (PathRules::sameCopyFolder(rec->localPath, destination, (*it)->localPath,
                                      (*it)->remotePath)) {
            owner = *it;
            break;
        }
    }
    if (owner && PathRules::resolve(owner->localPath) != PathRules::resolve(rec->localPath)) {
        const RecordPtr& other = owner;
        const std::string copy = PathRules::copyFolder(rec->localPath, destination);
        Orvana::Util::BackupLog ls;
        ls.error() << PassLabels::PASS << " : Copy folder [" << copy << "] of rec " << rec->id
                   << " is also the copy folder of rec " << other->id << " [" << other->localPath
                   << "]. Nothing copied" << std::endl;
        m_db->addActivity(
            rec->id, BackupDB::SEVERITY_PROBLEM,
            ActivityText::now(tr("Another backup already uses this store location for "
                                 "a folder of that name") +
                              " [" + other->localPath + "]"));
        failPass(tr("Another backup already uses this store location for a folder of that name") +
                     " [" + other->localPath + "]",
                 true);
        return false;
    }
    return true;
}

void BackupActivity::process() {
    Orvana::Util::BackupLog ls;
    ls.trace() << PassLabels::PASS << " : Initiating sync activity " << std::endl;

    RecordPtr rec;
    {
        Orvana::Util::CheckedLock lock(m_queueMutex);
        if (m_queue.empty()) return;
        rec = m_queue.front();
        m_headEnded = false;
    }
    if (stopRequested()) return;
    // A restore waits in the same queue as the record's backups, so the two
    // never run at the same time.
    const RestoreJob* job = RestoreQueueItem::jobOf(rec);
    BackupDB::RUN_RECORD run;
    run.recId = rec->id;
    run.kind = job ? "restore" : "backup";
    run.startTime = Poco::Timestamp().utcTime();
    BackupProgressRegistry::instance().beginPass(rec->id, run.kind);
    {
        CopyProgress::Scope progress(rec->id);
        if (job) {
            restorePass(*job, run);
        } else {
            backupPass(rec, run);
            m_spool.reset();  // its file goes with it
        }
    }
    {
        // From here on the record's times may say the pass is over: a new
        // request for it must queue a new pass.
        Orvana::Util::CheckedLock lock(m_queueMutex);
        m_headEnded = true;
    }
    run.endTime = Poco::Timestamp().utcTime();
    if (stopRequested() || run.result.empty()) run.result = RESULT_STOPPED;
    finishRun(rec, run);

    if (stopRequested()) return;
    ls.trace() << m_name << " Record " << rec->id << " processing complete" << std::endl;
    Orvana::Util::CheckedLock lock(m_queueMutex);
    if (!m_queue.empty()) m_queue.erase(m_queue.begin());
}

void BackupActivity::restorePass(const RestoreJob& job, BackupDB::RUN_RECORD& run) {
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    RestorePass pass(*m_db, job, m_stopFlag);
    const RestorePass::Outcome outcome = pass.run();
    if (outcome == RestorePass::STOPPED) return;
    run.filesCopied = pass.restoredCount();
    run.bytesCopied =
        registry.getTotalSendSize(run.recId) - registry.getRemainingSendSize(run.recId);
    run.filesFailed = registry.getToSendCount(run.recId);
    run.reason = pass.failReason();
    if (outcome == RestorePass::DONE) {
        run.result = RESULT_COMPLETED;
    } else {
        run.result = run.filesCopied > 0 ? RESULT_WITH_ERRORS : RESULT_FAILED;
    }
}

void BackupActivity::finishRun(const RecordPtr& rec, BackupDB::RUN_RECORD& run) {
    const std::string dbFailure = tr("The backup index could not be read or written");
    if (run.kind == "backup" && run.result != RESULT_STOPPED) {
        // Every finished pass is an attempt, also one that failed before its
        // copy; a stopped one is neither attempt nor success.
        bool stored = m_db->setLastAttemptTime(rec->id, run.startTime);
        if (stored && run.result == RESULT_COMPLETED)
            stored = m_db->setLastSuccessTime(rec->id, run.endTime);
        if (!stored && run.result != RESULT_FAILED) {
            run.result = RESULT_FAILED;
            run.reason = dbFailure;
        }
    }
    if (!m_db->addRun(run)) {
        Orvana::Util::BackupLog ls;
        ls.error() << PassLabels::PASS << " : The run of rec " << rec->id
                   << " could not be stored (" << run.result << ")" << std::endl;
        if (run.kind == "backup" && run.result != RESULT_STOPPED && run.result != RESULT_FAILED) {
            run.result = RESULT_FAILED;
            run.reason = dbFailure;
        }
    }
    // Kept in memory whatever the database did, so that the state shows.
    BackupProgressRegistry::instance().endPass(rec->id, run);
    if (m_passListener) m_passListener(*rec, run);
}

void BackupActivity::backupPass(const RecordPtr& rec, BackupDB::RUN_RECORD& run) {
    ScanState scan(rec, isLocalTarget(Orvana::Data::PeerID(rec->targetPeerId)));
    try {
        if (stopRequested()) return;
        resetPass(rec);
        scan.ready = preparePass(scan);
        if (scan.ready && !scanSource(scan)) return;  // stopped
        run.filesChecked = BackupProgressRegistry::instance().getCheckedFileCount(rec->id);
        if (scan.ready) copyChanges(scan, run);
        run.filesCopied = m_filesCopied;
        run.bytesCopied = m_bytesCopied;
        endPass(scan);
        if (scan.stopped) return;
    } catch (std::exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << PassLabels::PASS << " : Error[" << e.what() << "] caught for ["
                   << rec->localPath << "]"
                   << " ! " << std::endl;
        failPass(ActivityText::describe(e), false);
        scan.ready = false;
        resetProgressAfterFailure(rec);
    } catch (...) {
        Orvana::Util::BackupLog ls;
        ls.error() << PassLabels::PASS << " : Unknown exception caught! " << std::endl;
        failPass(tr("Unknown error"), false);
        scan.ready = false;
        resetProgressAfterFailure(rec);
    }
    run.reason = m_failReason;
    if (!m_passFailed) {
        run.result = RESULT_COMPLETED;
    } else if (scan.ready && (scan.changedCount == 0 || m_filesCopied > 0)) {
        // The pass went through; some entries or files could not be backed up.
        run.result = RESULT_WITH_ERRORS;
    } else {
        run.result = RESULT_FAILED;
    }
}

void BackupActivity::resetPass(const RecordPtr& rec) {
    m_passFailed = false;
    m_failReason.clear();
    m_failReasonShown = false;
    m_filesCopied = 0;
    m_bytesCopied = 0;
    m_folders.clear();
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.setCheckedFileCount(rec->id, 0);
    m_checkingText = tr("Checking");
    registry.setCurrentAction(rec->id, m_checkingText);
}

// The scan's own state; only a pass that got as far as its scan resets it.
void BackupActivity::resetScan(const ScanState& scan) {
    m_spool.reset(new ChangeSpool(Orvana::API::ProfileManager::getProfileUserDataDir()));
    m_chunkFailed = false;
    m_rowsRemoved = false;
    noteOwnFiles();
    if (m_haveDestination) StagingFolder(scan.destination, std::to_string(scan.rec->id)).sweep();
    m_dirsOnPath.clear();
    m_lastSizeWrite.update();
}

bool BackupActivity::preparePass(ScanState& scan) {
    const RecordPtr& rec = scan.rec;
    const std::string dbFailure = tr("The backup index could not be read or written");
    Orvana::Util::BackupLog ls;
    if (!m_db->addActivity(rec->id, BackupDB::SEVERITY_PROGRESS,
                           ActivityText::now(tr("Scanning for changes")))) {
        // Nothing the pass did could be recorded.
        ls.error() << PassLabels::PASS << " : The database could not be written. "
                   << "Nothing copied for rec " << rec->id << std::endl;
        failPass(dbFailure, false);
        return false;
    }
    if (!scan.isLocal) {
        // A copy meant for another device goes there; nothing lands here.
        m_haveDestination = false;
        scan.sender.reset(new PeerSender(*rec, *m_db, m_stopFlag,
                                         [this](const std::string& why) { failPass(why, false); }));
        if (!PathRules::isAbsolute(rec->localPath)) {
            failPass(tr("Backup source must be an absolute path") + " [" + rec->localPath + "]",
                     false);
            return false;
        }
        if (!scan.sender->begin()) return false;
    } else if (!checkDestination(rec, scan.destination) ||
               !checkSharedCopyFolder(rec, scan.destination)) {
        return false;
    }
    if (!loadSourceRecs(rec)) {
        ls.error() << PassLabels::PASS << " : The index of rec " << rec->id
                   << " could not be read. Nothing copied" << std::endl;
        failPass(dbFailure, false);
        return false;
    }
    return true;
}

bool BackupActivity::scanSource(ScanState& scan) {
    const RecordPtr& rec = scan.rec;
    resetScan(scan);
    // Normalised first, so that "/a/b/.." backs up "/a" as "a" and no
    // relative name can climb out of the destination.
    const std::string source = PathRules::normalize(rec->localPath);
    std::string lastName;
    Orvana::Util::splitFolder(source, scan.baseFolder, lastName);
    loadExclusions(rec, source);
    if (rec->isFile) {
        if (!isExcluded(lastName, lastName, false, -1)) processFile(source, scan);
    } else {
        processDirectory(source, scan);
    }
    writeIndex(scan);
    if (!m_db->setRecordSize(rec->id, scan.folderSize) && scan.ready) {
        failPass(tr("The backup index could not be read or written"), false);
        scan.ready = false;
    }
    if (stopRequested()) return false;
    EngineHooks::afterScan(rec->id, m_stopFlag);
    // A stop (or a delete) while the hook held the pass writes nothing more.
    return !stopRequested();
}

// Writes the index rows the scan gathered and spools the changes with their
// ids; on failure the pass copies nothing.
void BackupActivity::writeIndex(ScanState& scan) {
    const RecordPtr& rec = scan.rec;
    const std::string dbFailure = tr("The backup index could not be read or written");
    Orvana::Util::BackupLog ls;
    // A chunk that failed to load leaves files looking new that are not:
    // writing would give them a second row.
    const bool indexRead = !m_index->failed();
    m_index.reset();
    EngineHooks::scanFault(EngineHooks::INDEX_FLUSH, rec->localPath);
    if (!indexRead) {
        ls.error() << PassLabels::PASS << " : The index of rec " << rec->id
                   << " could not be read. Nothing copied" << std::endl;
        failPass(dbFailure, false);
        scan.ready = false;
    } else if (m_chunkFailed || !flushSourceRecs(rec, scan.changes)) {
        // Copies without their index rows could never be marked.
        ls.error() << PassLabels::PASS << " : The index of rec " << rec->id
                   << " could not be written. Nothing copied" << std::endl;
        failPass(dbFailure, false);
        scan.ready = false;
    } else {
        m_spool->append(scan.changes);
        // Once per pass, not per chunk: the measure reads the whole index.
        if (m_rowsRemoved) m_db->compactSourceIndexIfFragmented();
    }
    m_sourceRecords.clear();
    m_removedRows.clear();
    m_removedFolders.clear();
    scan.changes.clear();
}

void BackupActivity::copyChanges(ScanState& scan, BackupDB::RUN_RECORD& run) {
    const RecordPtr& rec = scan.rec;
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    if (scan.changedCount == 0) {
        Orvana::Util::BackupLog ls;
        ls.trace() << PassLabels::PASS << " : No change detected. Nothing to sync" << std::endl;
        m_db->addActivity(rec->id, BackupDB::SEVERITY_PROGRESS,
                          ActivityText::now(tr("No change detected, Nothing to backup")));
    } else {
        m_db->addActivity(rec->id, BackupDB::SEVERITY_PROGRESS,
                          ActivityText::now(std::to_string(scan.changedCount) +
                                            tr(" file(s) needs to be backed up")));
        registry.setToSendCount(rec->id, scan.changedCount);
        registry.markActive(rec->id);
        registry.setCurrentAction(rec->id, tr("Backing up"));
        logTransfer(rec, rec->localPath, rec->isFile, true);
        const unsigned failuresBefore = m_failureCount;
        if (scan.sender) {
            // The sender takes the list whole.
            ChangeList all = m_spool->readAll();
            scan.stopped =
                scan.sender->send(all, scan.changedSize, scan.changedCount) == PeerSender::STOPPED;
            m_filesCopied = scan.sender->filesSent();
            m_bytesCopied = scan.sender->bytesSent();
        } else {
            scan.stopped = doLocalBackup(rec, scan.destination, *m_spool, scan.changedSize,
                                         scan.changedCount) == COPY_STOPPED;
        }
        // What was neither kept nor found gone could not be copied.
        run.filesFailed =
            scan.stopped ? m_failureCount - failuresBefore : registry.getToSendCount(rec->id);
    }
    if (scan.stopped) return;
    if (!scan.sender) {
        applyFolderAttributes(rec, scan.destination);
    } else {
        std::vector<PeerSender::Folder> folders;
        for (const FolderAttributes& f : m_folders)
            folders.push_back(PeerSender::Folder{f.relative, f.mode, f.mtime});
        scan.sender->sendFolders(folders);
    }
}

// Reports the pass's outcome and leaves the progress idle.
void BackupActivity::endPass(ScanState& scan) {
    const RecordPtr& rec = scan.rec;
    if (!scan.stopped) {
        if (m_passFailed) {
            reportFailure(rec);
        } else {
            if (scan.changedCount != 0) logTransfer(rec, rec->localPath, rec->isFile, false);
            if (!scan.sender) rememberDevice(rec, scan.destination);
        }
    }
    // Only a pass that copied can have made versions or used up space.
    const bool copied = scan.ready && !scan.stopped;
    if (copied && scan.sender) scan.sender->end();
    if (copied && scan.changedCount != 0 && !scan.sender) pruneVersions(rec, scan.destination);
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    if (scan.changedCount != 0) {
        registry.clearActive(rec->id);
        registry.setCurrentFile(rec->id, "");
    }
    registry.setCurrentAction(rec->id, tr("Idle"));
}

void BackupActivity::resetProgressAfterFailure(const RecordPtr& rec) {
    // A failed pass must not look busy, and the user must see that it failed.
    m_spool.reset();
    m_sourceRecords.clear();
    m_removedRows.clear();
    m_removedFolders.clear();
    m_index.reset();
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.clearActive(rec->id);
    registry.setCurrentFile(rec->id, "");
    registry.setCurrentAction(rec->id, tr("Idle"));
    if (!stopRequested()) reportFailure(rec);
}

void BackupActivity::pruneVersions(const RecordPtr& rec, const std::string& destination) {
    const VersionsFolder::FreeSpace freeSpace = [](int fd, Poco::UInt64& freeBytes,
                                                   Poco::UInt64& totalBytes) {
        unsigned long long hookFree = 0, hookTotal = 0;
        if (EngineHooks::freeSpace(hookFree, hookTotal)) {
            freeBytes = hookFree;
            totalBytes = hookTotal;
            return true;
        }
        return VersionsFolder::systemFreeSpace(fd, freeBytes, totalBytes);
    };
    // The record's own retention, on its own versions only; space is freed
    // from every version at the destination.
    BackupDB::RECORD_SETTINGS settings;
    m_db->getRecordSettings(rec->id, settings);
    std::string above, copyName;
    Orvana::Util::splitFolder(PathRules::copyFolder(rec->localPath, destination), above, copyName);
    VersionRetention retention;
    retention.mode = settings.keepLastOnly ? VersionRetention::LAST : VersionRetention::STAGGERED;
    retention.maxAgeDays = settings.maxAgeDays;
    retention.keepLast = settings.keepLast;
    const VersionsFolder::Pruned pruned = VersionsFolder::prune(
        destination, retention, EngineClock::localNow().timestamp(), freeSpace, copyName);
    if (pruned.forSpace != 0) {
        m_db->addActivity(rec->id, BackupDB::SEVERITY_PROGRESS,
                          ActivityText::now(std::to_string(pruned.forSpace) +
                                            tr(" old version(s) removed to keep free space")));
    }
}

}  // namespace Backup
}  // namespace Orvana
