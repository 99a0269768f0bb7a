// BackupPlugin's backup control requests: back up one record or all now,
// stop a record's backup.

#include "engine/BackupProgressRegistry.h"
#include "service/BackupMain.h"

#include "hostapi/HTTP.h"
#include "requests/RequestText.h"

#include <boost/lexical_cast.hpp>

namespace Orvana {
namespace Backup {

using Orvana::Misc::HTTP;
using RequestText::tr;

void BackupPlugin::onSyncOneRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onSyncOneRecord",
                     &BackupPlugin::syncOneRecordBody);
}

void BackupPlugin::syncOneRecordBody(WebRequest& request) {
    const int id = boost::lexical_cast<int>(request.form["recid"]);
    const RecordPtr record = m_pDB->findBackupRecord(id);
    if (!record) return;

    // The record's last pass found the database unwritable: unless it can
    // be written again, a new pass would fail the same way, so say why now.
    const std::string unwritable = tr("The backup index could not be read or written");
    BackupDB::RUN_RECORD last;
    if (BackupProgressRegistry::instance().getLastRun(id, last) && last.reason == unwritable &&
        !m_pDB->setConfigValue(m_name, "WRITE_CHECK",
                               std::to_string(Poco::Timestamp().epochMicroseconds()))) {
        request.reply = HTTP::getXMLResult("synconerecord", false, unwritable);
        return;
    }

    request.log.trace() << request.label << " Initiating sync of path[" << record->localPath
                        << "] to peer[" << record->targetPeerId << "]" << std::endl;
    request.reply = HTTP::getXMLResult("synconerecord", true, "");
    replyNow(request);
    backupRecord(record);
}

void BackupPlugin::onSyncAllRecords(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onSyncAllRecords",
                     &BackupPlugin::syncAllRecordsBody);
}

void BackupPlugin::syncAllRecordsBody(WebRequest& request) {
    request.log.trace() << request.label << " Initiating backup for all records" << std::endl;
    doBackup();
    request.reply = HTTP::getXMLResult("syncallrecord", true, "");
}

void BackupPlugin::onStopBackupRecord(const void*, MessagePtr& message) {
    handleWebRequest(message, "Orvana::Backup::BackupPlugin::onStopBackupRecord",
                     &BackupPlugin::stopBackupRecordBody);
}

void BackupPlugin::stopBackupRecordBody(WebRequest& request) {
    const int id = boost::lexical_cast<int>(request.form["recid"]);
    stopBackupAction(id);
    m_pDB->addActivity(id, BackupDB::SEVERITY_PROBLEM,
                       RequestText::activityText("Action stopped on user request"));
    request.reply = HTTP::getXMLResult("stopbackup", true, "");
}

}  // namespace Backup
}  // namespace Orvana
