// The service as the host sees it: start and stop, the host's events, and the
// frame around every web request (refusals, envelope, one reply each).

#include <Poco/File.h>
#include <Poco/Timestamp.h>
#include <gtest/gtest.h>

#include "hostapi/HTTP.h"
#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"
#include "support/WaitUntil.h"
#include "support/XmlDocument.h"

namespace {

using namespace TestSupport;
using Orvana::HostKit::HostControl;
using Orvana::Misc::HTTP;
using MessagePtr = ServiceHarness::MessagePtr;

std::string field(const MessagePtr& m, const std::string& row, const std::string& name) {
    return (*m)[row][name].getString();
}

TEST(ServiceLifecycleTest, StartRegistersTimerAndEventsAndStopCancelsThemLast) {
    // The service thread starts the timer and subscribes on its own; a stop
    // sent before that would leave both running after the service is gone.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        TestProfile profile;
        ServiceHarness harness;
        ASSERT_TRUE(harness.start());
        EXPECT_TRUE(harness.dispatcher().isRegistered("backup"));
        ASSERT_TRUE(harness.stop());
        EXPECT_FALSE(harness.dispatcher().isRegistered("backup"));
        const auto sent = harness.recorder().messages();
        std::vector<std::string> operations;
        for (const MessagePtr& m : sent) operations.push_back(m->getOperation());
        ASSERT_EQ(
            (std::vector<std::string>{"START", "SUBSCRIBE", "SUBSCRIBE", "STOP", "UNSUBSCRIBEALL"}),
            operations);
        auto timer = [&](const char* name) { return field(sent[0], "TimerService", name); };
        EXPECT_EQ("BACKUP_PERIODIC_TIMER 60000 -1",
                  timer("Timer") + " " + timer("Interval") + " " + timer("Repeat"));
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
        TestProfile profile;
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
    TestProfile profile;
    writeFile(profile.databasePath(), std::string(4096, 'x'));
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

// A started service on a fresh profile.
class StartedService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }
    void sendEvent(const std::string& name, int source = 100, int role = 100) {
        harness.send(ServiceHarness::eventMessage(name, source, role));
    }
    std::string location() {
        const XmlDocument doc(harness.request("getdefaultstorelocation"));
        return doc.text("defaultstorelocation");
    }
    // The body of the request's one reply ("" and a failure when not one).
    std::string onlyReply(const MessagePtr& request) {
        harness.send(request);
        harness.drain();
        auto replies = harness.repliesTo(request);
        EXPECT_EQ(1u, replies.size()) << request->getOperation();
        return replies.empty() ? "" : replies[0]->getRawData();
    }

    TestProfile profile;
    ServiceHarness harness;
};
using HostEventsTest = StartedService;
using RequestFrameTest = StartedService;

TEST_F(RequestFrameTest, RequestQueuedWhileLoggedOutIsDroppedNotDeferred) {
    LogCapture log;
    HostControl::setLoggedIn(false);
    auto early = ServiceHarness::webRequest("getallbackuprecs");
    harness.send(early);
    ASSERT_TRUE(waitUntil(
        [&] { return log.contains("backup : No profile logged in. Ignoring requests"); }));
    HostControl::setLoggedIn(true);
    harness.drain();
    // The frame's own profile refusal sits behind this test of the service
    // thread, so through the dispatcher a logged-out request gets no reply.
    EXPECT_TRUE(harness.repliesTo(early).empty());
}

TEST_F(StartedService, DeletingItWhileRunningJoinsItsThread) {
    // Sanitizer builds catch a service thread left running on freed memory.
    harness.drain();
    harness.dispatcher().unRegisterMessageHandler(&harness.service());
    harness.forget();
}

TEST_F(HostEventsTest, UserDataDirChangeMovesTheDefaultLocationUnlessOneWasChosen) {
    const std::string before = location(), moved = profile.scratch("moved");
    HostControl::setProfileUserDataDir(moved);
    // Other events, or the change from a weak source or role: nothing moves, no reply.
    harness.recorder().clear();
    sendEvent("PEER_DISCONNECT");
    sendEvent("USER_DATA_DIR_CHANGED", 99, 100);
    sendEvent("USER_DATA_DIR_CHANGED", 100, 99);
    EXPECT_EQ(before, location());
    EXPECT_EQ(1u, harness.recorder().messages().size());  // the location reply only

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

// The answer is an XML SYNC message that carries the request's token, however odd.
TEST_F(RequestFrameTest, SourceIsRefusedBeforeRoleAndTheReplyCarriesTheToken) {
    const std::string badSource = HTTP::getXMLResult("Authentication Failed", false, "Bad Source");
    const std::string badRole = HTTP::getXMLResult("Authentication Failed", false, "Bad Role");
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 100)));
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 0)));
    EXPECT_EQ(badRole, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 70, 99)));
    auto request = ServiceHarness::webRequest("getallbackuprecs", "", 70, 100);
    (*request)["SyncProxyService"]["Token"] = "tok & <42> \xc3\xa9";
    EXPECT_EQ("<getallbackuprecs></getallbackuprecs>", onlyReply(request));
    const MessagePtr reply = harness.waitReply(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ("SYNC", reply->getOperation());
    EXPECT_EQ("backup", reply->getFromService());
    EXPECT_EQ(200, (*reply)["HTTPResponse"]["Status"].getInt());
    EXPECT_EQ("text/xml; charset=utf-8", (*reply)["HTTPResponse"]["ContentType"].getString());
}

// Names the page may not call are refused at once, not left to the host's
// timeout: unknown ones, other letter cases, and the host's own.
TEST_F(RequestFrameTest, UnknownOperationsAreRefusedAtOnce) {
    for (const char* name : {"nosuchoperation", "GetAllBackupRecs", "SYNCONERECORD", "TIMER",
                             "HOSTKIT_EVENT_NOTIFICATION", "timer", "", "a<b>&c"}) {
        SCOPED_TRACE(name);
        auto request = ServiceHarness::webRequest(name, "recid=1");
        const Poco::Timestamp sent;
        harness.send(request);
        MessagePtr reply = harness.waitReply(request, 1000);
        ASSERT_TRUE(reply);
        EXPECT_LT(sent.elapsed(), 1000000);
        EXPECT_EQ(HTTP::getXMLResult(name, false, "Unknown operation"), reply->getRawData());
    }
    // A registered name still reaches its handler.
    EXPECT_EQ("<getactivity></getactivity>", onlyReply(ServiceHarness::webRequest("getactivity")));
}

TEST_F(RequestFrameTest, BadInputGetsOneDefaultFailure) {
    const struct {
        const char* operation;
        const char* query;
    } cases[] = {
        {"synconerecord", "recid=%zz"},      // query string that does not parse
        {"stopbackup", ""},                  // required field missing
        {"stopbackup", "recid=1x"},          // not a whole number
        {"setdefaultstorelocation", "x=1"},  // required text missing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + "?" + c.query);
        EXPECT_EQ(HTTP::getXMLResult(c.operation, false, ""),
                  onlyReply(ServiceHarness::webRequest(c.operation, c.query)));
    }
    // stopbackup never got to its activity entry.
    EXPECT_EQ("<getactivity></getactivity>", harness.request("getactivity"));
}

}  // namespace
