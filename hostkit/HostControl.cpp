#include "hostapi/HostControl.h"

#include "hostapi/PoManager.h"
#include "hostkit/HostState.h"

namespace Orvana {
namespace HostKit {

HostState& HostState::instance() {
    // Never destroyed: workers may still read it while the process exits.
    static HostState* state = new HostState;
    return *state;
}

namespace {
HostState& state() { return HostState::instance(); }
}  // namespace

void HostControl::setLoggedIn(bool loggedIn) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().loggedIn = loggedIn;
}

void HostControl::setProfileRootDir(const std::string& dir) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().rootDir = dir;
}

void HostControl::setProfileUserDataDir(const std::string& dir) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().userDataDir = dir;
}

void HostControl::setPeerID(const Orvana::Data::PeerID& peer) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().peer = peer;
}

void HostControl::setGroups(const std::vector<boost::shared_ptr<Orvana::Data::Group>>& groups) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().groups = groups;
}

void HostControl::setLanguage(const std::string& language) {
    Orvana::PoManager().setLanguage(language);
}

void HostControl::setActivityFeed(ActivityFeed feed) {
    Orvana::Util::CheckedLock lock(state().mutex);
    state().feed = feed;
}

std::vector<Orvana::Data::Activity> HostControl::activities() {
    Orvana::Util::CheckedLock lock(state().mutex);
    return state().activities;
}

void HostControl::reset() {
    {
        Orvana::Util::CheckedLock lock(state().mutex);
        state().loggedIn = false;
        state().rootDir.clear();
        state().userDataDir.clear();
        state().peer = Orvana::Data::PeerID();
        state().groups.clear();
        state().feed = ActivityFeed();
        state().activities.clear();
    }
    Orvana::PoManager().setLanguage("en");
    setPeerConnector(PeerConnector());
    setPeerProbe(PeerProbe());
    Orvana::API::PeerLink::setHandler(Orvana::API::PeerLink::Handler());
}

}  // namespace HostKit
}  // namespace Orvana
