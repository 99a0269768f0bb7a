// Start and stop as the host sees them: the messages sent, the store location
// settled on (and moved by the host's events), a suspended start, and a
// service deleted while running.

#include <Poco/File.h>
#include <gtest/gtest.h>

#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"
#include "support/WaitUntil.h"

namespace {

using Orvana::HostKit::HostControl;
using TestSupport::ServiceHarness;
using MessagePtr = ServiceHarness::MessagePtr;

std::string field(const MessagePtr& m, const std::string& row, const std::string& name) {
    return (*m)[row][name].getString();
}

TEST(ServiceLifecycleTest, StartRegistersTimerAndEventsAndStopCancelsThemLast) {
    // The service thread starts the timer and subscribes on its own; a stop
    // sent before that would leave both running after the service is gone.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        TestSupport::TestProfile profile;
        ServiceHarness harness;
        ASSERT_TRUE(harness.start());
        EXPECT_TRUE(harness.dispatcher().isRegistered("backup"));
        ASSERT_TRUE(harness.stop());
        EXPECT_FALSE(harness.dispatcher().isRegistered("backup"));
        const auto sent = harness.recorder().messages();
        std::vector<std::string> operations;
        for (const MessagePtr& m : sent) operations.push_back(m->getOperation());
        const std::vector<std::string> expected = {"START", "SUBSCRIBE", "SUBSCRIBE", "STOP",
                                                   "UNSUBSCRIBEALL"};
        ASSERT_EQ(expected, operations);
        EXPECT_EQ("BACKUP_PERIODIC_TIMER 60000 -1", field(sent[0], "TimerService", "Timer") + " " +
                                                        field(sent[0], "TimerService", "Interval") +
                                                        " " +
                                                        field(sent[0], "TimerService", "Repeat"));
        EXPECT_EQ("USER_DATA_DIR_CHANGED", field(sent[1], "EventNotifier", "Event"));
        EXPECT_EQ("PEER_DISCONNECT", field(sent[2], "EventNotifier", "Event"));
        EXPECT_EQ("BACKUP_PERIODIC_TIMER", field(sent[3], "TimerService", "Timer"));
    }
}

TEST(ServiceLifecycleTest, StoredLocationIsUsedOnlyWhenFlagAndPathAreBothThere) {
    const struct {
        const char* custom;  // null: not stored
        bool storePath;
        bool expectChosen;
    } cases[] = {{nullptr, false, false},
                 {nullptr, true, false},
                 {"NONE", true, false},
                 {"TRUE", false, false},
                 {"TRUE", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.custom ? c.custom : "-") + (c.storePath ? " +path" : ""));
        TestSupport::TestProfile profile;
        const std::string chosen = profile.scratch("chosen");
        ServiceHarness harness;
        auto db = harness.service().database();
        if (c.custom) db->setConfigValue("backup", "CUSTOM_DIR_SET", c.custom);
        if (c.storePath) db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", chosen);
        ASSERT_TRUE(harness.start());
        const std::string expected = c.expectChosen ? chosen : profile.userDataDir() + "/backup";
        EXPECT_EQ("<backup><defaultstorelocation>" + expected + "</defaultstorelocation></backup>",
                  harness.request("getdefaultstorelocation"));
    }
}

TEST(ServiceLifecycleTest, UnreadableDatabaseSuspendsTheServiceAndStopIsHarmless) {
    TestSupport::TestProfile profile;
    TestSupport::writeFile(profile.databasePath(), std::string(4096, 'x'));
    ServiceHarness harness;
    EXPECT_FALSE(harness.start());
    EXPECT_FALSE(harness.dispatcher().isRegistered("backup"));
    auto activities = Orvana::HostKit::HostControl::activities();
    ASSERT_EQ(1u, activities.size());
    EXPECT_EQ(3, activities[0].getLevel());
    EXPECT_EQ(4, activities[0].getSource());
    EXPECT_EQ("Orvana Backup suspended because application Database could not be initialized!",
              activities[0].getText());
    // Nothing to undo, and no dispatcher to use.
    EXPECT_TRUE(harness.service().shutdown());
    EXPECT_TRUE(harness.recorder().messages().empty());
}

TEST(ServiceLifecycleTest, RequestQueuedWhileLoggedOutIsDroppedNotDeferred) {
    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    ServiceHarness harness;
    ASSERT_TRUE(harness.start());
    Orvana::HostKit::HostControl::setLoggedIn(false);
    auto early = ServiceHarness::webRequest("getallbackuprecs");
    harness.send(early);
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] { return log.contains("backup : No profile logged in. Ignoring requests"); }));
    Orvana::HostKit::HostControl::setLoggedIn(true);
    harness.drain();
    // The frame's own profile refusal sits behind this test of the service
    // thread, so through the dispatcher a logged-out request gets no reply.
    EXPECT_TRUE(harness.repliesTo(early).empty());
}

TEST(ServiceLifecycleTest, DeletingARunningServiceJoinsItsThread) {
    // Sanitizer builds catch a service thread left running on freed memory.
    TestSupport::TestProfile profile;
    ServiceHarness harness;
    ASSERT_TRUE(harness.start());
    harness.drain();
    harness.dispatcher().unRegisterMessageHandler(&harness.service());
    harness.forget();
}

class HostEventsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }
    void sendEvent(const std::string& name, int source = 100, int role = 100) {
        harness.send(ServiceHarness::eventMessage(name, source, role));
    }
    std::string location() {
        std::string doc = harness.request("getdefaultstorelocation");
        return doc.substr(30, doc.size() - 30 - 32);  // between the two tags
    }

    TestSupport::TestProfile profile;
    ServiceHarness harness;
};

TEST_F(HostEventsTest, UserDataDirChangeMovesTheDefaultLocationUnlessOneWasChosen) {
    const std::string moved = profile.scratch("moved");
    HostControl::setProfileUserDataDir(moved);
    sendEvent("USER_DATA_DIR_CHANGED");
    EXPECT_EQ(moved + "/backup", location());
    EXPECT_TRUE(Poco::File(moved + "/backup").isDirectory());

    const std::string chosen = profile.scratch("chosen");
    harness.request("setdefaultstorelocation", "storepath=" + chosen);
    HostControl::setProfileUserDataDir(profile.scratch("again"));
    sendEvent("USER_DATA_DIR_CHANGED");
    EXPECT_EQ(chosen, location());
    EXPECT_FALSE(Poco::File(profile.scratch("again") + "/backup").exists());
}

TEST_F(HostEventsTest, OtherOrWeakEventsChangeNothingAndGetNoReply) {
    const std::string before = location();
    HostControl::setProfileUserDataDir(profile.scratch("moved"));
    harness.recorder().clear();
    sendEvent("PEER_DISCONNECT");
    sendEvent("USER_DATA_DIR_CHANGED", 99, 100);
    sendEvent("USER_DATA_DIR_CHANGED", 100, 99);
    EXPECT_EQ(before, location());
    EXPECT_EQ(1u, harness.recorder().messages().size());  // the location reply only
}

}  // namespace
