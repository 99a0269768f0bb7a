#pragma once
// UserManager: the host's user manager; the plug-in uses only its profile
// manager. Orvana::UserManager() returns the process-wide instance.

#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace API {

class UserManager {
public:
    ProfileManager& getProfileManager() { return m_profileManager; }

private:
    ProfileManager m_profileManager;
};

}  // namespace API

API::UserManager& UserManager();

}  // namespace Orvana
