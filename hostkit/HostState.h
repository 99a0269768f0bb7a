#pragma once
// HostState: the process-wide host state behind ProfileManager, GroupManager,
// ActivityManager and HostControl. One instance (HostState::instance()), one
// mutex; every reader copies out under it. Internal to hostkit.

#include <Poco/Mutex.h>

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#include "hostapi/Activity.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"

namespace Orvana {
namespace HostKit {

struct HostState {
    static HostState& instance();

    Poco::FastMutex mutex;  // guards every member below
    bool loggedIn = false;
    std::string rootDir;
    std::string userDataDir;
    Orvana::Data::PeerID peer;
    std::vector<boost::shared_ptr<Orvana::Data::Group>> groups;
    HostControl::ActivityFeed feed;
    std::vector<Orvana::Data::Activity> activities;
};

}  // namespace HostKit
}  // namespace Orvana
