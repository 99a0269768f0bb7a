#include <Poco/UUIDGenerator.h>
#include <gtest/gtest.h>

#include "hostapi/ActivityManager.h"
#include "hostapi/GroupManager.h"
#include "hostapi/HostControl.h"
#include "hostapi/PoManager.h"
#include "hostapi/ProfileManager.h"
#include "hostapi/UserManager.h"

using namespace Orvana;
using Orvana::Data::Group;
using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;

TEST(HostControl, SetsWhatTheManagersReportAndResets) {
    HostControl::reset();
    HostControl::setLoggedIn(true);
    HostControl::setProfileUserDataDir("/p/data");
    HostControl::setPeerID(PeerID("me@myhost"));
    EXPECT_TRUE(UserManager().getProfileManager().isProfileLoggedIn());
    EXPECT_EQ(PeerID("me@myhost"), API::ProfileManager::getPeerID());

    Poco::UUID home = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Poco::UUID work = Poco::UUIDGenerator::defaultGenerator().createRandom();
    HostControl::setGroups(
        {boost::shared_ptr<Group>(new Group(home, "Home", {PeerID("me@myhost"), PeerID("x@y")})),
         boost::shared_ptr<Group>(new Group(work, "Work", {PeerID("x@y")}))});
    std::vector<API::GroupManager::GroupPtr> groups(3);
    EXPECT_TRUE(API::GroupManager::groupCollectionGet(PeerID("ME@MYHOST"), groups));
    ASSERT_EQ(1u, groups.size());
    EXPECT_EQ("Home", groups[0]->getGroupName());
    EXPECT_TRUE(API::GroupManager::groupCollectionGet(PeerID("x@y"), groups));
    EXPECT_EQ(2u, groups.size());
    ASSERT_TRUE(API::GroupManager::groupGet(work));

    std::vector<std::string> fed;
    HostControl::setActivityFeed([&fed](const Data::Activity& a) {
        // The feed may call back into the host without deadlocking.
        fed.push_back(a.getText() + std::to_string(HostControl::activities().size()));
    });
    API::ActivityManager::activityAdd(Data::Activity(3, 4, "suspended"));
    EXPECT_EQ(std::vector<std::string>{"suspended1"}, fed);
    HostControl::setLanguage("de");  // reset restores "en"

    HostControl::reset();
    EXPECT_FALSE(API::ProfileManager::isProfileLoggedIn());
    EXPECT_EQ("", API::ProfileManager::getProfileUserDataDir());
    EXPECT_FALSE(API::GroupManager::groupGet(work));
    EXPECT_TRUE(HostControl::activities().empty());
    EXPECT_EQ("en", PoManager().getLanguage());
    API::ActivityManager::activityAdd(Data::Activity(1, 1, "after"));  // no feed any more
    EXPECT_EQ(1u, fed.size());
    HostControl::reset();
}
