// BackupDB: the backup record store (table BACKUP_RECORDS).

#include <Poco/Logger.h>

#include "db/BackupDB.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

void BackupDB::readBackupRecord(wxSQLite3ResultSet& rs, BACKUP_RECORD& record) {
    record.id = rs.GetInt("ID", 0);
    record.targetPeerId = rs.GetStdString("TARGETPEERID");
    record.isFile = rs.GetInt("ISFILE", 0) != 0;
    record.localPath = rs.GetStdString("LOCALPATH");
    record.remotePath = rs.GetStdString("REMOTEPATH");
    record.groupId = rs.GetStdString("GROUPID");
    record.frequency = rs.GetInt("FREQUENCY", 0);
    record.backupTime = rs.GetInt("BACKUPTIME", 0);
    record.backupDay = rs.GetInt("BACKUPDAY", 0);
    record.enabled = rs.GetInt("ENABLED", 0) != 0;
    record.lastSuccessTime = timeFromColumn(rs.GetInt64("LASTSUCCESSTIME", 0));
    record.lastAttemptTime = timeFromColumn(rs.GetInt64("LASTATTEMPTTIME", 0));
    record.size = rs.GetInt64("SIZE", 0);
}

bool BackupDB::addBackupRecord(const std::string& targetPeerId, const int& isFile,
                               const int& enabled, const std::string& localPath,
                               const std::string& remotePath, const std::string& groupId,
                               const int& frequency, const int& backupTime, const int& backupDay,
                               int& newId) {
    if (!isOpen()) return false;
    const std::string peer = Orvana::Util::sanitizeString(targetPeerId, true);
    wxSQLite3StatementBuffer sql;
    if (!execute(sql.Format(
            "insert into BACKUP_RECORDS (TARGETPEERID, ISFILE, ENABLED, LOCALPATH, REMOTEPATH, "
            "GROUPID, FREQUENCY, BACKUPTIME, BACKUPDAY, LASTSUCCESSTIME, LASTATTEMPTTIME) values "
            "('%q', '%d', '%d', '%q', '%q', '%q', '%d', '%d', '%d', 0, 0);",
            peer.c_str(), isFile, enabled, localPath.c_str(), remotePath.c_str(), groupId.c_str(),
            frequency, backupTime, backupDay)))
        return false;
    newId = static_cast<int>(m_db->GetLastRowId());
    return true;
}

bool BackupDB::deleteBackupRecord(const int& id) {
    wxSQLite3StatementBuffer sql;
    if (!execute(sql.Format("delete from BACKUP_RECORDS where ID = '%d';", id))) return false;
    // Leftover settings would be harmless (ids are not reused) but are clutter.
    deleteRecordSettings(id);
    return true;
}

bool BackupDB::enableBackupRecord(const int& id) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("UPDATE BACKUP_RECORDS SET ENABLED='1' where ID='%d';", id));
}

bool BackupDB::disableBackupRecord(const int& id) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("UPDATE BACKUP_RECORDS SET ENABLED='0' where ID='%d';", id));
}

bool BackupDB::setLastSuccessTime(const int& id, const Poco::Int64& time) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("UPDATE BACKUP_RECORDS SET LASTSUCCESSTIME='%lld' where ID='%d';",
                              ll(time), id));
}

bool BackupDB::setRecordSize(const int& id, const Poco::Int64& size) {
    wxSQLite3StatementBuffer sql;
    return execute(
        sql.Format("UPDATE BACKUP_RECORDS SET SIZE='%lld' where ID='%d';", ll(size), id));
}

bool BackupDB::setLastAttemptTime(const int& id, const Poco::Int64& time) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("UPDATE BACKUP_RECORDS SET LASTATTEMPTTIME='%lld' where ID='%d';",
                              ll(time), id));
}

bool BackupDB::setSchedule(const int& id, const int& frequency, const int& backupTime,
                           const int& backupDay) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format(
        "UPDATE BACKUP_RECORDS SET  FREQUENCY='%d', BACKUPTIME='%d', BACKUPDAY='%d' where ID='%d';",
        frequency, backupTime, backupDay, id));
}

bool BackupDB::setRemotePath(const int& id, const std::string& remotePath) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("UPDATE BACKUP_RECORDS SET  REMOTEPATH='%q' where ID='%d';",
                              remotePath.c_str(), id));
}

bool BackupDB::getAllBackupRecords(std::vector<BackupRecordPtr>& records) {
    records.clear();
    return readRows("select * from BACKUP_RECORDS ORDER BY ID DESC;",
                    appendEach(records, readBackupRecord));
}

bool BackupDB::getBackupRecord(const int& id, BACKUP_RECORD& record) {
    wxSQLite3StatementBuffer sql;
    return readFirstRow(sql.Format("select * from BACKUP_RECORDS where ID='%d';", id),
                        [&](wxSQLite3ResultSet& rs) {
                            // Read into a copy so a failure half way leaves the
                            // caller's record as it was.
                            BACKUP_RECORD read = record;
                            readBackupRecord(rs, read);
                            record = read;
                        });
}

BackupDB::BackupRecordPtr BackupDB::findBackupRecord(const int& id) {
    BackupRecordPtr record(new BACKUP_RECORD);
    bool found = false;
    wxSQLite3StatementBuffer sql;
    if (!readFirstRow(
            sql.Format("select * from BACKUP_RECORDS where ID='%d';", id),
            [&](wxSQLite3ResultSet& rs) { readBackupRecord(rs, *record); }, &found) ||
        !found)
        return BackupRecordPtr();
    return record;
}

bool BackupDB::getLocalPath(const int& id, std::string& localPath) {
    // No such record still counts as a successful read.
    wxSQLite3StatementBuffer sql;
    return readFirstRow(sql.Format("select LOCALPATH from BACKUP_RECORDS where ID='%d';", id),
                        [&](wxSQLite3ResultSet& rs) { localPath = rs.GetStdString("LOCALPATH"); });
}

bool BackupDB::getRemotePath(const int& id, std::string& remotePath) {
    // No such record still counts as a successful read.
    wxSQLite3StatementBuffer sql;
    return readFirstRow(
        sql.Format("select REMOTEPATH from BACKUP_RECORDS where ID='%d';", id),
        [&](wxSQLite3ResultSet& rs) { remotePath = rs.GetStdString("REMOTEPATH"); });
}

bool BackupDB::getTargetPeers(std::vector<std::string>& peers) {
    peers.clear();
    return readRows(
        "select DISTINCT TARGETPEERID from BACKUP_RECORDS;",
        [&](wxSQLite3ResultSet& rs) { peers.push_back(rs.GetStdString("TARGETPEERID")); });
}

bool BackupDB::getRecordsForPeer(const std::string& peerId, std::vector<BackupRecordPtr>& records,
                                 bool onlyEnabled) {
    records.clear();
    wxSQLite3StatementBuffer sql;
    return readRows(
        sql.Format("select * from BACKUP_RECORDS where TARGETPEERID='%q';", peerId.c_str()),
        [&](wxSQLite3ResultSet& rs) {
            if (onlyEnabled && rs.GetInt("ENABLED", 0) != 1) return;
            BackupRecordPtr record(new BACKUP_RECORD);
            readBackupRecord(rs, *record);
            logger().trace("Target Peer [" + peerId + "]: Adding Resource [" + record->localPath +
                           "]");
            records.push_back(record);
        });
}

}  // namespace Backup
}  // namespace Orvana
