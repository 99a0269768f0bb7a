// The database: opening it (first start, version repair, legacy file, missing
// tables, unusable files and folders, the configuration store); the source file
// index (load in path order, flush, failed flush, pages compacted after churn
// without losing a row, an id or the order a scan reads them in); and the other
// tables: records, runs, settings, the activity log's cap, incoming backups
// and stored files.
#include <Poco/File.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ProbeDB.h"
#include "support/TestProfile.h"

namespace {

using namespace TestSupport;
using Orvana::Backup::BackupDB;

// A logged-in profile in a temp folder and a BackupDB on it.
class DbTestBase : public ::testing::Test {
protected:
    void SetUp() override { reopen(); }
    void reopen() {
        db.reset();
        db.reset(new ProbeDB);
        ASSERT_TRUE(db->isValid());
    }

    TestProfile profile;
    std::unique_ptr<ProbeDB> db;
};

// Texts that break naive SQL quoting or text handling.
std::string oddText() { return "it's 100% \"odd\" & <x>\nsecond line\t\xff\xfe end"; }

class BackupDBReopen : public DbTestBase {};

// The first start makes the folder, the tables and the version; at the next
// start a wrong or missing version is written anew.
TEST_F(BackupDBReopen, FirstStartMakesTheSchemaAndAWrongOrMissingVersionIsRewritten) {
    EXPECT_EQ(profile.databasePath(), BackupDB::databasePath());
    for (const char* table : {"BACKUP_RECORDS", "BACKUP_SOURCE_FILES", "ENABLED_GROUPS",
                              "DISABLED_GROUPS", "BACKUP_ACTIVITY", "BACKUP_INCOMING_RECORDS",
                              "BACKUP_STORED_FILES", "VERSION", "PLUGIN_CONFIG"})
        EXPECT_TRUE(db->conn().TableExists(table)) << table;
    EXPECT_EQ(1, db->scalar("select count(*) from VERSION;"));
    std::string status = "x", notes = "x";
    EXPECT_EQ(3, db->getVersion(status, notes));
    EXPECT_EQ("OK", status);
    for (const char* change : {"update VERSION set VERSIONID=2;", "update VERSION set VERSIONID=4;",
                               "delete from VERSION;"}) {
        db->conn().ExecuteUpdate(change);
        db->conn().ExecuteUpdate("update VERSION set NOTES='old';");
        reopen();
        EXPECT_EQ(3, db->getVersion(status, notes)) << change;
        EXPECT_EQ("", notes) << change;
        EXPECT_EQ(1, db->scalar("select count(*) from VERSION;")) << change;
    }
}

TEST_F(BackupDBReopen, KeepsRowsAndConfigDeletesLegacyFileRecreatesMissingTable) {
    int id = 0;
    ASSERT_TRUE(db->addBackupRecord("peer@host", 0, 1, "/src", "/dst", "", 0, 0, 0, id));
    ASSERT_TRUE(db->addActivity(id, 0, "kept"));
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_SOURCE_FILES;");
    const std::string legacy = profile.root() + "/plugindata/backup/backup.db";
    writeFile(legacy, "old contents");
    EXPECT_EQ("NONE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
    db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
    db->setConfigValue("backup", "CUSTOM_DIR_SET", "FALSE");
    // A folder path is stored as given: stripping characters would move the backups.
    const std::string folder = "/home/o'brien/Tom & Jerry's 100% backups";
    db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", folder);
    reopen();
    EXPECT_FALSE(Poco::File(legacy).exists());
    EXPECT_TRUE(db->conn().TableExists("BACKUP_SOURCE_FILES"));
    EXPECT_EQ("/src", db->text("select LOCALPATH from BACKUP_RECORDS;"));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_ACTIVITY;"));
    EXPECT_EQ("FALSE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
    EXPECT_EQ(2, db->scalar("select count(*) from PLUGIN_CONFIG;"));
    EXPECT_EQ(folder, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", "NONE"));
}

// What an older file lacks is added on opening; its version stays.
TEST_F(BackupDBReopen, OlderFileGainsTheTablesAndIndexItLacks) {
    for (const std::string name :
         {"BACKUP_RUNS", "BACKUP_RECORD_SETTINGS", "BACKUP_SOURCE_FILES_RECID_FILE"}) {
        const std::string where = " from sqlite_master where name='" + name + "';";
        db->conn().ExecuteUpdate("DROP " + db->text("select type" + where) + " " + name + ";");
        reopen();
        EXPECT_EQ(1, db->scalar("select count(*)" + where)) << name;
        std::string status, notes;
        EXPECT_EQ(3, db->getVersion(status, notes)) << name;
    }
}

// A file that is no database, or a folder that cannot be made: the object is
// invalid, every operation fails quietly, and what was there stays.
TEST(BackupDBOpen, UnusableFileOrFolderLeavesObjectInvalidAndItUntouched) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919 + 13) % 251);
    for (bool folder : {false, true}) {
        TestProfile profile;
        LogCapture log;
        std::string path = profile.databasePath();
        if (folder) {
            path = profile.scratch("x") + "/plain-file";
            Orvana::HostKit::HostControl::setProfileUserDataDir(path);
        }
        writeFile(path, garbage);
        std::unique_ptr<BackupDB> db;
        ASSERT_NO_THROW(db.reset(new BackupDB("backup")));
        EXPECT_FALSE(db->isValid());
        EXPECT_EQ("d", db->getConfigValue("backup", "CUSTOM_DIR_SET", "d"));
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        EXPECT_FALSE(db->addActivity(1, 0, "x"));
        BackupDB::SourceRecordMap map;
        db->flushSourceRecords(1, map);
        EXPECT_FALSE(db->setSourceFilesSynced({1, 2}));
        db.reset();
        EXPECT_EQ(garbage, readFile(path)) << folder;
    }
}

BackupDB::SourceRecordPtr entry(int recId, const std::string& file, const std::string& sum,
                                Poco::Int64 micros) {
    BackupDB::SourceRecordPtr r(new BackupDB::SOURCE_RECORD);
    r->recId = recId;
    r->file = file;
    r->checksum = sum;
    r->lastModifiedTime = Poco::Timestamp(micros);
    r->isNew = true;
    return r;
}

void put(BackupDB::SourceRecordMap& map, const BackupDB::SourceRecordPtr& r) { map[r->file] = r; }

typedef std::tuple<int, std::string, std::string, int, Poco::Int64> Row;

std::string pathOf(int i) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "/home/user/folder%02d/a file with a longer name %06d", i % 37,
                  i);
    return buf;
}

