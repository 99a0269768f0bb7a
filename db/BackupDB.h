#pragma once
// BackupDB: the plug-in's SQLite store (backup.db in the profile's user data
// directory, under "backup"): backup records, the per-record source-file
// index, the activity log, group lists, incoming backups, stored files, the
// schema version and a key/value configuration table.
//
// Each object owns one connection, opened by the constructor. The service
// keeps one for its request thread; every worker opens its own. An object is
// used by one thread at a time; the connections share the file through
// SQLite's own locking (busy timeout 5 s) and its write-ahead log, so readers
// do not wait for a writer. No operation throws: SQLite
// failures are caught, logged on logger "Backup" and turned into the
// operation's failure value.

#include <Poco/Timestamp.h>

#include <boost/shared_ptr.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostapi/SqliteDB.h"

namespace Poco {
class Logger;
}

namespace Orvana {
namespace Backup {

class BackupDB : public Orvana::Data::SqliteDB {
public:
    // BACKUP_RECORD::frequency as stored and as the page sends it.
    enum ScheduleMode : int { SCHEDULE_NONE = 0, SCHEDULE_DAILY = 1, SCHEDULE_WEEKLY = 2 };
    // ACTIVITY_RECORD::severity as stored and as the page shows it: progress
    // notes, a file or folder backed up, a stop or an unreadable entry.
    enum Severity : int { SEVERITY_PROGRESS = 0, SEVERITY_DONE = 1, SEVERITY_PROBLEM = 2 };

    // One backup definition (table BACKUP_RECORDS).
    struct BACKUP_RECORD {
        int id = 0;
        std::string targetPeerId;
        bool isFile = false;
        std::string localPath;
        std::string remotePath;
        std::string groupId;
        int frequency = 0;  // a ScheduleMode
        int backupTime = 0;
        int backupDay = 0;
        bool enabled = false;
        Poco::Timestamp lastSuccessTime;  // now until read from a row
        Poco::Timestamp lastAttemptTime;
        Poco::Int64 size = 0;
    };

    // One source file of a record's index (table BACKUP_SOURCE_FILES).
    struct SOURCE_RECORD {
        int id = 0;  // 0 until stored
        int recId = 0;
        std::string file;
        Poco::Timestamp lastModifiedTime;
        std::string checksum;
        int synced = 0;
        bool isNew = false;  // no row yet: the flush inserts it
        // Size and status-change time (ns since 1970) when last examined; -1
        // in a row written before they were kept: the file is then judged
        // by its modification time alone, and the scan fills them in.
        Poco::Int64 fileSize = -1;
        Poco::Int64 changeTime = -1;
    };

    // One file of a change list as the storing side sees it.
    struct FILERECORD {
        int recId = 0;
        int fileId = 0;
        std::string fileName;  // relative to dirName
        std::string dirName;
        std::string checksum;
        Poco::Int64 fileSize = 0;
    };

    // One entry of the activity log (table BACKUP_ACTIVITY).
    struct ACTIVITY_RECORD {
        int recId = 0;
        int severity = 0;  // a Severity
        std::string activityText;
    };

    // A backup held here for a source peer (table BACKUP_INCOMING_RECORDS).
    struct INC_RECORD {
        int id = 0;
        int remoteRecId = 0;
        std::string groupId;
        std::string sourcePeerId;
        std::string sourceLocation;
        std::string storedLocation;
        Poco::Timestamp createTime;
    };

    // One backup or restore pass (table BACKUP_RUNS). Times are utcTime
    // values like the other tables' (0: none).
    struct RUN_RECORD {
        int id = 0;  // 0 until stored
        int recId = 0;
        std::string kind;  // "backup" or "restore"
        Poco::Int64 startTime = 0;
        Poco::Int64 endTime = 0;
        std::string result;  // "completed", "completed with errors", "failed", "stopped"
        std::string reason;  // the first failure, as the activity log says it; "" when none
        Poco::Int64 filesChecked = 0;
        Poco::Int64 filesCopied = 0;
        Poco::Int64 bytesCopied = 0;
        Poco::Int64 filesFailed = 0;
    };
    // A record's own settings (table BACKUP_RECORD_SETTINGS, one row per name
    // and position); a record without rows has the defaults.
    struct RECORD_SETTINGS {
        std::vector<std::string> exclude;  // in the order given, comments included
        bool ignoreCase = false;
        bool cacheDirTag = true;    // skip folders marked by a CACHEDIR.TAG
        bool versions = true;       // a replaced copy is kept as an earlier version
        bool keepLastOnly = false;  // retention: the last keepLast, else staggered
        int maxAgeDays = 365;       // staggered; 0 keeps versions for ever
        int keepLast = 10;
    };

