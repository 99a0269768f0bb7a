#pragma once
// BackupActivity: the worker that backs up records for one target peer.
//
// Owns a thread (Poco::Activity running run()) and a FIFO queue of records;
// element 0 is the record whose pass is under way and stays queued until the
// pass ends. Each pass scans the record's source against its index, writes the
// index back, copies the changed files into the destination and reports
// progress in BackupProgressRegistry. The worker has its own BackupDB
// connection.
//
// Restores use the same queue. A restore is queued as a record pointer made
// by RestoreQueueItem::make: a copy of the job's record whose RestoreJob rides
// in the pointer's deleter. So a queued element may be a restore and not a
// backup; RestoreQueueItem::jobOf(element) tells which (null for a backup).
// run() then makes a restore pass instead of a backup pass; waiting behind
// the record's backups, it never runs beside one, and stop, dropWaiting and
// getQueuedRecords treat both alike.
//
// Threads: the service's thread (and its shutdown) calls the constructor,
// start() (or activity().start()), addRecords, getQueuedRecords, stop and the destructor;
// everything else runs on the worker's own thread. Locks: m_queueMutex guards
// m_queue and m_headEnded; it is taken before registryMutex, never after.

#include <Poco/Activity.h>
#include <Poco/Condition.h>
#include <Poco/Mutex.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timestamp.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "engine/ChangeSpool.h"
#include "engine/CopyBatch.h"
#include "engine/ExcludeRules.h"
#include "engine/FolderLister.h"
#include "engine/ParallelWalk.h"
#include "engine/ScanState.h"
#include "engine/SourceIndexCursor.h"
#include "hostapi/CheckedMutex.h"
#include "hostapi/PeerID.h"
#include "hostapi/VariantTable.h"

namespace Orvana {
namespace Backup {

class BackupProgressRegistry;
struct RestoreJob;

class BackupActivity {
public:
    typedef BackupDB::BackupRecordPtr RecordPtr;

    // dbFile: the database file to open (the service's); empty for the
    // current profile's.
    BackupActivity(const std::vector<RecordPtr>& records, const std::string& name,
                   const std::string& dbFile = std::string());
    ~BackupActivity();

    Poco::Activity<BackupActivity>& activity() { return m_activity; }

    // Called on the worker's thread when a pass has ended, with its run
    // (stopped ones included). Set before start().
    typedef std::function<void(const BackupDB::BACKUP_RECORD& record,
                               const BackupDB::RUN_RECORD& run)>
        PassListener;
    void setPassListener(const PassListener& listener) { m_passListener = listener; }

    // Appends backups and restores (RestoreQueueItem) alike.
    void addRecords(const std::vector<RecordPtr>& records);
    // Restores included; RestoreQueueItem::jobOf tells them apart.
    void getQueuedRecords(std::vector<RecordPtr>& records);
    // The queue without a head whose pass is over (its bookkeeping may
    // still run).
    void getPendingRecords(std::vector<RecordPtr>& records);
    // Whether a backup (not a restore) of the record waits or runs here.
    bool hasBackupOf(int id);
    // Drops every waiting copy of the record; true when the record's pass is
    // the one under way (element 0), which only stop() can end.
    bool dropWaiting(int id);
    // Sets the stop flag, wakes the thread and waits until it has ended.
    // Never called on the worker's own thread.
    void stop();

    void run();
    void process();

    static bool isLocalTarget(const Orvana::Data::PeerID& peer);

    // Starts the thread on the worker's own thread pool, so that stop() and
    // the destructor can wait until the pool thread has let go of this object.
    void start();

private:
    // How a pass's copy phase ended.
    enum CopyOutcome { COPY_COMPLETE, COPY_FAILED, COPY_STOPPED };