class BackupDBSourceIndex : public DbTestBase {
protected:
    // Rows of both records, every other one in record 2, flushed as a pass would.
    void fill(int count) {
        BackupDB::SourceRecordMap one, two;
        for (int i = 0; i < count; ++i) {
            const int recId = i % 2 ? 2 : 1;
            BackupDB::SourceRecordPtr r = entry(recId, pathOf(i), "sum " + std::to_string(i), 0);
            r->fileSize = i;
            (i % 2 ? two : one)[r->file] = r;
        }
        ASSERT_TRUE(db->flushSourceRecords(1, one));
        ASSERT_TRUE(db->flushSourceRecords(2, two));
    }
    // A record's rows as the scan's cursor reads them: small chunks in path order.
    std::vector<Row> read(int recId) {
        std::vector<Row> out;
        std::vector<BackupDB::SOURCE_RECORD> chunk;
        std::string after = "/";
        int afterId = 0;
        do {
            EXPECT_TRUE(db->getSourceRecordsAfter(recId, after, afterId, "0", 500, chunk));
            for (const BackupDB::SOURCE_RECORD& r : chunk) {
                out.emplace_back(r.id, r.file, r.checksum, r.synced, r.fileSize);
                after = r.file;
                afterId = r.id;
            }
        } while (!chunk.empty());
        return out;
    }
    double slack() {
        long pages = 0;
        double unused = 0;
        EXPECT_TRUE(db->sourceIndexFill(pages, unused));
        return unused;
    }
};

