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
// Threads: the service's thread (and its shutdown) calls the constructor,
// activity().start(), addRecords, getQueuedRecords, stop and the destructor;
// everything else runs on the worker's own thread. Locks: m_queueMutex guards
// m_queue; it is taken before registryMutex, never after.

#include "db/BackupDB.h"
#include "hostapi/PeerID.h"
#include "hostapi/VariantTable.h"

#include <Poco/Activity.h>
#include <Poco/Condition.h>
#include <Poco/Mutex.h>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace Orvana {
namespace Backup {

class BackupActivity {
public:
    typedef BackupDB::BackupRecordPtr RecordPtr;

    BackupActivity(const std::vector<RecordPtr>& records, const std::string& name);
    ~BackupActivity();

    Poco::Activity<BackupActivity>& activity() { return m_activity; }

    void addRecords(const std::vector<RecordPtr>& records);
    void getQueuedRecords(std::vector<RecordPtr>& records);
    // Sets the stop flag, wakes the thread and waits until it has ended.
    // Never called on the worker's own thread.
    void stop();

    void run();
    void process();

    bool isLocalTarget(const Orvana::Data::PeerID& peer);

private:
    // The engine's private steps (scan, flush, copy, log) are declared in the
    // engine's own sources' needs; see BackupActivity.cpp and friends.
    void loadSourceRecs(const RecordPtr& rec);
    void flushSourceRecs(const RecordPtr& rec);
    void assignFileIds(Orvana::Data::VariantTable& changes);
    void processDirectory(const std::string& path, const std::string& baseFolder, const RecordPtr& rec,
                          Orvana::Data::VariantTable& changes, int& rowIndex, Poco::Int64& folderSize,
                          Poco::Int64& changedCount, Poco::Int64& changedSize, bool isLocal);
    void processFile(const std::string& path, const std::string& baseFolder, const RecordPtr& rec,
                     Orvana::Data::VariantTable& changes, int& rowIndex, Poco::Int64& folderSize,
                     Poco::Int64& changedCount, Poco::Int64& changedSize, bool isLocal);
    void doLocalBackup(const RecordPtr& rec, Orvana::Data::VariantTable& changes,
                       Poco::Int64 changedSize, Poco::Int64 changedCount);
    void logTransfer(const RecordPtr& rec, const std::string& path, bool isFile, bool started);
    static std::string joinPath(const std::string& folder, const std::string& name);

    Poco::Activity<BackupActivity> m_activity;
    boost::shared_ptr<BackupDB> m_db;
    std::vector<RecordPtr> m_queue;  // guarded by m_queueMutex
    std::string m_name;
    Poco::FastMutex m_queueMutex;
    Poco::Condition m_workAvailable;
    BackupDB::SourceRecordMap m_sourceRecords;  // worker thread only
    std::atomic<bool> m_stopFlag;  // mirrors the Activity's stop flag for chunked work
};

}  // namespace Backup
}  // namespace Orvana
