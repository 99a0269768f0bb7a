// BackupDB: backups held here for source peers (BACKUP_INCOMING_RECORDS) and
// the files stored for them (BACKUP_STORED_FILES).

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

void BackupDB::readIncomingRecord(wxSQLite3ResultSet& rs, INC_RECORD& record) {
    record.id = rs.GetInt("ID", 0);
    record.remoteRecId = rs.GetInt("REMOTERECID", 0);
    record.groupId = rs.GetStdString("GROUPID");
    record.sourcePeerId = rs.GetStdString("SOURCEPEERID");
    record.sourceLocation = rs.GetStdString("SOURCELOCATION");
    record.storedLocation = rs.GetStdString("STOREDLOCATION");
    record.createTime = timeFromColumn(rs.GetInt64("CREATETIME", 0));
}

bool BackupDB::addIncomingRecord(const int& remoteRecId, const std::string& groupId,
                                 const std::string& sourcePeerId, const std::string& sourceLocation,
                                 const std::string& storedLocation, const Poco::Int64& createTime) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format(
        "insert into BACKUP_INCOMING_RECORDS (REMOTERECID, GROUPID, SOURCEPEERID, SOURCELOCATION, "
        "STOREDLOCATION, CREATETIME) values ('%d', '%q', '%q', '%q' , '%q', '%lld');",
        remoteRecId, groupId.c_str(), sourcePeerId.c_str(), sourceLocation.c_str(),
        storedLocation.c_str(), ll(createTime)));
}

bool BackupDB::incomingRecordExists(const int& remoteRecId, const std::string& sourcePeerId) {
    wxSQLite3StatementBuffer sql;
    return hasRow(
        sql.Format("select * from BACKUP_INCOMING_RECORDS WHERE REMOTERECID = '%d' and "
                   "SOURCEPEERID='%q';",
                   remoteRecId, sourcePeerId.c_str()));
}

bool BackupDB::getIncomingRecordId(const int& remoteRecId, const std::string& sourcePeerId,
                                   int& id) {
    wxSQLite3StatementBuffer sql;
    return findInt(sql.Format("select * from BACKUP_INCOMING_RECORDS  where REMOTERECID='%d' and "
                              "SOURCEPEERID='%q';",
                              remoteRecId, sourcePeerId.c_str()),
                   "ID", id);
}

bool BackupDB::getIncomingRecord(const int& remoteRecId, const std::string& sourcePeerId,
                                 INC_RECORD& record) {
    wxSQLite3StatementBuffer sql;
    return readFirstRow(sql.Format("select * from BACKUP_INCOMING_RECORDS WHERE REMOTERECID = '%d' "
                                   "AND SOURCEPEERID = '%q';",
                                   remoteRecId, sourcePeerId.c_str()),
                        [&](wxSQLite3ResultSet& rs) { readIncomingRecord(rs, record); });
}

bool BackupDB::getIncomingRecords(std::vector<IncRecordPtr>& records) {
    records.clear();
    return readRows("select * from BACKUP_INCOMING_RECORDS ORDER BY ID DESC;",
                    appendEach(records, readIncomingRecord));
}

bool BackupDB::getIncomingRecordsForPeer(const std::string& sourcePeerId,
                                         std::vector<IncRecordPtr>& records) {
    records.clear();
    wxSQLite3StatementBuffer sql;
    return readRows(sql.Format("select * from BACKUP_INCOMING_RECORDS where SOURCEPEERID='%q';",
                               sourcePeerId.c_str()),
                    appendEach(records, readIncomingRecord));
}

bool BackupDB::setIncomingStoredLocation(const int& remoteRecId,
                                         const std::string& storedLocation) {
    wxSQLite3StatementBuffer sql;
    return execute(
        sql.Format("UPDATE BACKUP_INCOMING_RECORDS SET STOREDLOCATION='%q' where REMOTERECID='%d';",
                   storedLocation.c_str(), remoteRecId));
}

bool BackupDB::deleteIncomingRecord(const int& id) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from BACKUP_INCOMING_RECORDS where ID = '%d';", id));
}

bool BackupDB::canUseStoredLocation(const std::string& sourceLocation,
                                    const std::string& storedLocation,
                                    const std::string& sourcePeerId) {
    // Free, or already holding this source's backup.
    bool usable = true;
    wxSQLite3StatementBuffer sql;
    return readFirstRow(
               sql.Format("Select * from BACKUP_INCOMING_RECORDS where STOREDLOCATION='%q';",
                          storedLocation.c_str()),
               [&](wxSQLite3ResultSet& rs) {
                   usable = rs.GetStdString("SOURCELOCATION") == sourceLocation &&
                            rs.GetStdString("SOURCEPEERID") == sourcePeerId;
               }) &&
           usable;
}