TEST_F(BackupDBSourceIndex, FlushInsertsNewUpdatesLoadedDeletesGivenAndSparesOtherRecords) {
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/same/path", "aaa", 1000));
    put(map, entry(1, "/gone", "ggg", 2000));
    db->flushSourceRecords(1, map);
    map.clear();
    put(map, entry(2, "/same/path", "other", 3000));
    db->flushSourceRecords(2, map);
    map.clear();

    db->getSourceRecords(1, map);
    ASSERT_EQ(2u, map.size());
    const int sameId = map["/same/path"]->id;
    EXPECT_FALSE(map["/same/path"]->isNew);
    EXPECT_EQ(1000, map["/same/path"]->lastModifiedTime.epochMicroseconds());

    // Change one loaded entry, leave one untouched, add one.
    map["/same/path"]->checksum = "bbb";
    map["/same/path"]->lastModifiedTime = Poco::Timestamp(1500);
    map["/same/path"]->synced = 1;
    put(map, entry(1, oddText(), "odd", 4000));
    db->flushSourceRecords(1, map);
    map.clear();

    db->getSourceRecords(1, map);
    ASSERT_EQ(3u, map.size());
    EXPECT_EQ(sameId, map["/same/path"]->id);
    EXPECT_EQ("bbb", map["/same/path"]->checksum);
    EXPECT_EQ(1500, map["/same/path"]->lastModifiedTime.epochMicroseconds());
    EXPECT_EQ(1, map["/same/path"]->synced);
    EXPECT_EQ("ggg", map["/gone"]->checksum);
    EXPECT_EQ("odd", map.at(oddText())->checksum);
    for (const auto& kv : map) EXPECT_FALSE(kv.second->isNew);
    EXPECT_EQ(4, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));

    EXPECT_EQ("other", db->text("select CHECKSUM from BACKUP_SOURCE_FILES where RECID=2;"));

    // Rows given to delete go, those of the flushed record only.
    const int gone = map["/gone"]->id;
    const int theirs = db->scalar("select ID from BACKUP_SOURCE_FILES where RECID=2;");
    map.clear();
    ASSERT_TRUE(db->flushSourceRecords(1, map, {gone, theirs}));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/gone';"));
    EXPECT_EQ(3, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));
}

TEST_F(BackupDBSourceIndex, FailedFlushRollsBackWholeBatch) {
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/z-loaded", "old", 1000));
    db->flushSourceRecords(1, map);
    map.clear();
    db->getSourceRecords(1, map);
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER fail_flush BEFORE UPDATE ON BACKUP_SOURCE_FILES "
        "WHEN NEW.CHECKSUM='boom' BEGIN SELECT RAISE(ABORT, 'refused'); END;");

    // "/a-new" is inserted before the update of "/z-loaded" fails.
    put(map, entry(1, "/a-new", "new", 2000));
    map["/z-loaded"]->checksum = "boom";
    db->flushSourceRecords(1, map);

    EXPECT_TRUE(db->conn().GetAutoCommit());
    EXPECT_EQ(1, db->scalar("PRAGMA synchronous;"));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/a-new';"));
    EXPECT_EQ("old", db->text("select CHECKSUM from BACKUP_SOURCE_FILES where FILE='/z-loaded';"));

    // The connection is usable afterwards.
    db->conn().ExecuteUpdate("DROP TRIGGER fail_flush;");
    db->flushSourceRecords(1, map);
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));
}

