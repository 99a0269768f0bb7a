#pragma once
// Shared fixture for the engine tests: a logged-in profile, a database with
// records, passes run through a real worker, and tree comparison helpers.

#include <Poco/File.h>
#include <Poco/Timespan.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineHooks.h"
#include "support/LogCapture.h"
#include "support/ProbeDB.h"
#include "support/TempDir.h"
#include "support/TestProfile.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace EngineTest {

using namespace Orvana::Backup;
using namespace TestSupport;

// Relative path -> node, for the whole tree under root (root itself excluded;
// folder times left out).
inline std::map<std::string, TreeNode> snapshot(const std::string& root) {
    return snapshotTree(root, false);
}
// Every temporary copy left anywhere under root (the versions folder is no
// temporary).
std::vector<std::string> temporaries(const std::string& root);
// The names in a folder; none when it is missing.
std::set<std::string> entries(const std::string& folder);
// Sets a file's mtime a few seconds away from now, so the scan sees a change.
void touch(const std::string& path, int secondsAhead);
// Writes new content and touches the file that way.
void changeFile(const std::string& path, const std::string& content, int secondsAhead = 10);
// Writes the files (path below root -> content).
void writeFiles(const std::string& root, const std::map<std::string, std::string>& files);

// Content of n bytes that differs by seed.
std::string bytes(size_t n, unsigned seed);

class EngineTestBase : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // An index row of the record for file, written straight into the table; its id.
    int insertIndexRow(int recId, const std::string& file);
    int addRecord(bool isFile, const std::string& localPath, const std::string& remotePath,
                  const std::string& peer = "me@myhost");
    BackupDB::BackupRecordPtr record(int id) { return db->findBackupRecord(id); }
    // A record of the scratch source's "Docs" folder into dst, holding these
    // files (name -> content), backed up once; its id.
    int backedUpDocs(const std::map<std::string, std::string>& files);
    // One whole pass of the record through a fresh worker.
    void runPass(int id);
    // A pass stopped once reached() holds; returns how long the stop took.
    Poco::Timespan stoppedPass(int id, const std::function<bool()>& reached);
    // Activity texts of a record, oldest first, each prefixed by its severity
    // ("0:", "1:", "2:"), the date and time cut off.
    std::vector<std::string> activities(int id);
    bool hasActivity(int id, const std::string& entry);
    static std::string failed(const std::string& folder) {
        return "2:Backup of directory [" + folder + "] failed.";
    }
    static std::string completed(const std::string& folder) {
        return "1:Backup of directory [" + folder + "] completed.";
    }
    BackupDB::RUN_RECORD lastRun(int id);
    std::string lastSuccess(int id) {
        return db->text("select LASTSUCCESSTIME from BACKUP_RECORDS where ID=" +
                        std::to_string(id));
    }
    // The record's index rows, those matching a further condition when given
    // (" and ...").
    int rows(int id, const std::string& where = "") {
        return db->scalar("select count(*) from BACKUP_SOURCE_FILES where RECID=" +
                          std::to_string(id) + where);
    }
    int syncedRows(int id) { return rows(id, " and SYNCED=1"); }
    // Exactly one: a second row of a file is a fault as well.
    bool hasRow(int id, const std::string& file) {
        return rows(id, " and FILE='" + file + "'") == 1;
    }
    // Rows marked backed up whose copy (the same path under dst) is missing
    // or differs: a crash relies on there being none.
    std::vector<std::string> markedWithoutCopy(int id);
    void setExclusions(int id, const std::vector<std::string>& patterns, bool cacheDirTag = true);
    // A path under the scratch source's "Docs" folder.
    std::string docs(const std::string& name) const { return src + "/Docs/" + name; }
    // A file or a whole folder.
    static void remove(const std::string& path) { Poco::File(path).remove(true); }

    TestProfile profile;
    std::unique_ptr<ProbeDB> db;
    std::string src;  // scratch source root
    std::string dst;  // scratch destination root
};

}  // namespace EngineTest
