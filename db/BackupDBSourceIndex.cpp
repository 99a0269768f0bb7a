// BackupDB: the per-record index of source files (table BACKUP_SOURCE_FILES).

#include <boost/make_shared.hpp>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

namespace {
long long ll(Poco::Int64 v) { return static_cast<long long>(v); }
}  // namespace

void BackupDB::readSourceRecord(wxSQLite3ResultSet& rs, SOURCE_RECORD& record) {
    record.id = rs.GetInt("ID", 0);
    record.recId = rs.GetInt("RECID", 0);
    record.file = rs.GetStdString("FILE");
    record.checksum = rs.GetStdString("CHECKSUM");
    record.synced = rs.GetInt("SYNCED", 0);
    record.lastModifiedTime = Poco::Timestamp::fromUtcTime(rs.GetInt64("LASTMODIFIEDTIME", 0));
}

void BackupDB::getSourceRecords(const int& recId, SourceRecordMap& records) {
    if (!isOpen()) return;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_SOURCE_FILES where RECID='%d';", recId));
        while (rs.NextRow()) {
            // One allocation per row: loading is dominated by the heap.
            SourceRecordPtr record = boost::make_shared<SOURCE_RECORD>();
            readSourceRecord(rs, *record);
            record->isNew = false;
            records[record->file] = record;
        }
        rs.Finalize();
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
    }
}

void BackupDB::flushSourceRecords(const int& recId, SourceRecordMap& records) {
    if (!isOpen()) return;
    try {
        m_db->ExecuteUpdate("PRAGMA synchronous=OFF;");
        m_db->ExecuteUpdate("BEGIN TRANSACTION;");
        // Prepared once per flush; bound parameters keep odd paths intact.
        wxSQLite3Statement insert = m_db->PrepareStatement(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED) "
            "values (?, ?, ?, ?, ?);");
        // A loaded entry is rewritten through its row id: matching by path alone
        // has no index to use and scans the whole table once per file.
        wxSQLite3Statement updateById = m_db->PrepareStatement(
            "UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME=?, CHECKSUM=?, SYNCED=? "
            "where ID=? and FILE=? and RECID=?;");
        wxSQLite3Statement updateByFile;
        bool haveUpdateByFile = false;
        for (SourceRecordMap::const_iterator it = records.begin(); it != records.end(); ++it) {
            const SOURCE_RECORD& rec = *it->second;
            const Poco::Int64 modified = rec.lastModifiedTime.utcTime();
            if (rec.isNew) {
                insert.Bind(1, rec.recId);
                insert.Bind(2, rec.file);
                insert.Bind(3, modified);
                insert.Bind(4, rec.checksum);
                insert.Bind(5, rec.synced);
                insert.ExecuteUpdate();
                insert.Reset();
            } else if (rec.id > 0) {
                updateById.Bind(1, modified);
                updateById.Bind(2, rec.checksum);
                updateById.Bind(3, rec.synced);
                updateById.Bind(4, rec.id);
                updateById.Bind(5, rec.file);
                updateById.Bind(6, recId);
                updateById.ExecuteUpdate();
                updateById.Reset();
            } else {
                if (!haveUpdateByFile) {
                    updateByFile = m_db->PrepareStatement(
                        "UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME=?, CHECKSUM=?, SYNCED=? "
                        "where FILE=? and RECID=?;");
                    haveUpdateByFile = true;
                }
                updateByFile.Bind(1, modified);
                updateByFile.Bind(2, rec.checksum);
                updateByFile.Bind(3, rec.synced);
                updateByFile.Bind(4, rec.file);
                updateByFile.Bind(5, recId);
                updateByFile.ExecuteUpdate();
                updateByFile.Reset();
            }
        }
        insert.Finalize();
        updateById.Finalize();
        if (haveUpdateByFile) updateByFile.Finalize();
        m_db->ExecuteUpdate("END TRANSACTION;");
        m_db->ExecuteUpdate("PRAGMA synchronous=ON;");
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        // Half a batch is worse than none: the next scan redoes the work.
        rollback();
        execute("PRAGMA synchronous=ON;");
    }
}

bool BackupDB::setSourceFileSynced(const int& fileId) {
    wxSQLite3StatementBuffer sql;
    return execute(
        sql.Format("UPDATE BACKUP_SOURCE_FILES SET SYNCED='%d' where ID='%d';", 1, fileId));
}

bool BackupDB::setSourceFilesSynced(const std::vector<int>& fileIds) {
    if (!isOpen()) return false;
    try {
        m_db->ExecuteUpdate("BEGIN;");
        wxSQLite3Statement update =
            m_db->PrepareStatement("UPDATE BACKUP_SOURCE_FILES SET SYNCED=1 where ID=?;");
        for (int id : fileIds) {
            update.Bind(1, id);
            update.ExecuteUpdate();
            update.Reset();
        }
        update.Finalize();
        m_db->ExecuteUpdate("COMMIT;");
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        rollback();
        return false;
    }
}

bool BackupDB::deleteSourceFiles(const int& recId) {
    wxSQLite3StatementBuffer sql;
    if (!execute(sql.Format("delete from BACKUP_SOURCE_FILES where RECID = '%d';", recId)))
        return false;
    return execute("VACUUM;");
}

bool BackupDB::getSourceRecord(const std::string& file, const int& recId, SOURCE_RECORD& record) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_SOURCE_FILES where FILE='%q' and RECID='%d';",
                       file.c_str(), recId));
        bool found = rs.NextRow();
        if (found) readSourceRecord(rs, record);
        rs.Finalize();
        return found;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::updateSourceFile(const int& recId, const std::string& file,
                                const Poco::Timestamp& modified, const std::string& checksum,
                                int& fileId) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_SOURCE_FILES where FILE='%q' and RECID='%d';",
                       file.c_str(), recId));
        const bool found = rs.NextRow();
        const int existingId = found ? rs.GetInt("ID", 0) : 0;
        rs.Finalize();
        if (found) {
            fileId = existingId;
            m_db->ExecuteUpdate(sql.Format(
                "UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME='%lld',CHECKSUM='%q' where "
                "FILE='%q'and RECID='%d' ;",
                ll(modified.utcTime()), checksum.c_str(), file.c_str(), recId));
        } else {
            m_db->ExecuteUpdate(
                sql.Format("insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, "
                           "CHECKSUM) values ('%d', '%q', '%lld', '%q');",
                           recId, file.c_str(), ll(modified.utcTime()), checksum.c_str()));
            fileId = static_cast<int>(m_db->GetLastRowId());
        }
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getSourceFileChecksum(const int& recId, const std::string& file,
                                     std::string& checksum) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_SOURCE_FILES where RECID='%d' and FILE='%q';", recId,
                       file.c_str()));
        bool found = rs.NextRow();
        if (found) checksum = rs.GetStdString("CHECKSUM");
        rs.Finalize();
        return found;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getSourceFileId(const int& recId, const std::string& file, int& fileId) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from BACKUP_SOURCE_FILES where RECID='%d' and FILE='%q';", recId,
                       file.c_str()));
        bool found = rs.NextRow();
        if (found) fileId = rs.GetInt("ID", 0);
        rs.Finalize();
        return found;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

}  // namespace Backup
}  // namespace Orvana
