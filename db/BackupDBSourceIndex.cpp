// BackupDB: the per-record index of source files (table BACKUP_SOURCE_FILES).

#include <Poco/Logger.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <set>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

namespace {

// The columns after the original five, in the order the reads select them.
const char* const ADDED_COLUMNS[] = {"FILESIZE", "CHANGETIME"};

// NULL (a row from before the columns) reads as -1: unknown.
Poco::Int64 knownOrUnknown(wxSQLite3ResultSet& rs, int column) { return rs.GetInt64(column, -1); }

void bindKnown(wxSQLite3Statement& statement, int index, Poco::Int64 value) {
    if (value < 0) {
        statement.BindNull(index);
    } else {
        statement.Bind(index, value);
    }
}

}  // namespace

BackupDB::BackupDB(const std::string& name, const std::string& file, ReaderOnly)
    : name(name), m_file(file), valid(false) {
    try {
        m_db.reset(new wxSQLite3Database());
        // The reader's thread opens it and is the only one to use it.
        m_db->Open(m_file, "", wxSQLite3Database::OPENING_THREAD);
        m_db->SetBusyTimeout(5000);
        valid = true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        m_db.reset();
    }
}

std::unique_ptr<BackupDB> BackupDB::openReader(const std::string& name, const std::string& file) {
    return std::unique_ptr<BackupDB>(new BackupDB(name, file, ReaderOnly()));
}

void BackupDB::addSourceIndexColumns() {
    // At the table's end, so that older readers, which name their columns,
    // find the table they know. Checked again inside a write transaction:
    // two connections opening an older file at once must not both add them.
    auto missing = [this]() {
        std::set<std::string> have;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery("PRAGMA table_info(BACKUP_SOURCE_FILES);");
        while (rs.NextRow()) have.insert(rs.GetStdString(1));
        rs.Finalize();
        std::vector<std::string> out;
        for (const char* column : ADDED_COLUMNS)
            if (!have.count(column)) out.push_back(column);
        return out;
    };
    if (missing().empty()) return;
    m_db->ExecuteUpdate("BEGIN IMMEDIATE;");
    try {
        for (const std::string& column : missing()) {
            m_db->ExecuteUpdate(
                ("ALTER TABLE BACKUP_SOURCE_FILES ADD COLUMN " + column + " INTEGER;").c_str());
        }
        m_db->ExecuteUpdate("COMMIT;");
    } catch (const wxSQLite3Exception&) {
        rollback();
        throw;
    }
}

void BackupDB::readSourceRecord(wxSQLite3ResultSet& rs, SOURCE_RECORD& record) {
    record.id = rs.GetInt("ID", 0);
    record.recId = rs.GetInt("RECID", 0);
    record.file = rs.GetStdString("FILE");
    record.checksum = rs.GetStdString("CHECKSUM");
    record.synced = rs.GetInt("SYNCED", 0);
    record.lastModifiedTime = Poco::Timestamp::fromUtcTime(rs.GetInt64("LASTMODIFIEDTIME", 0));
    record.fileSize = rs.GetInt64("FILESIZE", -1);
    record.changeTime = rs.GetInt64("CHANGETIME", -1);
}

bool BackupDB::getSourceRecords(const int& recId, SourceRecordMap& records) {
    wxSQLite3StatementBuffer sql;
    // In path order off the (RECID, FILE) index: each row then goes in at the
    // map's end without a search. Both order bytes alike (memcmp), so the
    // hint always fits; a row out of order would still land right.
    return readRows(sql.Format("select ID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED, FILESIZE, "
                               "CHANGETIME from BACKUP_SOURCE_FILES where RECID='%d' order by "
                               "FILE, ID;",
                               recId),
                    [&](wxSQLite3ResultSet& rs) {
                        // One allocation per row: loading is dominated by the heap.
                        SourceRecordPtr record = boost::make_shared<SOURCE_RECORD>();
                        // By position: a lookup by name per column costs more
                        // than the read at a million rows.
                        record->id = rs.GetInt(0, 0);
                        record->recId = recId;
                        record->file = rs.GetStdString(1);
                        record->lastModifiedTime = Poco::Timestamp::fromUtcTime(rs.GetInt64(2, 0));
                        record->checksum = rs.GetStdString(3);
                        record->synced = rs.GetInt(4, 0);
                        record->fileSize = knownOrUnknown(rs, 5);
                        record->changeTime = knownOrUnknown(rs, 6);
                        record->isNew = false;
                        // Of two rows of one path the newer one counts.
                        SourceRecordMap::iterator at =
                            records.emplace_hint(records.end(), record->file, record);
                        if (at->second != record) at->second = record;
                    });
}

