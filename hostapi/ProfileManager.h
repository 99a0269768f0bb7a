#pragma once
// ProfileManager: the logged-in profile as the host reports it. All state is
// process-wide and set by the embedding program (HostControl); every call is
// thread-safe and returns a copy. Directories are returned without a trailing
// separator; callers append it.

#include "hostapi/PeerID.h"

#include <string>

namespace Orvana {
namespace API {

class ProfileManager {
public:
    static bool isProfileLoggedIn();
    static std::string getProfileUserDataDir();
    static std::string getProfileRootDir();
    static Orvana::Data::PeerID getPeerID();  // this device's own peer
};

}  // namespace API
}  // namespace Orvana