    bool stopRequested() const { return m_stopFlag.load(std::memory_order_relaxed); }
    // The two kinds of pass; each fills the run's result and counts (an
    // empty result after a stop).
    void backupPass(const RecordPtr& rec, BackupDB::RUN_RECORD& run);
    void restorePass(const RestoreJob& job, BackupDB::RUN_RECORD& run);
    // backupPass's steps. The per-pass members are reset in resetPass, the
    // scan's in resetScan. preparePass and scanSource leave scan.ready false
    // (logged, reported) when the pass must not copy; scanSource answers
    // false when a stop ends the pass.
    void resetPass(const RecordPtr& rec);
    void resetScan(const ScanState& scan);
    bool preparePass(ScanState& scan);
    bool scanSource(ScanState& scan);
    void writeIndex(ScanState& scan);
    void copyChanges(ScanState& scan, BackupDB::RUN_RECORD& run);
    void endPass(ScanState& scan);
    // Stores the run, the record's times and tells the listener.
    void finishRun(const RecordPtr& rec, BackupDB::RUN_RECORD& run);
    // False (logged) when the database failed: the pass must not go on.
    // Opens m_index on the record's rows and reads its first chunk; the walk
    // reads the rest in step with itself.
    bool loadSourceRecs(const RecordPtr& rec);
    // The pass's checks before the scan: containment, a destination that
    // vanished, a copy folder shared with another record. False (logged,
    // reported) when the pass must not copy.
    bool checkDestination(const RecordPtr& rec, std::string& destination);
    bool readDestination(const RecordPtr& rec, std::string& destination);
    // Logs and reports a store location that is not the backup's (why
    // completes the log line); always false.
    bool storeLocationMissing(const RecordPtr& rec, const std::string& destination,
                              const char* why);
    // Stores the destination's device for the record (config "backup").
    void rememberDevice(const RecordPtr& rec, const std::string& destination);
    bool checkSharedCopyFolder(const RecordPtr& rec, const std::string& destination);
    // Marks the pass unsuccessful; the first reason is the one reported.
    // shown: an activity entry already says it.
    void failPass(const std::string& reason, bool shown);
    void reportFailure(const RecordPtr& rec);
    // Makes the walked folders in the copy, empty ones too, and gives them
    // the source folders' times and modes.
    void applyFolderAttributes(const RecordPtr& rec, const std::string& destination);
    void noteOwnFiles();
    bool isOwnFile(const struct stat& st) const;
    class WalkFrame;  // sets m_walkFolder for one folder's walk
    class WalkScope;  // makes m_walk for the outermost folder of a pass
    // The pass's changed files in scan order, as the copy phase reads them.
    typedef std::vector<BackupDB::FILERECORD> ChangeList;

    // Fills the ids of the changes' rows new to the index from the rows the
    // flush has just written; a copy without its row's id could never be
    // marked.
    void assignFileIds(ChangeList& changes) const;
    // Writes the pending index rows and fills the changes' new ids; false
    // (logged) when the database failed: the pass must not go on.
    bool flushSourceRecs(const RecordPtr& rec, ChangeList& changes);
    // Writes the index rows gathered so far and moves the changes, with
    // their ids, to m_spool: the scan holds at most a chunk of either.
    void flushChunk(const RecordPtr& rec, ChangeList& changes);
    bool chunkFull(const ChangeList& changes) const;
    void processDirectory(const std::string& path, ScanState& scan);
    void processEntry(const std::string& prefix, const ListedEntry& listed,
                      const struct stat& folder, ScanState& scan);
    bool skipFolder(const std::string& entry, const std::string& name, const struct stat& st,
                    const struct stat& parent);
    void noteGoneRows(const std::string& path, const std::vector<ListedEntry>& entries,
                      SourceIndexCursor::Passed& passed);
    void processFile(const std::string& path, ScanState& scan);
    // processFile's work once the file's lstat is known (null: no such file).
    void examineFile(const std::string& path, const struct stat* info, ScanState& scan);
    bool isRegularFile(const std::string& path, const struct stat* info);
    bool updateRow(const std::string& path, const struct stat& st,
                   const BackupDB::SOURCE_RECORD* row, ScanState& scan,
                   BackupDB::FILERECORD& change);
    void noteFolderSize(const RecordPtr& rec, Poco::Int64 folderSize);
    // Reads and compiles the record's exclusions for the pass under way.
    void loadExclusions(const RecordPtr& rec, const std::string& source);
    // True when the entry (`relative`: its path below the source, or a file
    // record's file name; `name` its last component, listed in the open
    // folder parentFd, or -1) is left out by the patterns or, for a folder,
    // by a cache tag.
    bool isExcluded(const std::string& relative, const std::string& name, bool isFolder,
                    int parentFd);
    CopyOutcome doLocalBackup(const RecordPtr& rec, const std::string& destination,
                              ChangeSpool& changes, Poco::Int64 changedSize,
                              Poco::Int64 changedCount);
    // doLocalBackup's steps, sharing the copy phase's state.
    struct CopyRun;
    bool prepareStaging(CopyRun& run);
    void startCopy(CopyRun& run, std::size_t item);
    void skipped(CopyRun& run, const std::string& source, std::exception_ptr error);
    void takeBack(CopyRun& run, std::size_t leave);
    void noteCopyResult(CopyRun& run, const BackupDB::FILERECORD& file, FileCopier::Result result);
    void flushBatch(CopyRun& run, bool last);
    bool syncDestination(CopyRun& run);
    void markRenamed(CopyRun& run);
    void placeCopy(CopyRun& run, CopyBatch::Copy& copy, const Poco::Timestamp& now);
    bool refuseOwnDatabase(CopyRun& run, CopyBatch::Copy& copy, int folderFd,
                           const std::string& name, const std::string& source,
                           const std::string& target);
    void logTransfer(const RecordPtr& rec, const std::string& path, bool isFile, bool started);
    void logTransferFailed(const RecordPtr& rec);
    // Thins the versions kept at the destination and frees space if short.
    void pruneVersions(const RecordPtr& rec, const std::string& destination);
    void resetProgressAfterFailure(const RecordPtr& rec);
    std::string relativeName(const std::string& path, const std::string& baseFolder) const;