    typedef boost::shared_ptr<BACKUP_RECORD> BackupRecordPtr;
    typedef boost::shared_ptr<SOURCE_RECORD> SourceRecordPtr;
    typedef boost::shared_ptr<FILERECORD> FileRecordPtr;
    typedef boost::shared_ptr<ACTIVITY_RECORD> ActivityRecordPtr;
    typedef boost::shared_ptr<INC_RECORD> IncRecordPtr;
    // Full source path -> index entry, ordered byte-wise.
    typedef std::map<std::string, SourceRecordPtr> SourceRecordMap;

    explicit BackupDB(const std::string& name);
    // Opens the given database file instead of the current profile's: the
    // workers use the file the service opened, even after the user data
    // directory moved.
    BackupDB(const std::string& name, const std::string& file);
    ~BackupDB() override;

    bool isValid() const { return valid; }
    virtual bool initialize();
    int checkVersion();
    void upgradeSchema();
    int getVersion(std::string& status, std::string& notes);
    bool setVersion(int version, const std::string& status, const std::string& notes);

    // Configuration store (table PLUGIN_CONFIG).
    std::string getConfigValue(const std::string& key, const std::string& name,
                               const std::string& defaultValue);
    bool doesConfigExist(const std::string& key, const std::string& name);
    // False when the value could not be written (database busy, say).
    bool setConfigValue(const std::string& key, const std::string& name, const std::string& value);

    // Backup records.
    bool addBackupRecord(const std::string& targetPeerId, const int& isFile, const int& enabled,
                         const std::string& localPath, const std::string& remotePath,
                         const std::string& groupId, const int& frequency, const int& backupTime,
                         const int& backupDay, int& newId);
    bool deleteBackupRecord(const int& id);
    bool enableBackupRecord(const int& id);
    bool disableBackupRecord(const int& id);
    bool setLastSuccessTime(const int& id, const Poco::Int64& time);
    bool setRecordSize(const int& id, const Poco::Int64& size);
    bool setLastAttemptTime(const int& id, const Poco::Int64& time);
    bool setSchedule(const int& id, const int& frequency, const int& backupTime,
                     const int& backupDay);
    bool setRemotePath(const int& id, const std::string& remotePath);
    bool getAllBackupRecords(std::vector<BackupRecordPtr>& records);
    // Null when no record has this id or the read failed.
    BackupRecordPtr findBackupRecord(const int& id);
    // True for a missing row too, leaving `record` as it was: prefer
    // findBackupRecord.
    bool getBackupRecord(const int& id, BACKUP_RECORD& record);
    bool getLocalPath(const int& id, std::string& localPath);
    bool getRemotePath(const int& id, std::string& remotePath);
    bool getTargetPeers(std::vector<std::string>& peers);
    bool getRecordsForPeer(const std::string& peerId, std::vector<BackupRecordPtr>& records,
                           bool onlyEnabled);

    // Per-record settings. A failed read leaves `settings` at the defaults
    // and gives false; a failed write changes nothing.
    bool getRecordSettings(const int& recId, RECORD_SETTINGS& settings);
    bool setRecordSettings(const int& recId, const RECORD_SETTINGS& settings);
    bool deleteRecordSettings(const int& recId);