bool BackupDB::updateStoredFile(const int& remoteRecId, const std::string& remotePeer,
                                const int& localRecId, const int& sourceFileId,
                                const std::string& storedLocation, const std::string& checksum) {
    wxSQLite3StatementBuffer sql;
    bool found = false;
    if (!readFirstRow(sql.Format("select * from BACKUP_STORED_FILES where REMOTEPEER = '%q' and "
                                 "REMOTERECID='%d' and SOURCEFILEID='%d';",
                                 remotePeer.c_str(), remoteRecId, sourceFileId),
                      RowReader(), &found))
        return false;
    if (found) {
        return execute(
            sql.Format("update BACKUP_STORED_FILES set STOREDLOCATION='%q', CHECKSUM='%q' where "
                       "REMOTEPEER='%q' and REMOTERECID='%d' and SOURCEFILEID='%d';",
                       storedLocation.c_str(), checksum.c_str(), remotePeer.c_str(), remoteRecId,
                       sourceFileId));
    }
    return execute(
        sql.Format("insert into BACKUP_STORED_FILES (LOCALRECID, REMOTEPEER, REMOTERECID, "
                   "SOURCEFILEID, "
                   "STOREDLOCATION, CHECKSUM) values ('%d', '%q', '%d', '%d', '%q', '%q');",
                   localRecId, remotePeer.c_str(), remoteRecId, sourceFileId,
                   storedLocation.c_str(), checksum.c_str()));
}

bool BackupDB::updateStoredFiles(const int& remoteRecId, const std::string& remotePeer,
                                 const int& localRecId, const std::vector<StoredFile>& files) {
    if (files.empty()) return true;
    return inTransaction("BEGIN IMMEDIATE;", "COMMIT;", [&] {
        wxSQLite3Statement update = m_db->PrepareStatement(
            "update BACKUP_STORED_FILES set STOREDLOCATION=?, CHECKSUM=? where REMOTEPEER=? and "
            "REMOTERECID=? and SOURCEFILEID=?;");
        wxSQLite3Statement insert = m_db->PrepareStatement(
            "insert into BACKUP_STORED_FILES (LOCALRECID, REMOTEPEER, REMOTERECID, SOURCEFILEID, "
            "STOREDLOCATION, CHECKSUM) values (?, ?, ?, ?, ?, ?);");
        for (const StoredFile& f : files) {
            update.Bind(1, f.storedLocation);
            update.Bind(2, f.checksum);
            update.Bind(3, remotePeer);
            update.Bind(4, remoteRecId);
            update.Bind(5, f.sourceFileId);
            const int changed = update.ExecuteUpdate();
            update.Reset();
            if (changed > 0) continue;
            insert.Bind(1, localRecId);
            insert.Bind(2, remotePeer);
            insert.Bind(3, remoteRecId);
            insert.Bind(4, f.sourceFileId);
            insert.Bind(5, f.storedLocation);
            insert.Bind(6, f.checksum);
            insert.ExecuteUpdate();
            insert.Reset();
        }
        update.Finalize();
        insert.Finalize();
    });
}

bool BackupDB::getStoredFileChecksum(const std::string& remotePeer, const int& remoteRecId,
                                     const int& sourceFileId, std::string& checksum) {
    wxSQLite3StatementBuffer sql;
    return findText(sql.Format("select * from BACKUP_STORED_FILES where REMOTEPEER='%q' and "
                               "REMOTERECID='%d' and SOURCEFILEID='%d';",
                               remotePeer.c_str(), remoteRecId, sourceFileId),
                    "CHECKSUM", checksum);
}

bool BackupDB::getStoredFileLocation(const std::string& remotePeer, const int& sourceFileId,
                                     std::string& storedLocation) {
    wxSQLite3StatementBuffer sql;
    return findText(sql.Format("select * from BACKUP_STORED_FILES where REMOTEPEER='%q' and  "
                               "SOURCEFILEID='%d';",
                               remotePeer.c_str(), sourceFileId),
                    "STOREDLOCATION", storedLocation);
}

bool BackupDB::deleteStoredFiles(const int& localRecId) {
    wxSQLite3StatementBuffer sql;
    if (!execute(
            sql.Format("delete from BACKUP_STORED_FILES where LOCALRECID = '%d';", localRecId)))
        return false;
    return execute("VACUUM;");
}

}  // namespace Backup
}  // namespace Orvana