bool BackupDB::getSourceRecordsAfter(const int& recId, const std::string& afterFile,
                                     const int& afterId, const std::string& until, const int& limit,
                                     std::vector<SOURCE_RECORD>& rows) {
    if (!isOpen()) {
        rows.clear();
        return false;
    }
    try {
        // A range of the (RECID, FILE) index, whose entries end in the row
        // id: no sort, and each chunk starts where the last one ended.
        wxSQLite3Statement query = m_db->PrepareStatement(
            "select ID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED, FILESIZE, CHANGETIME from "
            "BACKUP_SOURCE_FILES where RECID=? and (FILE, ID) > (?, ?) and FILE < ? order by FILE, "
            "ID limit ?;");
        query.Bind(1, recId);
        query.Bind(2, afterFile);
        query.Bind(3, afterId);
        query.Bind(4, until);
        query.Bind(5, limit);
        wxSQLite3ResultSet rs = query.ExecuteQuery();
        // A row's move may throw (Poco::Timestamp has none that cannot), so a
        // growing vector would copy every row, path and all, as it grows.
        rows.reserve(static_cast<size_t>(std::max(limit, 0)));
        // The rows already there are overwritten, strings and all: a reader
        // handed back the chunks it read then allocates nothing per row.
        size_t count = 0;
        while (rs.NextRow()) {
            if (count == rows.size()) rows.emplace_back();
            SOURCE_RECORD& record = rows[count++];
            record.id = rs.GetInt(0, 0);
            record.recId = recId;
            rs.AssignStdString(1, record.file);
            record.lastModifiedTime = Poco::Timestamp::fromUtcTime(rs.GetInt64(2, 0));
            rs.AssignStdString(3, record.checksum);
            record.synced = rs.GetInt(4, 0);
            record.fileSize = knownOrUnknown(rs, 5);
            record.changeTime = knownOrUnknown(rs, 6);
            record.isNew = false;
        }
        rows.resize(count);
        rs.Finalize();
        query.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        rows.clear();
        return false;
    }
}

bool BackupDB::flushSourceRecords(const int& recId, SourceRecordMap& records,
                                  const std::vector<int>& removedIds,
                                  const std::vector<std::string>& removedFolders) {
    if (!isOpen()) return false;
    bool written = false;
    // With a write-ahead log a commit costs no flush already, and syncing off
    // would let a checkpoint at this commit overwrite database pages before
    // the log is on disk: a power cut there corrupts the file. So OFF only
    // with the rollback journal, where it is what makes the batch cheap.
    if (m_writeAheadLog || execute("PRAGMA synchronous=OFF;")) {
        // Half a batch is worse than none: on failure the next scan redoes the work.
        written = inTransaction("BEGIN TRANSACTION;", "END TRANSACTION;", [&] {
            writeSourceRecords(recId, records);
            deleteSourceRows(recId, removedIds);
            deleteSourceFolders(recId, removedFolders);
        });
        // Back to FULL, the level a connection without the log runs at: with
        // the rollback journal NORMAL may leave a corrupt file after a power
        // cut, and every later commit relies on FULL's syncs. The log's
        // NORMAL was never changed.
        if (!m_writeAheadLog) execute("PRAGMA synchronous=FULL;");
    }
    return written;
}