// Without a write-ahead log a connection runs at FULL; a flush turns syncing
// off for its batch and must give FULL back, not NORMAL, which can leave a
// corrupt file after a power cut with the rollback journal.
TEST_F(BackupDBSourceIndex, FlushWithoutTheLogKeepsFullSyncs) {
    struct NoLog : BackupDB {
        NoLog() : BackupDB("backup", "") {}  // a private temporary file: no log
        int pragma(const char* sql) { return m_db->ExecuteScalar(sql); }
    } db;
    ASSERT_TRUE(db.isValid());
    ASSERT_EQ(2, db.pragma("PRAGMA synchronous;"));
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/a", "sum", 1000));
    ASSERT_TRUE(db.flushSourceRecords(1, map));
    EXPECT_EQ(2, db.pragma("PRAGMA synchronous;"));
    EXPECT_EQ(1, db.pragma("select count(*) from BACKUP_SOURCE_FILES;"));
}

TEST_F(BackupDBSourceIndex, FragmentedPagesAreCompactedKeepingEveryRowUnlessFewOrInATransaction) {
    fill(600);
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());  // a few pages: not worth a rewrite
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES;");

    fill(20000);
    long pages = 0;
    double unused = 0;
    ASSERT_TRUE(db->sourceIndexFill(pages, unused));
    ASSERT_GE(pages, BackupDB::COMPACT_MIN_PAGES);
    EXPECT_LT(unused, BackupDB::COMPACT_SLACK);
    // Every other row gone, spread over every page, as churn leaves them.
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    const double fragmented = slack();
    ASSERT_GT(fragmented, BackupDB::COMPACT_SLACK);
    // VACUUM would fail in a transaction, and must not end a caller's.
    db->conn().ExecuteUpdate("BEGIN;");
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());
    EXPECT_FALSE(db->conn().GetAutoCommit());
    db->conn().ExecuteUpdate("COMMIT;");
    EXPECT_DOUBLE_EQ(fragmented, slack());

    // One more row removed, then asked: the table is fragmented.
    const std::vector<Row> before1 = read(1), before2 = read(2);
    const int gone = std::get<0>(before1.front());
    BackupDB::SourceRecordMap none;
    ASSERT_TRUE(db->flushSourceRecords(1, none, {gone}));
    EXPECT_TRUE(db->compactSourceIndexIfFragmented());
    EXPECT_LT(slack(), BackupDB::COMPACT_SLACK);
    long after = 0;
    ASSERT_TRUE(db->sourceIndexFill(after, unused));
    EXPECT_LT(after, pages * 3 / 4);
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());  // nothing left to gain
    // The rewrite went through the log: it must not stay at the file's size.
    Poco::File log(db->filePath() + "-wal");
    EXPECT_LT(log.exists() ? log.getSize() : 0, 64u * 1024);

    // The same rows with the same ids (other tables point at them), in the same order.
    std::vector<Row> expected1(before1.begin() + 1, before1.end());
    EXPECT_EQ(expected1, read(1));
    EXPECT_EQ(before2, read(2));
    BackupDB::SourceRecordMap map;
    ASSERT_TRUE(db->getSourceRecords(2, map));
    EXPECT_EQ(before2.size(), map.size());
}

TEST_F(BackupDBSourceIndex, ChunkReadIntoUsedRowsLeavesNothingOfThem) {
    fill(10);
    // A row from before checksums, sizes and status-change times were kept.
    db->conn().ExecuteUpdate(
        "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, SYNCED) values (1, "
        "'/home/user/old', 7, 1);");
    std::vector<BackupDB::SOURCE_RECORD> chunk;
    ASSERT_TRUE(db->getSourceRecordsAfter(1, "/", 0, "0", 100, chunk));
    ASSERT_EQ(6u, chunk.size());
    // The same vector, read again for fewer rows: the old row's NULLs read as
    // empty and unknown, not as what the slot held.
    ASSERT_TRUE(db->getSourceRecordsAfter(1, "/home/user/o", 0, "/home/user/p", 100, chunk));
    ASSERT_EQ(1u, chunk.size());
    EXPECT_EQ("/home/user/old", chunk[0].file);
    EXPECT_EQ("", chunk[0].checksum);
    EXPECT_EQ(-1, chunk[0].fileSize);
    EXPECT_EQ(-1, chunk[0].changeTime);
    EXPECT_EQ(Poco::Timestamp::fromUtcTime(7), chunk[0].lastModifiedTime);
}