    // Declared first so that it outlives m_activity, whose thread it runs.
    std::unique_ptr<Poco::ThreadPool> m_pool;
    Poco::Activity<BackupActivity> m_activity;
    boost::shared_ptr<BackupDB> m_db;
    std::vector<RecordPtr> m_queue GUARDED_BY(m_queueMutex);
    bool m_headEnded GUARDED_BY(m_queueMutex) = false;  // element 0's pass is over
    std::string m_name;
    Orvana::Util::CheckedMutex m_queueMutex;
    Poco::Condition m_workAvailable;
    // The walk visits paths in byte order and m_index reads the rows in the
    // same order; m_sourceRecords keeps only the rows the flush must write
    // (new files, changed times). Worker thread only.
    std::unique_ptr<SourceIndexCursor> m_index;
    BackupDB::SourceRecordMap m_sourceRecords;
    std::vector<int> m_removedRows;             // ids the next flush deletes
    std::vector<std::string> m_removedFolders;  // subtrees ("path/") the next flush deletes
    // The pass's changes whose index rows are written, in walk order; the
    // scan keeps only the chunk not yet flushed in memory.
    std::unique_ptr<ChangeSpool> m_spool;
    // A chunk's flush failed, or the index read failed before it: the pass
    // writes nothing more and copies nothing.
    bool m_chunkFailed = false;
    // A flush of this pass deleted rows: only deletions leave the index's
    // pages half empty, so only then is it worth measuring at the end.
    bool m_rowsRemoved = false;
    // The folder being listed (with its trailing '/') and the rows of its
    // files and subfolders that the walk passed without meeting them;
    // deleted only when the whole listing succeeds.
    std::string m_walkFolder;
    SourceIndexCursor::Passed* m_walkPassed = nullptr;
    std::atomic<bool> m_stopFlag;  // set by stop(); tested by every chunked step

    // Scan state of the pass under way; worker thread only.
    std::set<std::pair<dev_t, ino_t>> m_dirsOnPath;  // folders being walked, against link loops
    bool m_haveDestination = false;                  // m_destination* describe an existing folder
    dev_t m_destinationDev = 0;
    ino_t m_destinationIno = 0;
    Poco::Timestamp m_lastSizeWrite;  // last setRecordSize of the scan
    unsigned m_entriesSinceYield = 0;
    ExcludeRules m_exclude;       // the record's patterns, compiled once per pass
    bool m_skipCacheDirs = true;  // leave out folders with a CACHEDIR.TAG
    std::string m_excludeRoot;    // what pattern paths are relative to, with its '/'
    // The source's folders listed ahead, while a folder record is walked.
    std::unique_ptr<FolderLister> m_lister;
    std::unique_ptr<ParallelWalk> m_walk;

    std::string m_checkingText;                    // translated state word, looked up once per pass
    BackupProgressRegistry* m_registry = nullptr;  // the process's registry, looked up once

    // Outcome of the pass under way; worker thread only.
    bool m_passFailed = false;
    std::string m_failReason;        // first failure, in the user's words, with its path
    bool m_failReasonShown = false;  // an entry of its own already says it
    unsigned m_failureCount = 0;     // failPass calls, so a folder can tell it had one
    Poco::Int64 m_filesCopied = 0;   // copies kept (renamed into place) by the pass
    Poco::Int64 m_bytesCopied = 0;
    PassListener m_passListener;                   // set before the thread starts
    std::set<std::pair<dev_t, ino_t>> m_ownFiles;  // the database and its companions
    // Source folders the scan walked, for their times and modes on the copies.
    struct FolderAttributes {
        std::string relative;
        mode_t mode;
        struct timespec mtime;
    };
    std::vector<FolderAttributes> m_folders;
};

}  // namespace Backup
}  // namespace Orvana
