#include "hostapi/UserManager.h"

namespace Orvana {

API::UserManager& UserManager() {
    // Stateless (the profile manager reads the shared host state); never destroyed.
    static API::UserManager* instance = new API::UserManager;
    return *instance;
}

}  // namespace Orvana