class BackupDBTables : public DbTestBase {
protected:
    int add(const std::string& peer, const std::string& path, int enabled = 1) {
        int id = -1;
        EXPECT_TRUE(db->addBackupRecord(peer, 0, enabled, path, "/dst", "g1", 1, 2, 3, id));
        return id;
    }
    BackupDB::RUN_RECORD run(int recId, const std::string& result, Poco::Int64 start) {
        BackupDB::RUN_RECORD r;
        r.recId = recId;
        r.kind = "backup";
        r.startTime = start;
        r.endTime = start + 10;
        r.result = result;
        r.reason = oddText();
        r.bytesCopied = 5000000000LL;  // beyond 32 bits
        r.filesFailed = 1;
        return r;
    }
    void addActivities(int from, int to) {
        for (int i = from; i <= to; ++i) ASSERT_TRUE(db->addActivity(i, i % 3, std::to_string(i)));
    }
    int activityCount() { return db->scalar("select count(*) from BACKUP_ACTIVITY;"); }
};

// A missing row must not read as a record.
TEST_F(BackupDBTables, RecordDefaultsUpdatesFindAndIdsNotReused) {
    EXPECT_EQ(1, add("a@h", "/one"));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(0, rec.size);  // SIZE is NULL until a scan
    EXPECT_EQ(0, rec.lastSuccessTime.epochMicroseconds());

    // Beyond 32 bits, and a text that breaks naive quoting.
    ASSERT_TRUE(db->setRecordSize(1, 5000000000LL));
    ASSERT_TRUE(db->setRemotePath(1, oddText()));
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(5000000000LL, rec.size);
    EXPECT_EQ(oddText(), rec.remotePath);

    EXPECT_EQ(2, add("a@h", "/two"));
    ASSERT_TRUE(db->deleteBackupRecord(2));
    EXPECT_EQ(3, add("a@h", "/three"));
    const BackupDB::BackupRecordPtr found = db->findBackupRecord(3);
    ASSERT_TRUE(found);
    EXPECT_EQ(3, found->id);
    EXPECT_EQ("/three", found->localPath);
    // Ids callers once preset as "not found" must not come back as records.
    for (int gone : {0, -1, 2}) EXPECT_FALSE(db->findBackupRecord(gone)) << gone;

    // An id with no row: success, and the output untouched.
    BackupDB::BACKUP_RECORD untouched;
    untouched.frequency = 42;
    EXPECT_TRUE(db->getBackupRecord(999, untouched));
    EXPECT_EQ(42, untouched.frequency);
    EXPECT_TRUE(db->deleteBackupRecord(999));
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_RECORDS;"));

    LogCapture log;
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_RECORDS;");
    EXPECT_FALSE(db->findBackupRecord(3));
}

TEST_F(BackupDBTables, RecordListingsNewestFirstAndEnabledFilter) {
    int id = 0;  // local path and group id are stored unchanged
    ASSERT_TRUE(db->addBackupRecord("a@h", 1, 1, oddText(), "/dst", oddText(), 0, 0, 0, id));
    add("b@h", "/2");
    add("a@h", "/3", 0);
    add("a@h", "/4");
    std::vector<BackupDB::BackupRecordPtr> all;
    ASSERT_TRUE(db->getAllBackupRecords(all));
    ASSERT_EQ(4u, all.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(4 - i, all[i]->id);
    EXPECT_EQ(oddText(), all[3]->localPath);
    EXPECT_EQ(oddText(), all[3]->groupId);

    std::vector<BackupDB::BackupRecordPtr> recs;
    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, true));
    ASSERT_EQ(2u, recs.size());
    for (const auto& r : recs) EXPECT_TRUE(r->enabled);

    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, false));
    EXPECT_EQ(3u, recs.size());
}

