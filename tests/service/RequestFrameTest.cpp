// The frame around every web request: refusals and their order, unregistered
// operations, the reply's envelope, and exactly one reply per request.

#include <Poco/Timestamp.h>
#include <gtest/gtest.h>

#include "hostapi/HTTP.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

namespace {

using Orvana::Misc::HTTP;
using TestSupport::ServiceHarness;
using MessagePtr = ServiceHarness::MessagePtr;

class RequestFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    // The body of the request's one reply ("" and a failure when not one).
    std::string onlyReply(const MessagePtr& request) {
        harness.send(request);
        harness.drain();
        auto replies = harness.repliesTo(request);
        EXPECT_EQ(1u, replies.size()) << request->getOperation();
        return replies.empty() ? "" : replies[0]->getRawData();
    }

    TestSupport::TestProfile profile;
    ServiceHarness harness;
};

TEST_F(RequestFrameTest, SourceIsRefusedBeforeRole) {
    const std::string badSource = HTTP::getXMLResult("Authentication Failed", false, "Bad Source");
    const std::string badRole = HTTP::getXMLResult("Authentication Failed", false, "Bad Role");
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 100)));
    EXPECT_EQ(badSource, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 69, 0)));
    EXPECT_EQ(badRole, onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 70, 99)));
    EXPECT_EQ("<getallbackuprecs></getallbackuprecs>",
              onlyReply(ServiceHarness::webRequest("getallbackuprecs", "", 70, 100)));
}

TEST_F(RequestFrameTest, ReplyIsAnXmlSyncMessageCarryingTheToken) {
    auto request = ServiceHarness::webRequest("getallbackuprecs");
    (*request)["SyncProxyService"]["Token"] = "tok & <42> \xc3\xa9";
    harness.send(request);
    MessagePtr reply = harness.waitReply(request);
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
