// BackupPlugin's activity and store location requests.

#include "service/BackupMain.h"

#include "hostapi/HTTP.h"
#include "requests/RequestText.h"

#include <Poco/File.h>

#include <sstream>

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;

void BackupPlugin::onGetActivity(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetActivity",
                     &BackupPlugin::getActivityBody);
}

void BackupPlugin::getActivityBody(WebRequest& request) {
    std::vector<BackupDB::ActivityRecordPtr> activities;
    if (!m_pDB->getActivities(activities)) return;
    std::ostringstream doc;
    doc << "<getactivity>";
    for (const auto& a : activities) {
        doc << "<activity><recid>" << a->recId << "</recid><severity>" << a->severity
            << "</severity><text>" << RequestText::xmlEscape(a->activityText)
            << "</text></activity>";
    }
    doc << "</getactivity>";
    request.reply = doc.str();
}

void BackupPlugin::onGetDefaultStoreLocation(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onGetDefaultStoreLocation",
                     &BackupPlugin::getDefaultStoreLocationBody);
}

void BackupPlugin::getDefaultStoreLocationBody(WebRequest& request) {
    request.reply = "<backup><defaultstorelocation>" +
                    RequestText::xmlEscape(m_defaultStoreLocation) +
                    "</defaultstorelocation></backup>";
}

void BackupPlugin::onSetDefaultStoreLocation(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onSetDefaultStoreLocation",
                     &BackupPlugin::setDefaultStoreLocationBody);
}

void BackupPlugin::setDefaultStoreLocationBody(WebRequest& request) {
    static const char* const op = "setdefaultstorelocation";
    const std::string path = request.form["storepath"];
    // An empty path names nothing (and Poco::File refuses to test it).
    if (path.empty() || !Poco::File(path).exists()) {
        request.reply = HTTP::getXMLResult(
            op, false, RequestText::tr("Store location does not exist. Request rejected"));
        return;
    }
    m_pDB->setConfigValue(m_name, "BACKUP_DEF_STORE_KEY", path);
    m_defaultStoreLocation = path;
    m_pDB->setConfigValue(m_name, "CUSTOM_DIR_SET", "TRUE");
    request.reply = HTTP::getXMLResult(op, true, "");
}

}  // namespace Backup
}  // namespace Orvana
