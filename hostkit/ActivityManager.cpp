#include "hostapi/ActivityManager.h"

#include "hostkit/HostState.h"

namespace Orvana {
namespace API {

using Orvana::HostKit::HostState;

void ActivityManager::activityAdd(const Orvana::Data::Activity& activity) {
    Orvana::HostKit::HostControl::ActivityFeed feed;
    {
        Orvana::Util::CheckedLock lock(HostState::instance().mutex);
        HostState::instance().activities.push_back(activity);
        feed = HostState::instance().feed;
    }
    // Outside the lock: the feed may log or call back into the host.
    if (feed) feed(activity);
}

}  // namespace API
}  // namespace Orvana
