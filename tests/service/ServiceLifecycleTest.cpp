// Start and stop of the service as the host sees them: the messages it sends,
// the store location it settles on, a suspended start and dropped requests.

#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using TestSupport::ServiceHarness;
using MessagePtr = ServiceHarness::MessagePtr;

std::string field(const MessagePtr& m, const std::string& row, const std::string& name) {
    return (*m)[row][name].getString();
}

class ServiceLifecycleTest : public ::testing::Test {
protected:
    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    ServiceHarness harness;
};

TEST_F(ServiceLifecycleTest, StartRegistersTimerAndEventsAndStopCancelsThem) {
    ASSERT_TRUE(harness.start());
    EXPECT_TRUE(harness.dispatcher().isRegistered("backup"));
    harness.drain();

    auto sent = harness.recorder().messages();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ("TimerService", sent[0]->getService());
    EXPECT_EQ("START", sent[0]->getOperation());
    EXPECT_EQ("backup", field(sent[0], "TimerService", "Owner"));
    EXPECT_EQ("BACKUP_PERIODIC_TIMER", field(sent[0], "TimerService", "Timer"));
    EXPECT_EQ(60000, (*sent[0])["TimerService"]["Interval"].getInt64());
    EXPECT_EQ(-1, (*sent[0])["TimerService"]["Repeat"].getInt());
    for (int i : {1, 2}) {
        EXPECT_EQ("EventNotifier", sent[i]->getService());
        EXPECT_EQ("SUBSCRIBE", sent[i]->getOperation());
        EXPECT_EQ("backup", field(sent[i], "EventNotifier", "Owner"));
    }
    EXPECT_EQ("USER_DATA_DIR_CHANGED", field(sent[1], "EventNotifier", "Event"));
    EXPECT_EQ("PEER_DISCONNECT", field(sent[2], "EventNotifier", "Event"));

    harness.recorder().clear();
    ASSERT_TRUE(harness.stop());
    EXPECT_FALSE(harness.dispatcher().isRegistered("backup"));
    sent = harness.recorder().messages();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("STOP", sent[0]->getOperation());
    EXPECT_EQ("BACKUP_PERIODIC_TIMER", field(sent[0], "TimerService", "Timer"));
    EXPECT_EQ("UNSUBSCRIBEALL", sent[1]->getOperation());
    EXPECT_EQ("backup", field(sent[1], "EventNotifier", "Owner"));

    // The stop lines come in order.
    std::vector<std::string> order;
    for (const auto& l : log.lines())
        if (l.logger == "backup") order.push_back(l.text);
    auto pos = [&](const std::string& t) {
        return std::find(order.begin(), order.end(), t) - order.begin();
    };
    const auto stopping = pos("backup Stopping all worker threads");
    const auto stopped = pos("backup All worker threads stopped");
    const auto done = pos("backup << Service exited successfully ");
    ASSERT_LT(done, static_cast<long>(order.size()));
    EXPECT_LT(pos("backup Shutting down thread "), stopping);
    EXPECT_LT(stopping, stopped);
    EXPECT_LT(stopped, done);
    EXPECT_TRUE(log.contains("Failed to load Backup plugin translations"));
}

TEST(ServiceStoreLocationTest, StoredChoiceIsUsedOnlyWhenFlagAndPathAreBothThere) {
    struct Case {
        const char* custom;  // null: not stored
        bool storePath;
        bool expectChosen;
    } cases[] = {
        {nullptr, false, false}, {nullptr, true, false}, {"NONE", true, false},
        {"TRUE", false, false},  {"TRUE", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.custom ? c.custom : "(absent)") + (c.storePath ? " +path" : ""));
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

TEST(ServiceSuspendedTest, UnreadableDatabaseSuspendsTheServiceAndStopIsHarmless) {
    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    TestSupport::writeFile(profile.databasePath(), std::string(4096, 'x'));
    ServiceHarness harness;

    EXPECT_FALSE(harness.service().database()->isValid());
    EXPECT_FALSE(harness.start());
    EXPECT_FALSE(harness.dispatcher().isRegistered("backup"));
    auto lines =
        log.find("Failed to initialize Backup Database! Backup application will be suspended");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(Poco::Message::PRIO_ERROR, lines[0].priority);

    auto activities = Orvana::HostKit::HostControl::activities();
    ASSERT_EQ(1u, activities.size());
    EXPECT_EQ(3, activities[0].getLevel());
    EXPECT_EQ(4, activities[0].getSource());
    EXPECT_EQ("Orvana Backup suspended because application Database could not be initialized!",
              activities[0].getText());

    // Shutdown after the refused start has nothing to undo and sends nothing.
    EXPECT_TRUE(harness.service().shutdown());
    EXPECT_TRUE(harness.recorder().messages().empty());
}

TEST_F(ServiceLifecycleTest, RequestQueuedWhileLoggedOutIsDroppedNotDeferred) {
    ASSERT_TRUE(harness.start());
    harness.drain();
    Orvana::HostKit::HostControl::setLoggedIn(false);
    auto early = ServiceHarness::webRequest("getdefaultstorelocation");
    harness.send(early);
    ASSERT_TRUE(
        TestSupport::waitForLogLine(log, "backup : No profile logged in. Ignoring requests"));
    Orvana::HostKit::HostControl::setLoggedIn(true);
    harness.drain();
    EXPECT_TRUE(harness.repliesTo(early).empty());
}

TEST(ServiceDestructionTest, DestroyingARunningServiceJoinsItsThread) {
    // A host that deletes the service without shutdown: the destructor must
    // join the service thread before the object goes (sanitizer builds catch
    // a thread left running on freed memory).
    TestSupport::TestProfile profile;
    Orvana::System::MessageDispatcher dispatcher;
    Orvana::HostKit::MessageRecorder recorder;
    dispatcher.setSink([&](const MessagePtr& m) { recorder.record(m); });
    auto* service = new Orvana::Backup::BackupPlugin;
    service->init("/nonexistent/");
    ASSERT_TRUE(service->startup(&dispatcher));
    auto request = ServiceHarness::webRequest("getdefaultstorelocation");
    dispatcher.sendMessage(request);
    ASSERT_TRUE(
        recorder.waitForReply(ServiceHarness::tokenOf(request), ServiceHarness::kReplyTimeoutMs));
    dispatcher.unRegisterMessageHandler(service);
    delete service;
}

}  // namespace
