#pragma once
// Shared fixture for the engine tests: a logged-in profile, a database with
// records, passes run through a real worker, and tree comparison helpers.

#include "db/BackupDB.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineHooks.h"
#include "support/LogCapture.h"
#include "support/ProbeDB.h"
#include "support/TestProfile.h"

#include <Poco/Thread.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace EngineTest {

using Orvana::Backup::BackupActivity;
using Orvana::Backup::BackupDB;
using Orvana::Backup::BackupProgressRegistry;

using TestSupport::ProbeDB;

// One file or folder of a tree: kind, content, permission bits, mtime (ns).
struct Node {
    char kind;
    std::string content;
    unsigned mode;
    long long mtimeNs;
    bool operator==(const Node& o) const {
        return kind == o.kind && content == o.content && mode == o.mode && mtimeNs == o.mtimeNs;
    }
};
// Relative path -> node, for the whole tree under root (root itself excluded).
std::map<std::string, Node> snapshot(const std::string& root);
// Every temporary copy left anywhere under root (the versions folder is no
// temporary).
std::vector<std::string> temporaries(const std::string& root);
// Sets a file's mtime a few seconds away from now, so the scan sees a change.
void touch(const std::string& path, int secondsAhead);

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 60000);

class EngineTestBase : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    int addRecord(bool isFile, const std::string& localPath, const std::string& remotePath,
                  const std::string& peer = "me@myhost");
    BackupDB::BackupRecordPtr record(int id);
    // One whole pass of the record through a fresh worker.
    void runPass(int id);
    // Activity texts of a record, oldest first, each prefixed by its severity
    // ("0:", "1:", "2:"), the date and time cut off.
    std::vector<std::string> activities(int id);
    bool hasActivity(int id, const std::string& entry);
    std::string lastSuccess(int id);
    int syncedRows(int id);

    TestSupport::TestProfile profile;
    std::unique_ptr<ProbeDB> db;
    std::string src;  // scratch source root
    std::string dst;  // scratch destination root
};

}  // namespace EngineTest