bool BackupDB::sourceIndexFill(long& pages, double& slack) {
    pages = 0;
    slack = 0;
    if (!isOpen()) return false;
    try {
        // Leaf pages only: they hold the rows, and the inner ones are few.
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            "select count(*), sum(unused), sum(pgsize) from dbstat where name in "
            "('BACKUP_SOURCE_FILES', 'BACKUP_SOURCE_FILES_RECID_FILE') and pagetype='leaf';");
        if (rs.NextRow()) {
            pages = static_cast<long>(rs.GetInt64(0, 0));
            const double size = double(rs.GetInt64(2, 0));
            slack = size > 0 ? double(rs.GetInt64(1, 0)) / size : 0;
        }
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::compactSourceIndexIfFragmented() {
    // VACUUM cannot run inside a transaction, and a pass's own must not be
    // ended by it.
    if (!isOpen() || !m_db->GetAutoCommit()) return false;
    long pages = 0;
    double slack = 0;
    if (!sourceIndexFill(pages, slack)) {
        // Without the page statistics only whole free pages show.
        try {
            pages = m_db->ExecuteScalar("PRAGMA page_count;");
            const long freePages = m_db->ExecuteScalar("PRAGMA freelist_count;");
            slack = pages > 0 ? double(freePages) / double(pages) : 0;
        } catch (const wxSQLite3Exception& e) {
            logError(e.GetMessage());
            return false;
        }
    }
    if (pages < COMPACT_MIN_PAGES || slack <= COMPACT_SLACK) return false;
    logger().information("Compacting the source index: " + std::to_string(pages) + " pages, " +
                         std::to_string(int(slack * 100)) + "% unused");
    // Needs room for two more copies of the file (a temporary one and the
    // log); when it fails (disk full, another writer) nothing changed and the
    // next flush that removes rows tries again.
    if (!execute("VACUUM;")) return false;
    // The log grew to the file's size: give that room back now.
    if (m_writeAheadLog) execute("PRAGMA wal_checkpoint(TRUNCATE);");
    return true;
}

void BackupDB::writeSourceRecords(const int& recId, const SourceRecordMap& records) {
    // Prepared once per flush; bound parameters keep odd paths intact.
    wxSQLite3Statement insert = m_db->PrepareStatement(
        "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED, "
        "FILESIZE, CHANGETIME) values (?, ?, ?, ?, ?, ?, ?);");
    // A loaded entry is rewritten through its row id: matching by path alone
    // has no index to use and scans the whole table once per file.
    wxSQLite3Statement updateById = m_db->PrepareStatement(
        "UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME=?, CHECKSUM=?, SYNCED=?, FILESIZE=?, "
        "CHANGETIME=? where ID=? and FILE=? and RECID=?;");
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
            bindKnown(insert, 6, rec.fileSize);
            bindKnown(insert, 7, rec.changeTime);
            insert.ExecuteUpdate();
            insert.Reset();
            // The caller's change for this file needs the row's id to be
            // marked once copied; reading it back later is a second pass
            // over the index. Stale if the transaction rolls back, but the
            // caller then drops the batch with it.
            it->second->id = static_cast<int>(m_db->GetLastRowId());
        } else if (rec.id > 0) {
            updateById.Bind(1, modified);
            updateById.Bind(2, rec.checksum);
            updateById.Bind(3, rec.synced);
            bindKnown(updateById, 4, rec.fileSize);
            bindKnown(updateById, 5, rec.changeTime);
            updateById.Bind(6, rec.id);
            updateById.Bind(7, rec.file);
            updateById.Bind(8, recId);
            updateById.ExecuteUpdate();
            updateById.Reset();
        } else {
            if (!haveUpdateByFile) {
                updateByFile = m_db->PrepareStatement(
                    "UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME=?, CHECKSUM=?, SYNCED=?, "
                    "FILESIZE=?, CHANGETIME=? where FILE=? and RECID=?;");
                haveUpdateByFile = true;
            }
            updateByFile.Bind(1, modified);
            updateByFile.Bind(2, rec.checksum);
            updateByFile.Bind(3, rec.synced);
            bindKnown(updateByFile, 4, rec.fileSize);
            bindKnown(updateByFile, 5, rec.changeTime);
            updateByFile.Bind(6, rec.file);
            updateByFile.Bind(7, recId);
            updateByFile.ExecuteUpdate();
            updateByFile.Reset();
        }
    }
    insert.Finalize();
    updateById.Finalize();
    if (haveUpdateByFile) updateByFile.Finalize();
}

void BackupDB::deleteSourceRows(const int& recId, const std::vector<int>& ids) {
    if (ids.empty()) return;
    // The record's id too: a stale id must never take another record's row.
    wxSQLite3Statement remove =
        m_db->PrepareStatement("delete from BACKUP_SOURCE_FILES where ID=? and RECID=?;");
    for (int id : ids) {
        remove.Bind(1, id);
        remove.Bind(2, recId);
        remove.ExecuteUpdate();
        remove.Reset();
    }
    remove.Finalize();
}