TEST_F(BackupDBTables, RunsNewestFirstTrimmedPerRecordAndDeletedWithIt) {
    for (int i = 0; i < BackupDB::MAX_RUNS + 5; ++i) {
        BackupDB::RUN_RECORD r = run(1, i % 2 ? "failed" : "completed", 1000 + i);
        ASSERT_TRUE(db->addRun(r));
        EXPECT_GT(r.id, 0);
    }
    BackupDB::RUN_RECORD other = run(2, "stopped", 7);
    ASSERT_TRUE(db->addRun(other));

    std::vector<BackupDB::RUN_RECORD> runs;
    ASSERT_TRUE(db->getRuns(1, 1000, runs));
    ASSERT_EQ(static_cast<size_t>(BackupDB::MAX_RUNS), runs.size());
    EXPECT_EQ(1000 + BackupDB::MAX_RUNS + 4, runs.front().startTime);
    EXPECT_EQ(1005, runs.back().startTime);  // the five oldest went
    const BackupDB::RUN_RECORD& r = runs.front();
    EXPECT_EQ("backup", r.kind);
    EXPECT_EQ(oddText(), r.reason);
    EXPECT_EQ(5000000000LL, r.bytesCopied);
    EXPECT_EQ(1, r.filesFailed);
    ASSERT_TRUE(db->getRuns(1, 3, runs));
    EXPECT_EQ(3u, runs.size());

    ASSERT_TRUE(db->deleteRuns(1));
    ASSERT_TRUE(db->getRuns(1, 1000, runs));
    EXPECT_TRUE(runs.empty());
    ASSERT_TRUE(db->getRuns(2, 1000, runs));
    EXPECT_EQ(1u, runs.size());
}

TEST_F(BackupDBTables, SettingsRoundTripPerRecordAndGoWithTheRecord) {
    const int a = add("me@h", "/a"), b = add("me@h", "/b");

    BackupDB::RECORD_SETTINGS read;
    read.exclude = {"stale"};
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_TRUE(read.exclude.empty());
    EXPECT_FALSE(read.ignoreCase);
    EXPECT_TRUE(read.cacheDirTag);

    BackupDB::RECORD_SETTINGS written;
    // More than ten, so that an order by text would put "10" before "2".
    for (int i = 0; i < 12; ++i) written.exclude.push_back("p" + std::to_string(i));
    written.exclude.push_back(oddText());
    written.ignoreCase = true;
    written.cacheDirTag = false;
    ASSERT_TRUE(db->setRecordSettings(a, written));
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_EQ(written.exclude, read.exclude);
    EXPECT_TRUE(read.ignoreCase);
    EXPECT_FALSE(read.cacheDirTag);
    ASSERT_TRUE(db->getRecordSettings(b, read));
    EXPECT_TRUE(read.exclude.empty());

    // A shorter list replaces the longer one as a whole.
    written.exclude = {"only"};
    ASSERT_TRUE(db->setRecordSettings(a, written));
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_EQ(written.exclude, read.exclude);

    ASSERT_TRUE(db->setRecordSettings(b, written));
    ASSERT_TRUE(db->deleteBackupRecord(a));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_RECORD_SETTINGS where RECID = " +
                            std::to_string(a)));
    EXPECT_LT(0, db->scalar("select count(*) from BACKUP_RECORD_SETTINGS where RECID = " +
                            std::to_string(b)));
}

