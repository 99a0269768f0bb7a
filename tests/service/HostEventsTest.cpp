// Host events: the store location follows the user data directory unless the
// user chose one; other events and weakly authenticated ones change nothing.

#include <Poco/File.h>
#include <gtest/gtest.h>

#include "hostapi/HostControl.h"
#include "support/ServiceHarness.h"
#include "support/TestProfile.h"

namespace {

using Orvana::HostKit::HostControl;
using TestSupport::ServiceHarness;

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
