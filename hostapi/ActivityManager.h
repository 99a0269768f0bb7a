#pragma once
// ActivityManager: the host's activity feed. activityAdd hands the entry to
// the feed installed through HostControl (the host program logs it) and keeps
// it for HostControl::activities(). Thread-safe.

#include "hostapi/Activity.h"

namespace Orvana {
namespace API {

class ActivityManager {
public:
    static void activityAdd(const Orvana::Data::Activity& activity);
};

}  // namespace API
}  // namespace Orvana