void BackupDB::deleteSourceFolders(const int& recId, const std::vector<std::string>& folders) {
    if (folders.empty()) return;
    // A folder's subtree is the range [F/, F0) of the (RECID, FILE) index:
    // '0' is the byte after '/'.
    wxSQLite3Statement remove = m_db->PrepareStatement(
        "delete from BACKUP_SOURCE_FILES where RECID=? and FILE>=? and FILE<?;");
    for (const std::string& folder : folders) {
        if (folder.empty() || folder.back() != '/') continue;
        std::string until = folder;
        until.back() = '/' + 1;
        remove.Bind(1, recId);
        remove.Bind(2, folder);
        remove.Bind(3, until);
        remove.ExecuteUpdate();
        remove.Reset();
    }
    remove.Finalize();
}

bool BackupDB::setSourceFileSynced(const int& fileId) {
    wxSQLite3StatementBuffer sql;
    return execute(
        sql.Format("UPDATE BACKUP_SOURCE_FILES SET SYNCED='%d' where ID='%d';", 1, fileId));
}

bool BackupDB::setSourceFilesSynced(const std::vector<int>& fileIds) {
    return inTransaction("BEGIN;", "COMMIT;", [&] {
        wxSQLite3Statement update =
            m_db->PrepareStatement("UPDATE BACKUP_SOURCE_FILES SET SYNCED=1 where ID=?;");
        for (int id : fileIds) {
            update.Bind(1, id);
            update.ExecuteUpdate();
            update.Reset();
        }
        update.Finalize();
    });
}

bool BackupDB::hasSyncedSourceFiles(const int& recId, bool& any) {
    wxSQLite3StatementBuffer sql;
    any = false;
    return readFirstRow(
        sql.Format("select ID from BACKUP_SOURCE_FILES where RECID='%d' and SYNCED<>0 limit 1;",
                   recId),
        nullptr, &any);
}

bool BackupDB::clearSourceFilesSynced(const int& recId) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format(
        "UPDATE BACKUP_SOURCE_FILES SET SYNCED=0 where RECID='%d' and SYNCED<>0;", recId));
}

bool BackupDB::deleteSourceFiles(const int& recId) {
    wxSQLite3StatementBuffer sql;
    if (!execute(sql.Format("delete from BACKUP_SOURCE_FILES where RECID = '%d';", recId)))
        return false;
    return execute("VACUUM;");
}

bool BackupDB::getSourceRecord(const std::string& file, const int& recId, SOURCE_RECORD& record) {
    wxSQLite3StatementBuffer sql;
    bool found = false;
    return readFirstRow(
               sql.Format("select * from BACKUP_SOURCE_FILES where FILE='%q' and RECID='%d';",
                          file.c_str(), recId),
               [&](wxSQLite3ResultSet& rs) { readSourceRecord(rs, record); }, &found) &&
           found;
}

bool BackupDB::updateSourceFile(const int& recId, const std::string& file,
                                const Poco::Timestamp& modified, const std::string& checksum,
                                int& fileId) {
    wxSQLite3StatementBuffer sql;
    bool found = false;
    int existingId = 0;
    if (!readFirstRow(
            sql.Format("select * from BACKUP_SOURCE_FILES where FILE='%q' and RECID='%d';",
                       file.c_str(), recId),
            [&](wxSQLite3ResultSet& rs) { existingId = rs.GetInt("ID", 0); }, &found))
        return false;
    if (found) {
        fileId = existingId;
        return execute(
            sql.Format("UPDATE BACKUP_SOURCE_FILES SET LASTMODIFIEDTIME='%lld',CHECKSUM='%q' where "
                       "FILE='%q'and RECID='%d' ;",
                       ll(modified.utcTime()), checksum.c_str(), file.c_str(), recId));
    }
    if (!execute(sql.Format("insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, "
                            "CHECKSUM) values ('%d', '%q', '%lld', '%q');",
                            recId, file.c_str(), ll(modified.utcTime()), checksum.c_str())))
        return false;
    fileId = static_cast<int>(m_db->GetLastRowId());
    return true;
}

bool BackupDB::getSourceFileChecksum(const int& recId, const std::string& file,
                                     std::string& checksum) {
    wxSQLite3StatementBuffer sql;
    return findText(sql.Format("select * from BACKUP_SOURCE_FILES where RECID='%d' and FILE='%q';",
                               recId, file.c_str()),
                    "CHECKSUM", checksum);
}

bool BackupDB::getSourceFileId(const int& recId, const std::string& file, int& fileId) {
    wxSQLite3StatementBuffer sql;
    return findInt(sql.Format("select * from BACKUP_SOURCE_FILES where RECID='%d' and FILE='%q';",
                              recId, file.c_str()),
                   "ID", fileId);
}

}  // namespace Backup
}  // namespace Orvana
