#include "hostapi/ProfileManager.h"

#include "hostkit/HostState.h"

namespace Orvana {
namespace API {

using Orvana::HostKit::HostState;

bool ProfileManager::isProfileLoggedIn() {
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    return HostState::instance().loggedIn;
}

std::string ProfileManager::getProfileUserDataDir() {
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    return HostState::instance().userDataDir;
}

std::string ProfileManager::getProfileRootDir() {
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    return HostState::instance().rootDir;
}

Orvana::Data::PeerID ProfileManager::getPeerID() {
    Orvana::Util::CheckedLock lock(HostState::instance().mutex);
    return HostState::instance().peer;
}

}  // namespace API
}  // namespace Orvana
