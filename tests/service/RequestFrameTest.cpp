// The frame around every web request: refusals and their order, unregistered
// operations, the reply's envelope, and exactly one reply per request.

#include "hostapi/HTTP.h"
#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

#include <gtest/gtest.h>

namespace {

using Orvana::Misc::HTTP;
using TestSupport::ServiceHarness;
using MessagePtr = ServiceHarness::MessagePtr;

class RequestFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // Sends and returns the one reply's body; fails the test on none or more.
    std::string onlyReply(const MessagePtr& request) {
        harness.send(request);
        MessagePtr reply = harness.waitReply(request);
        if (!reply) {
            ADD_FAILURE() << "no reply to " << request->getOperation();
            return "";
        }
        harness.drain();
        EXPECT_EQ(1u, harness.repliesTo(request).size());
        return reply->getRawData();
    }

    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    ServiceHarness harness;
};

TEST_F(RequestFrameTest, RefusalsComeInSourceRoleOrder) {
    const std::string badSource = HTTP::getXMLResult("Authentication Failed", false, "Bad Source");
    const std::string badRole = HTTP::getXMLResult("Authentication Failed", false, "Bad Role");
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 100)));
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 0)));
    EXPECT_EQ(badRole, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 70, 99)));
    EXPECT_EQ("<getallbackuprecs></getallbackuprecs>",
              onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 70, 100)));

    auto lines = log.find("Authentication Failed.", "backup");
    ASSERT_EQ(3u, lines.size());
    for (const auto& l : lines) EXPECT_EQ(Poco::Message::PRIO_ERROR, l.priority);

    // A refused request changes nothing.
    TestSupport::writeFile(profile.scratch("src") + "/f", "x");
    EXPECT_EQ(badRole,
              onlyReply(ServiceHarness::webRequest(
                  "setdefaultstorelocation", "storepath=" + profile.scratch("src"), 100, 99)));
    EXPECT_EQ("<backup><defaultstorelocation>" + profile.userDataDir() +
                  "/backup</defaultstorelocation></backup>",
              harness.request("getdefaultstorelocation"));
}

// The frame's own profile refusal sits behind the service thread's test,
// which drops a request while nobody is logged in (see the lifecycle tests):
// through the dispatcher such a request gets no reply at all.
TEST_F(RequestFrameTest, LoggedOutRequestGetsNoReply) {
    Orvana::HostKit::HostControl::setLoggedIn(false);
    auto request = ServiceHarness::webRequest("getallbackuprecs");
    harness.send(request);
    ASSERT_TRUE(TestSupport::waitForLogLine(log, "No profile logged in. Ignoring requests"));
    Orvana::HostKit::HostControl::setLoggedIn(true);
    harness.drain();
    EXPECT_TRUE(harness.repliesTo(request).empty());
}

TEST_F(RequestFrameTest, UnregisteredOperationsAreDroppedSilently) {
    auto unknown = ServiceHarness::webRequest("nosuchoperation");
    auto otherCase = ServiceHarness::webRequest("GetAllBackupRecs");
    harness.send(unknown);
    harness.send(otherCase);
    harness.drain();
    EXPECT_TRUE(harness.repliesTo(unknown).empty());
    EXPECT_TRUE(harness.repliesTo(otherCase).empty());
    EXPECT_FALSE(log.contains("Dropping Unhandled Message"));
}

TEST_F(RequestFrameTest, ReplyIsAnXmlSyncMessageCarryingTheToken) {
    auto request = ServiceHarness::webRequest("getallbackuprecs");
    (*request)["SyncProxyService"]["Token"] = "tok & <42> \xc3\xa9";
    harness.send(request);
    MessagePtr reply = harness.waitReply(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ("SyncProxyService", reply->getService());
    EXPECT_EQ("SYNC", reply->getOperation());
    EXPECT_EQ("backup", reply->getFromService());
    EXPECT_EQ(200, (*reply)["HTTPResponse"]["Status"].getInt());
    EXPECT_EQ("text/xml; charset=utf-8", (*reply)["HTTPResponse"]["ContentType"].getString());
    EXPECT_EQ("<getallbackuprecs></getallbackuprecs>", reply->getRawData());
}

TEST_F(RequestFrameTest, BadInputGetsOneDefaultFailureAndOneLogLine) {
    struct Case {
        const char* operation;
        const char* query;
    } cases[] = {
        {"synconerecord", "recid=%zz"},      // query string that does not parse
        {"stopbackup", ""},                  // required field missing
        {"stopbackup", "recid=1x"},          // not a whole number
        {"enablerecord", "recid="},          // empty number
        {"setdefaultstorelocation", "x=1"},  // required text missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + "?" + c.query);
        log.clear();
        EXPECT_EQ(HTTP::getXMLResult(c.operation, false, ""),
                  onlyReply(ServiceHarness::webRequest(c.operation, c.query)));
        EXPECT_EQ(1u, log.find(" Exception [", "backup").size());
    }
    // Nothing reached the activity log: stopbackup never ran its work.
    EXPECT_EQ("<getactivity></getactivity>", harness.request("getactivity"));
}

}  // namespace