    // Source file index.
    // Both false after a logged failure; a failed flush wrote nothing.
    bool getSourceRecords(const int& recId, SourceRecordMap& records);
    // Up to `limit` rows of the record in path order (FILE, then ID) that
    // come after (afterFile, afterId) and before `until`, replacing `rows`
    // (whose rows are overwritten in place, so that the storage of a chunk
    // passed in again is reused): one chunk of a scan that reads the index
    // as a stream.
    bool getSourceRecordsAfter(const int& recId, const std::string& afterFile, const int& afterId,
                               const std::string& until, const int& limit,
                               std::vector<SOURCE_RECORD>& rows);
    // records: rows to write; each new one is given the id it was stored
    // under. removedIds: rows of files gone from the source; removedFolders:
    // folders gone from it (paths ending in '/'), whose rows go by path
    // range. Both deleted in the same transaction as the writes.
    bool flushSourceRecords(
        const int& recId, SourceRecordMap& records,
        const std::vector<int>& removedIds = std::vector<int>(),
        const std::vector<std::string>& removedFolders = std::vector<std::string>());
    // Rewrites the database file (VACUUM) when deletions have left the
    // source index's pages emptier than COMPACT_SLACK: a read in path order
    // then touches that many more pages. Measuring that reads every page of
    // the index, so a pass that removed rows asks once, after its last
    // flush; outside a transaction only. True when it compacted.
    bool compactSourceIndexIfFragmented();
    // Of the source index's table and path index: their pages, and the share
    // of their bytes left unused (0 to 1); false when it cannot be measured.
    bool sourceIndexFill(long& pages, double& slack);
    static constexpr double COMPACT_SLACK = 0.3;
    // Below this many pages a compaction costs more than it saves.
    static constexpr long COMPACT_MIN_PAGES = 256;
    // Whether any file of the record is marked backed up.
    bool hasSyncedSourceFiles(const int& recId, bool& any);
    // Marks every file of the record not backed up (its copy is gone).
    bool clearSourceFilesSynced(const int& recId);
    bool setSourceFileSynced(const int& fileId);
    // Marks many rows synced in one transaction (the copy phase's batches).
    bool setSourceFilesSynced(const std::vector<int>& fileIds);
    bool deleteSourceFiles(const int& recId);
    bool getSourceRecord(const std::string& file, const int& recId, SOURCE_RECORD& record);
    bool updateSourceFile(const int& recId, const std::string& file,
                          const Poco::Timestamp& modified, const std::string& checksum,
                          int& fileId);
    bool getSourceFileChecksum(const int& recId, const std::string& file, std::string& checksum);
    bool getSourceFileId(const int& recId, const std::string& file, int& fileId);

    // Activity log and disabled groups.
    bool addActivity(const int& recId, const int& severity, const std::string& text);
    bool getActivities(std::vector<ActivityRecordPtr>& activities);
    bool getDisabledGroups(std::vector<std::string>& groups);
    bool disableGroup(const std::string& groupId);
    bool enableGroup(const std::string& groupId);
    bool isGroupEnabled(const std::string& groupId);

    // Run history: the newest MAX_RUNS rows per record are kept.
    static constexpr int MAX_RUNS = 100;
    // Stores the run (its id is set) and trims the record's older rows.
    bool addRun(RUN_RECORD& run);
    // The record's newest runs first, at most limit.
    bool getRuns(const int& recId, const int& limit, std::vector<RUN_RECORD>& runs);
    bool deleteRuns(const int& recId);

    // Incoming backups and stored files.
    bool addIncomingRecord(const int& remoteRecId, const std::string& groupId,
                           const std::string& sourcePeerId, const std::string& sourceLocation,
                           const std::string& storedLocation, const Poco::Int64& createTime);
    bool incomingRecordExists(const int& remoteRecId, const std::string& sourcePeerId);
    bool getIncomingRecordId(const int& remoteRecId, const std::string& sourcePeerId, int& id);
    bool getIncomingRecord(const int& remoteRecId, const std::string& sourcePeerId,
                           INC_RECORD& record);
    bool getIncomingRecords(std::vector<IncRecordPtr>& records);
    bool getIncomingRecordsForPeer(const std::string& sourcePeerId,
                                   std::vector<IncRecordPtr>& records);
    bool setIncomingStoredLocation(const int& remoteRecId, const std::string& storedLocation);
    bool deleteIncomingRecord(const int& id);
    bool canUseStoredLocation(const std::string& sourceLocation, const std::string& storedLocation,
                              const std::string& sourcePeerId);
    bool updateStoredFile(const int& remoteRecId, const std::string& remotePeer,
                          const int& localRecId, const int& sourceFileId,
                          const std::string& storedLocation, const std::string& checksum);
    // One stored file of a commit: the sender's file id, where it lies, its CRC.
    struct StoredFile {
        int sourceFileId = 0;
        std::string storedLocation, checksum;
    };
    // updateStoredFile for many files in one transaction: a commit's rows
    // cost one journal flush rather than one each. All or none are written.
    bool updateStoredFiles(const int& remoteRecId, const std::string& remotePeer,
                           const int& localRecId, const std::vector<StoredFile>& files);
    bool getStoredFileChecksum(const std::string& remotePeer, const int& remoteRecId,
                               const int& sourceFileId, std::string& checksum);
    bool getStoredFileLocation(const std::string& remotePeer, const int& sourceFileId,
                               std::string& storedLocation);
    bool deleteStoredFiles(const int& localRecId);

