// BackupPlugin's host event handler: the store location follows the user
// data directory unless the user chose one.

#include "service/BackupMain.h"

#include "hostapi/BackupLog.h"
#include "hostapi/ProfileManager.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

namespace Orvana {
namespace Backup {

using Orvana::Data::AuthKey;

void BackupPlugin::onEventMessage(const void*, MessagePtr& message) {
    static const char* const fn = "Orvana::Backup::BackupPlugin::onEventMessage";
    Orvana::Util::BackupLog ls;
    if (!isFromHost(message, ls)) return;
    const std::string event = (*message)["EVENT"]["EVENT_NAME"].getString();
    if (event != "USER_DATA_DIR_CHANGED") return;

    const std::string location =
        Orvana::API::ProfileManager::getProfileUserDataDir() + Poco::Path::separator() + m_name;
    if (m_pDB->getConfigValue(m_name, "CUSTOM_DIR_SET", "NONE") != "NONE") {
        ls.trace() << fn << ":USER_DATA_DIR_CHANGED ignored. User has set a custom store directory "
                   << std::endl;
        return;
    }
    Poco::File dir(location);
    if (!dir.exists()) dir.createDirectories();
    if (!dir.exists()) {
        ls.error() << "Failed creating backup data directory!" << std::endl;
        return;
    }
    ls.trace() << fn << ":USER_DATA_DIR_CHANGED received. Store location changed to " << location
               << std::endl;
    m_defaultStoreLocation = location;
}

}  // namespace Backup
}  // namespace Orvana
