// Starting and stopping backups by hand, and the activity document.

#include <atomic>

#include "RequestsFixture.h"

namespace {

using Orvana::Backup::EngineClock;
using Orvana::Backup::EngineHooks;

typedef RequestsTest ControlRequestsTest;

TEST_F(ControlRequestsTest, UnknownSyncStartsNothingAndStopWritesAnEntryEachTime) {
    const int id = addLocal(profile.scratch("src"), profile.scratch("store"));
    for (const char* recid : {"99", "0", "-1"})
        EXPECT_EQ(result("synconerecord", false), request("synconerecord", {{"recid", recid}}));
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));  // no pass began
    const std::string rec = std::to_string(id);
    // The entry's time is the engine's clock, as for every other entry.
    EngineClock::pin(Poco::LocalDateTime(2024, 6, 3, 21, 5, 7));
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", rec}}));
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", rec}}));
    std::vector<Orvana::Backup::BackupDB::ActivityRecordPtr> entries;
    ASSERT_TRUE(db->getActivities(entries));
    ASSERT_EQ(2u, entries.size());
    for (const auto& e : entries) {
        EXPECT_EQ(id, e->recId);
        EXPECT_EQ(2, e->severity);
        EXPECT_EQ("3-Jun-24 09:05:07 PM : Action stopped on user request", e->activityText);
    }
    EXPECT_EQ(result("syncallrecord", true), request("syncallrecords"));  // its own result name
}

// A delete goes through the engine's stop: the running pass ends, and writes
// no index row or activity entry for the deleted record afterwards.
TEST_F(ControlRequestsTest, DeleteEndsTheRunningPassWhichWritesNothingAfterwards) {
    const std::string src = profile.scratch("src");
    TestSupport::writeFile(src + "/Work/a", "a");
    const std::string rec = std::to_string(addLocal(src + "/Work", profile.scratch("store")));
    std::atomic<bool> held(false);
    EngineHooks::setAfterScan([&](int, const std::atomic<bool>& stop) {
        held = true;
        TestSupport::waitUntil([&] { return stop.load(); }, 10000);
    });
    // A disabled record is still backed up on request.
    EXPECT_EQ(result("disablerecord", true), request("disablerecord", {{"recid", rec}}));
    EXPECT_EQ(result("synconerecord", true), request("synconerecord", {{"recid", rec}}));
    ASSERT_TRUE(waitFor(held));
    EXPECT_EQ(result("deletebackuprecord", true), request("deletebackuprecord", {{"recid", rec}}));
    Poco::Thread::sleep(200);
    EXPECT_TRUE(activityTexts("Backup of").empty());
    Orvana::Backup::BackupDB::SourceRecordMap index;
    EXPECT_TRUE(db->getSourceRecords(std::stoi(rec), index));
    EXPECT_TRUE(index.empty());
}

TEST_F(ControlRequestsTest, ActivityDocumentEscapesTextsAndListsNewestFirst) {
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));
    ASSERT_TRUE(db->addActivity(5, 1, "copied a & b"));
    ASSERT_TRUE(db->addActivity(-3, 2, "<stopped>\n"));
    EXPECT_EQ(
        "<getactivity>"
        "<activity><recid>-3</recid><severity>2</severity><text>&lt;stopped&gt;&#x0A;</text></"
        "activity>"
        "<activity><recid>5</recid><severity>1</severity><text>copied a &amp; b</text></activity>"
        "</getactivity>",
        request("getactivity"));
}

}  // namespace