    // A connection of its own to `file` for reading the source index on
    // another thread: opened without the schema steps (the file's owner ran
    // them) and their log lines. Only the thread that opens it may use it
    // (and destroy it). Invalid when the file could not be opened.
    static std::unique_ptr<BackupDB> openReader(const std::string& name, const std::string& file);

    // Where the database file lives for the current profile.
    static std::string databasePath();
    // The file this object opened (or tried to).
    const std::string& filePath() const { return m_file; }

private:
    // Copies one result row into the caller's variables.
    typedef std::function<void(wxSQLite3ResultSet&)> RowReader;

    // False when there is no open connection; operations then fail quietly.
    bool isOpen() const;
    // Runs one statement; a caught failure is logged and gives false. With
    // `where`, the log line names the operation that failed.
    bool execute(const char* sql, const char* where = nullptr);
    // Hands every row of a query to `read`; false after a logged failure.
    bool readRows(const char* sql, const RowReader& read);
    // Hands the first row, if any, to `read` (which may be empty) and tells
    // whether there was one; false after a logged failure.
    bool readFirstRow(const char* sql, const RowReader& read, bool* found = nullptr);
    // True when the query gives at least one row.
    bool hasRow(const char* sql);
    // Copies one column of the first row; true only when there was a row.
    bool findText(const char* sql, const char* column, std::string& value);
    bool findInt(const char* sql, const char* column, int& value);
    // A reader that appends every row to `records` as a new record.
    template <class Record>
    static RowReader appendEach(std::vector<boost::shared_ptr<Record>>& records,
                                void (*read)(wxSQLite3ResultSet&, Record&)) {
        return [&records, read](wxSQLite3ResultSet& rs) {
            boost::shared_ptr<Record> record(new Record);
            read(rs, *record);
            records.push_back(record);
        };
    }
    // Switches the connection to write-ahead logging (see the definition).
    void useWriteAheadLog();
    // Runs `work` between the `begin` and `end` statements; a failure is
    // logged, the transaction rolled back and false returned.
    bool inTransaction(const char* begin, const char* end, const std::function<void()>& work);
    // Ends an open transaction without keeping its changes.
    void rollback();
    // The logger every line of the database goes to (see the definition).
    static Poco::Logger& logger();
    static void logError(const std::string& text);
    // The argument type "%lld" expects.
    static long long ll(Poco::Int64 value) { return static_cast<long long>(value); }
    // Time columns: > 0 is a utcTime value, anything else means never.
    static Poco::Timestamp timeFromColumn(Poco::Int64 value);
    static void readBackupRecord(wxSQLite3ResultSet& rs, BACKUP_RECORD& record);
    static void readSourceRecord(wxSQLite3ResultSet& rs, SOURCE_RECORD& record);
    // The statements of one flush; the caller holds the transaction.
    void writeSourceRecords(const int& recId, const SourceRecordMap& records);
    void deleteSourceRows(const int& recId, const std::vector<int>& ids);
    void deleteSourceFolders(const int& recId, const std::vector<std::string>& folders);
    // Adds the index's size and status-change time columns to a table that
    // lacks them (a file made before they existed).
    void addSourceIndexColumns();
    static void readIncomingRecord(wxSQLite3ResultSet& rs, INC_RECORD& record);
    struct ReaderOnly {};
    BackupDB(const std::string& name, const std::string& file, ReaderOnly);

    std::string name;
    std::string m_file;  // set before initialize() runs
    bool valid;
    bool m_writeAheadLog = false;  // the connection runs in WAL mode
};

}  // namespace Backup
}  // namespace Orvana
