#pragma once
// BackupProgressRegistry: process-wide progress of every record's backup pass,
// keyed by record id. Workers write it, the record listing reads it.
//
// One object per process, created on first use and kept until exit. Every
// operation takes registryMutex for its whole duration. Lock order: a
// worker's queue mutex before registryMutex, never the reverse. A record's
// entry is never removed (except by clear()); getters never insert and read
// an absent entry as empty text, 0 or not active.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <deque>
#include <map>
#include <string>
#include <utility>

#include "db/BackupDB.h"
#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

class BackupProgressRegistry {
public:
    static BackupProgressRegistry& instance();

    void setCurrentAction(int id, const std::string& action);
    void setCurrentFile(int id, const std::string& file);
    void setRemainingSendSize(int id, Poco::Int64 value);
    void setTotalSendSize(int id, Poco::Int64 value);
    void setToSendCount(int id, Poco::Int64 value);
    void setCheckedFileCount(int id, Poco::Int64 value);
    // A scan's step for one file: sets the action and counts the file, under
    // one lock.
    void noteFileChecked(int id, const std::string& action);

    std::string getCurrentAction(int id) const;
    std::string getCurrentFile(int id) const;
    Poco::Int64 getRemainingSendSize(int id) const;
    Poco::Int64 getTotalSendSize(int id) const;
    Poco::Int64 getToSendCount(int id) const;
    Poco::Int64 getCheckedFileCount(int id) const;

    void markActive(int id);
    void clearActive(int id);
    bool isActive(int id) const;

    // A pass of the record begins: its kind ("backup" or "restore") is the
    // running kind until endPass, and the pass's copy counters start over.
    void beginPass(int id, const std::string& kind);
    // The pass has ended: nothing runs for the record any more, and a backup
    // run is kept as its last one, so that a failure shows even when the
    // database could not store it.
    void endPass(int id, const BackupDB::RUN_RECORD& run);
    std::string getRunKind(int id) const;                      // "" when no pass runs
    bool getLastRun(int id, BackupDB::RUN_RECORD& run) const;  // the last backup run
    // Forgets the last run of one record (deleted) or of all (a new service
    // with its own database: its ids name other records).
    void forgetRun(int id);
    void forgetRuns();
    // The record's attempt and success times, made newer by the last run
    // of this process where the database could not store them.
    void applyLastRun(BackupDB::BACKUP_RECORD& record) const;

    // Bytes the copy wrote for the record's pass, the file in work included.
    void addBytesWritten(int id, Poco::Int64 bytes);
    struct Progress {
        Poco::Int64 filesDone = 0;
        Poco::Int64 filesToGo = 0;
        Poco::Int64 bytesDone = 0;
        Poco::Int64 bytesToGo = 0;
        Poco::Int64 rate = 0;  // bytes per second over the last few seconds; 0 unknown
    };
    // The copy phase's progress; all 0 when no pass runs.
    Progress getProgress(int id) const;
    // After a stop: nothing runs and nothing is left to send.
    void resetProgress(int id);

    // What the record listing shows of a record, read under one lock so the
    // values agree with each other.
    struct Snapshot {
        bool active = false;
        std::string currentAction;
        std::string currentFile;
        Poco::Int64 remainingSendSize = 0;
        Poco::Int64 totalSendSize = 0;
        Poco::Int64 toSendCount = 0;
        Poco::Int64 checkedFileCount = 0;
    };
    Snapshot snapshot(int id) const;

    // Forgets every record's entry: tests start from an empty registry.
    void clear();

private:
    // Everything known of one record.
    struct Entry {
        Snapshot shown;
        // Per pass, for getProgress.
        bool running = false;
        std::string runKind;  // "" when no pass runs
        bool hasLastRun = false;
        BackupDB::RUN_RECORD lastRun;
        Poco::Int64 bytesWritten = 0;
        Poco::Int64 fileTotal = 0;  // the first toSendCount of the pass; -1 unknown
        // (time, bytes done) of the copy phase, a few seconds' worth, for the rate.
        std::deque<std::pair<Poco::Timestamp, Poco::Int64>> samples;
    };

    BackupProgressRegistry() {}
    // The record's entry, made when missing (setters only).
    Entry& entry(int id) REQUIRES(registryMutex) { return entries[id]; }
    // The record's entry, or null: getters never insert.
    const Entry* find(int id) const REQUIRES(registryMutex);
    static Poco::Int64 bytesDone(const Entry& e);
    static void sample(Entry& e);

    static Orvana::Util::CheckedMutex registryMutex;  // guards entries and creation
    std::map<int, Entry> entries GUARDED_BY(registryMutex);
};

}  // namespace Backup
}  // namespace Orvana