TEST_F(BackupDBTables, ActivityLogKeepsTheNewestHundredAlsoOfTwoWriters) {
    addActivities(1, 100);
    EXPECT_EQ(100, activityCount());
    addActivities(101, 150);
    std::vector<BackupDB::ActivityRecordPtr> list;
    ASSERT_TRUE(db->getActivities(list));
    ASSERT_EQ(100u, list.size());
    EXPECT_EQ("150", list.front()->activityText);
    EXPECT_EQ("51", list.back()->activityText);

    // An overfull table (left by an older version) is trimmed on the next add.
    for (int i = 0; i < 20; ++i)
        db->conn().ExecuteUpdate(
            "insert into BACKUP_ACTIVITY (RECID, SEVERITY, ACTIVITYTEXT) values (1, 0, 'old');");
    ASSERT_TRUE(db->addActivity(2, 1, oddText()));
    EXPECT_EQ(100, activityCount());
    ASSERT_TRUE(db->getActivities(list));
    EXPECT_EQ(oddText(), list.front()->activityText);
    EXPECT_EQ(171 - 99, db->scalar("select min(ID) from BACKUP_ACTIVITY;"));

    // Two writers at once, each on its own connection: the newest hundred by ID survive.
    std::atomic<int> failures(0);
    auto writer = [&](int tag) {
        BackupDB own("backup");
        for (int i = 0; i < 150; ++i)
            if (!own.addActivity(tag, 0, std::to_string(tag) + ":" + std::to_string(i))) ++failures;
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(100, activityCount());
    EXPECT_EQ(171 + 300, db->scalar("select max(ID) from BACKUP_ACTIVITY;"));
    EXPECT_EQ(171 + 300 - 99, db->scalar("select min(ID) from BACKUP_ACTIVITY;"));
}

TEST_F(BackupDBTables, IncomingOneRowPerRecordAndPeerAndLocationOwnership) {
    // What the local copy does on each run.
    for (const char* peer : {"me@myhost", "me@myhost", "other@host"}) {
        if (!db->incomingRecordExists(5, peer)) {
            ASSERT_TRUE(db->addIncomingRecord(5, "", peer, oddText(), "/store/me", 1234));
        }
    }
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_INCOMING_RECORDS;"));
    BackupDB::INC_RECORD rec;
    ASSERT_TRUE(db->getIncomingRecord(5, "me@myhost", rec));
    EXPECT_EQ(oddText(), rec.sourceLocation);
    EXPECT_EQ(Poco::Timestamp::fromUtcTime(1234), rec.createTime);

    EXPECT_TRUE(db->canUseStoredLocation("/src", "/free", "me@myhost"));
    EXPECT_TRUE(db->canUseStoredLocation(oddText(), "/store/me", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation("/other", "/store/me", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation(oddText(), "/store/me", "you@host"));
}

// One row per peer, record and file; a commit's rows are written in one
// transaction; all go with the local record id they were stored under.
TEST_F(BackupDBTables, StoredFilesPerPeerRecordAndFileAndACommitsRowsTogether) {
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/first", "c0"));
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/second'", "c1"));
    ASSERT_TRUE(db->updateStoredFile(10, "p2@h", 2, 77, "/s/p2", "x"));
    std::string sum, where;
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 77, where));
    EXPECT_EQ("/s/second'", where);
    EXPECT_FALSE(db->getStoredFileLocation("p1@h", 79, where));
    EXPECT_EQ("/s/second'", where);  // untouched

    // An existing row updated, a new one added, a file repeated: last wins.
    const std::vector<BackupDB::StoredFile> files = {
        {77, "/s/new", "c2"}, {78, oddText(), "c3"}, {78, "/s/again", "c4"}};
    ASSERT_TRUE(db->updateStoredFiles(10, "p1@h", 1, files));
    EXPECT_EQ(3, db->scalar("select count(*) from BACKUP_STORED_FILES;"));
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c2", sum);
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 78, where));
    EXPECT_EQ("/s/again", where);
    ASSERT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
    EXPECT_EQ("x", sum);
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_STORED_FILES where LOCALRECID=1;"));

    // A row that cannot be written leaves none of the batch written.
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER refuse BEFORE INSERT ON BACKUP_STORED_FILES WHEN NEW.CHECKSUM='bad' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_FALSE(
        db->updateStoredFiles(10, "p1@h", 1, {{77, "/s/third", "c5"}, {79, "/s/b", "bad"}}));
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c2", sum);
    EXPECT_TRUE(db->updateStoredFiles(10, "p1@h", 1, {}));

    ASSERT_TRUE(db->deleteStoredFiles(1));
    EXPECT_FALSE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
}

}  // namespace
