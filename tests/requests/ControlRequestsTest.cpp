// Starting and stopping backups by hand.

#include <Poco/File.h>

#include <atomic>
#include <regex>

#include "RequestsFixture.h"
#include "engine/EngineHooks.h"

namespace {

using Orvana::Backup::EngineHooks;

class ControlRequestsTest : public RequestsTest {
protected:
    void TearDown() override {
        harness.stop();  // no worker may run a hook that is about to go
        EngineHooks::clear();
    }
};

TEST_F(ControlRequestsTest, UnknownSyncStartsNothingAndStopWritesAnEntryEachTime) {
    const int id = addLocal(profile.scratch("src"), profile.scratch("store"));
    for (const char* recid : {"99", "0", "-1"})
        EXPECT_EQ(result("synconerecord", false), request("synconerecord", {{"recid", recid}}));
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));  // no pass began
    const std::string rec = std::to_string(id);
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", rec}}));
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", rec}}));
    std::vector<Orvana::Backup::BackupDB::ActivityRecordPtr> entries;
    ASSERT_TRUE(db->getActivities(entries));
    ASSERT_EQ(2u, entries.size());
    const std::regex text(
        R"(\d{1,2}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} [AP]M : Action stopped on user request)");
    for (const auto& e : entries) {
        EXPECT_EQ(id, e->recId);
        EXPECT_EQ(2, e->severity);
        EXPECT_TRUE(std::regex_match(e->activityText, text)) << e->activityText;
    }
    EXPECT_EQ(result("syncallrecord", true), request("syncallrecords"));  // its own result name
}

// Deleting a record that waits in a busy worker's queue, twice over: neither
// copy may run later, and the pass that was interrupted runs again.
TEST_F(ControlRequestsTest, DeleteDropsEveryQueuedCopyOfTheRecord) {
    const std::string srcA = profile.scratch("a");
    const std::string srcB = profile.scratch("b");
    TestSupport::writeFile(srcA + "/one.txt", "one");
    TestSupport::writeFile(srcB + "/b.txt", "b");
    const int a = addLocal(srcA, profile.scratch("storeA"));
    const int b = addLocal(srcB, profile.scratch("storeB"));

    std::atomic<bool> holding(false), release(false);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source.compare(0, srcA.size(), srcA) != 0) return;
        holding = true;
        while (!stop && !release) Poco::Thread::sleep(5);
    });
    // A disabled record is still backed up on request.
    EXPECT_EQ(result("disablerecord", true),
              request("disablerecord", {{"recid", std::to_string(a)}}));
    EXPECT_EQ(result("synconerecord", true),
              request("synconerecord", {{"recid", std::to_string(a)}}));
    ASSERT_TRUE(waitFor(holding));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(result("synconerecord", true),
                  request("synconerecord", {{"recid", std::to_string(b)}}));
    EXPECT_EQ(result("deletebackuprecord", true),
              request("deletebackuprecord", {{"recid", std::to_string(b)}}));
    release = true;
    ASSERT_TRUE(waitForPass(a));

    // The worker serves its queue in order: once a later pass of A is done,
    // anything queued before it has had its turn.
    Orvana::Backup::BackupDB::BACKUP_RECORD first;
    ASSERT_TRUE(db->getBackupRecord(a, first));
    Poco::Thread::sleep(2);  // a later pass gets a later time stamp
    TestSupport::writeFile(srcA + "/two.txt", "two");
    EXPECT_EQ(result("synconerecord", true),
              request("synconerecord", {{"recid", std::to_string(a)}}));
    ASSERT_TRUE(waitForPass(a, first.lastSuccessTime.utcTime()));
    EXPECT_EQ(std::string::npos,
              request("getactivity").find("<recid>" + std::to_string(b) + "</recid>"));
    EXPECT_FALSE(Poco::File(profile.scratch("storeB") + "/b").exists());
    EXPECT_EQ("two", TestSupport::readFile(profile.scratch("storeA") + "/a/two.txt"));
}

}  // namespace
