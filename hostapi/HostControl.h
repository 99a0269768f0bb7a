#pragma once
// HostControl: how the embedding program (the host, or a test) sets up the
// host state that the plug-in reads through ProfileManager, GroupManager,
// ActivityManager and PoManager. Process-wide; thread-safe.

#include "hostapi/Activity.h"
#include "hostapi/Group.h"
#include "hostapi/PeerID.h"
#include "hostapi/PeerLink.h"

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

    // The host's side of PeerLink. The connector carries one exchange to a
    // peer (throwing PeerUnreachableException); the probe answers
    // PeerLink::reachable. Without them every peer is unreachable.
    typedef std::function<Orvana::API::PeerFrame(const Orvana::Data::PeerID& peer,
                                                 const Orvana::API::PeerFrame& request,
                                                 int timeoutSeconds)>
        PeerConnector;
    typedef std::function<bool(const Orvana::Data::PeerID& peer)> PeerProbe;
    static void setPeerConnector(PeerConnector connector);
    static void setPeerProbe(PeerProbe probe);
    // Hands a request that came from a peer to the plug-in's handler. Without
    // a handler the reply carries the field "error" = "no backup service".
    static Orvana::API::PeerFrame deliverPeerRequest(const Orvana::Data::PeerID& from,
                                                     const Orvana::API::PeerFrame& request);
    // Back to the initial state: logged out, empty directories and peer, no
    // groups, language "en", no feed, no activities, no peer connector,
    // probe or handler.
    static void reset();
};

}  // namespace HostKit
}  // namespace Orvana
