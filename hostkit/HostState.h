#pragma once
// HostState: the process-wide host state behind ProfileManager, GroupManager,
// ActivityManager and HostControl. One instance (HostState::instance()), one
// mutex; every reader copies out under it. Internal to hostkit.

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#include "hostapi/Activity.h"
#include "hostapi/CheckedMutex.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"
#include "hostapi/PeerID.h"

namespace Orvana {
namespace HostKit {

struct HostState {
    static HostState& instance();

    Orvana::Util::CheckedMutex mutex;  // guards every member below
    bool loggedIn GUARDED_BY(mutex) = false;
    std::string rootDir GUARDED_BY(mutex);
    std::string userDataDir GUARDED_BY(mutex);
    Orvana::Data::PeerID peer GUARDED_BY(mutex);
    std::vector<boost::shared_ptr<Orvana::Data::Group>> groups GUARDED_BY(mutex);
    HostControl::ActivityFeed feed GUARDED_BY(mutex);
    std::vector<Orvana::Data::Activity> activities GUARDED_BY(mutex);
};

}  // namespace HostKit
}  // namespace Orvana
