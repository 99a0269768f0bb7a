// Host events: the store location follows the user data directory unless the
// user chose one; other events and weakly authenticated ones change nothing.

#include "hostapi/HostControl.h"
#include "support/LogCapture.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

#include <Poco/File.h>
#include <gtest/gtest.h>

namespace {

using TestSupport::ServiceHarness;

class HostEventsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.start()); }

    std::string location() {
        const std::string doc = harness.request("getdefaultstorelocation");
        const std::string open = "<backup><defaultstorelocation>";
        const std::string close = "</defaultstorelocation></backup>";
        if (doc.compare(0, open.size(), open) != 0) return "<bad: " + doc + ">";
        return doc.substr(open.size(), doc.size() - open.size() - close.size());
    }
    void sendEvent(const std::string& name, int source = 100, int role = 100) {
        harness.send(ServiceHarness::eventMessage(name, source, role));
        harness.drain();
    }

    TestSupport::TestProfile profile;
    TestSupport::LogCapture log;
    ServiceHarness harness;
};

TEST_F(HostEventsTest, UserDataDirChangeMovesTheDefaultLocationAndCreatesIt) {
    const std::string newData = profile.scratch("moved");
    Orvana::HostKit::HostControl::setProfileUserDataDir(newData);
    sendEvent("USER_DATA_DIR_CHANGED");
    EXPECT_EQ(newData + "/backup", location());
    EXPECT_TRUE(Poco::File(newData + "/backup").isDirectory());
    EXPECT_TRUE(
        log.contains("Orvana::Backup::BackupPlugin::onEventMessage:USER_DATA_DIR_CHANGED "
                     "received. Store location changed to " +
                     newData + "/backup"));

    // Again, with the folder already there: the location still follows.
    const std::string again = profile.scratch("again");
    Poco::File(again + "/backup").createDirectories();
    Orvana::HostKit::HostControl::setProfileUserDataDir(again);
    sendEvent("USER_DATA_DIR_CHANGED");
    EXPECT_EQ(again + "/backup", location());
}

TEST_F(HostEventsTest, UserDataDirChangeLeavesAChosenLocationAlone) {
    const std::string chosen = profile.scratch("chosen");
    ASSERT_NE(std::string::npos,
              harness.request("setdefaultstorelocation", "storepath=" + chosen).find("true"));
    const std::string newData = profile.scratch("moved");
    Orvana::HostKit::HostControl::setProfileUserDataDir(newData);
    sendEvent("USER_DATA_DIR_CHANGED");
    EXPECT_EQ(chosen, location());
    EXPECT_FALSE(Poco::File(newData + "/backup").exists());
    EXPECT_TRUE(
        log.contains(":USER_DATA_DIR_CHANGED ignored. User has set a custom store directory "));
}

TEST_F(HostEventsTest, OtherOrWeakEventsChangeNothingAndGetNoReply) {
    const std::string before = location();
    const std::string newData = profile.scratch("moved");
    Orvana::HostKit::HostControl::setProfileUserDataDir(newData);
    harness.recorder().clear();
    log.clear();

    sendEvent("PEER_DISCONNECT");
    sendEvent("USER_DATA_DIR_CHANGED", 99, 100);
    sendEvent("USER_DATA_DIR_CHANGED", 100, 99);
    EXPECT_EQ(before, location());
    EXPECT_FALSE(Poco::File(newData + "/backup").exists());
    EXPECT_EQ(1u, log.find("Invalid auth source: Authentication Failed.", "backup").size());
    EXPECT_EQ(1u, log.find("Invalid auth role: Authentication Failed.", "backup").size());
    EXPECT_TRUE(log.find("USER_DATA_DIR_CHANGED").empty());
    // Only the replies to the drains went out.
    for (const auto& m : harness.recorder().messages())
        EXPECT_EQ("SyncProxyService", m->getService());
}

}  // namespace
