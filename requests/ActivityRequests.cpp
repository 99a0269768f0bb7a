// BackupPlugin's activity and store location requests.

#include "service/BackupMain.h"

#include "engine/PathRules.h"
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
    auto fail = [&](const std::string& text) {
        request.reply = HTTP::getXMLResult(op, false, RequestText::tr(text));
    };
    // The file system would see the path up to a NUL byte, SQL all of it.
    if (RequestText::hasNulByte(path)) return fail("Path contains an invalid character");
    // An empty path names nothing (and Poco::File refuses to test it).
    if (path.empty()) return fail("Store location does not exist. Request rejected");
    // The page offers this location as a local record's store, which must be
    // absolute; a relative one would also depend on the host's working folder.
    if (!PathRules::isAbsolute(path)) return fail("Store location must be an absolute path");
    if (!Poco::File(path).exists()) return fail("Store location does not exist. Request rejected");

    // The location in use changes only once both values are stored, so that
    // a restart finds what the reply said. If the second write fails, the
    // first is put back as it was (where it existed: without "CUSTOM_DIR_SET"
    // a stored key is not read at start anyway).
    const bool hadKey = m_pDB->doesConfigExist(m_name, "BACKUP_DEF_STORE_KEY");
    const std::string oldKey = m_pDB->getConfigValue(m_name, "BACKUP_DEF_STORE_KEY", "");
    if (!m_pDB->setConfigValue(m_name, "BACKUP_DEF_STORE_KEY", path))
        return fail("Store location could not be saved");
    if (!m_pDB->setConfigValue(m_name, "CUSTOM_DIR_SET", "TRUE")) {
        if (hadKey) m_pDB->setConfigValue(m_name, "BACKUP_DEF_STORE_KEY", oldKey);
        return fail("Store location could not be saved");
    }
    m_defaultStoreLocation = path;
    request.reply = HTTP::getXMLResult(op, true, "");
}

}  // namespace Backup
}  // namespace Orvana
