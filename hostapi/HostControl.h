#pragma once
// HostControl: how the embedding program (the host, or a test) sets up the
// host state that the plug-in reads through ProfileManager, GroupManager,
// ActivityManager and PoManager. Process-wide; thread-safe.

#include "hostapi/Activity.h"
#include "hostapi/Group.h"
#include "hostapi/PeerID.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>
#include <vector>

namespace Orvana {
namespace HostKit {

class HostControl {
public:
    typedef std::function<void(const Orvana::Data::Activity&)> ActivityFeed;

    static void setLoggedIn(bool loggedIn);
    static void setProfileRootDir(const std::string& dir);
    static void setProfileUserDataDir(const std::string& dir);
    static void setPeerID(const Orvana::Data::PeerID& peer);
    static void setGroups(const std::vector<boost::shared_ptr<Orvana::Data::Group>>& groups);
    static void setLanguage(const std::string& language);  // PoManager's language
    static void setActivityFeed(ActivityFeed feed);
    static std::vector<Orvana::Data::Activity> activities();  // every entry added so far
    // Back to the initial state: logged out, empty directories and peer, no
    // groups, language "en", no feed, no activities.
    static void reset();
};

}  // namespace HostKit
}  // namespace Orvana
