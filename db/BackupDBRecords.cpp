// BackupDB: the backup record store (table BACKUP_RECORDS).

#include <Poco/Logger.h>

#include "db/BackupDB.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace {
long long ll(Poco::Int64 v) { return static_cast<long long>(v); }
}  // namespace

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
    try {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(sql.Format(
            "insert into BACKUP_RECORDS (TARGETPEERID, ISFILE, ENABLED, LOCALPATH, REMOTEPATH, "
            "GROUPID, FREQUENCY, BACKUPTIME, BACKUPDAY, LASTSUCCESSTIME, LASTATTEMPTTIME) values "
            "('%q', '%d', '%d', '%q', '%q', '%q', '%d', '%d', '%d', 0, 0);",
            peer.c_str(), isFile, enabled, localPath.c_str(), remotePath.c_str(), groupId.c_str(),
            frequency, backupTime, backupDay));
        newId = static_cast<int>(m_db->GetLastRowId());
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::deleteBackupRecord(const int& id) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from BACKUP_RECORDS where ID = '%d';", id));
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
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs =
            m_db->ExecuteQuery("select * from BACKUP_RECORDS ORDER BY ID DESC;");
        while (rs.NextRow()) {
            BackupRecordPtr record(new BACKUP_RECORD);
            readBackupRecord(rs, *record);
            records.push_back(record);
        }
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getBackupRecord(const int& id, BACKUP_RECORD& record) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs =
            m_db->ExecuteQuery(sql.Format("select * from BACKUP_RECORDS where ID='%d';", id));
        if (rs.NextRow()) {
            // Read into a copy so a failure half way leaves the caller's record as it was.
            BACKUP_RECORD read = record;
            readBackupRecord(rs, read);
            record = read;
        }
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getLocalPath(const int& id, std::string& localPath) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select LOCALPATH from BACKUP_RECORDS where ID='%d';", id));
        if (rs.NextRow()) localPath = rs.GetStdString("LOCALPATH");
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getRemotePath(const int& id, std::string& remotePath) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select REMOTEPATH from BACKUP_RECORDS where ID='%d';", id));
        if (rs.NextRow()) remotePath = rs.GetStdString("REMOTEPATH");
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getTargetPeers(std::vector<std::string>& peers) {
    peers.clear();
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs =
            m_db->ExecuteQuery("select DISTINCT TARGETPEERID from BACKUP_RECORDS;");
        while (rs.NextRow()) peers.push_back(rs.GetStdString("TARGETPEERID"));
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getRecordsForPeer(const std::string& peerId, std::vector<BackupRecordPtr>& records,
                                 bool onlyEnabled) {
    records.clear();
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_RECORDS where TARGETPEERID='%q';", peerId.c_str()));
        while (rs.NextRow()) {
            if (onlyEnabled && rs.GetInt("ENABLED", 0) != 1) continue;
            BackupRecordPtr record(new BACKUP_RECORD);
            readBackupRecord(rs, *record);
            Poco::Logger::get("Backup").trace("Target Peer [" + peerId + "]: Adding Resource [" +
                                              record->localPath + "]");
            records.push_back(record);
        }
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

}  // namespace Backup
}  // namespace Orvana
