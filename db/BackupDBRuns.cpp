// BackupDB: the run history (table BACKUP_RUNS), one row per backup or
// restore pass.

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

bool BackupDB::addRun(RUN_RECORD& run) {
    // Insert and trim in one transaction, so two connections cannot both
    // trim to the same cut.
    return inTransaction("BEGIN IMMEDIATE;", "COMMIT;", [&] {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(
            sql.Format("insert into BACKUP_RUNS (RECID, KIND, STARTTIME, ENDTIME, RESULT, REASON, "
                       "FILESCHECKED, FILESCOPIED, BYTESCOPIED, FILESFAILED) values "
                       "(%d, '%q', %lld, %lld, '%q', '%q', %lld, %lld, %lld, %lld);",
                       run.recId, run.kind.c_str(), ll(run.startTime), ll(run.endTime),
                       run.result.c_str(), run.reason.c_str(), ll(run.filesChecked),
                       ll(run.filesCopied), ll(run.bytesCopied), ll(run.filesFailed)));
        run.id = static_cast<int>(m_db->GetLastRowId());
        m_db->ExecuteUpdate(
            sql.Format("delete from BACKUP_RUNS where RECID = %d and ID not in "
                       "(select ID from BACKUP_RUNS where RECID = %d order by ID desc limit %d);",
                       run.recId, run.recId, MAX_RUNS));
    });
}

bool BackupDB::getRuns(const int& recId, const int& limit, std::vector<RUN_RECORD>& runs) {
    runs.clear();
    wxSQLite3StatementBuffer sql;
    return readRows(
        sql.Format("select * from BACKUP_RUNS where RECID = %d order by ID desc limit %d;", recId,
                   limit),
        [&](wxSQLite3ResultSet& rs) {
            RUN_RECORD run;
            run.id = rs.GetInt("ID", 0);
            run.recId = rs.GetInt("RECID", 0);
            run.kind = rs.GetStdString("KIND");
            run.startTime = rs.GetInt64("STARTTIME", 0);
            run.endTime = rs.GetInt64("ENDTIME", 0);
            run.result = rs.GetStdString("RESULT");
            run.reason = rs.GetStdString("REASON");
            run.filesChecked = rs.GetInt64("FILESCHECKED", 0);
            run.filesCopied = rs.GetInt64("FILESCOPIED", 0);
            run.bytesCopied = rs.GetInt64("BYTESCOPIED", 0);
            run.filesFailed = rs.GetInt64("FILESFAILED", 0);
            runs.push_back(run);
        });
}

bool BackupDB::deleteRuns(const int& recId) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from BACKUP_RUNS where RECID = %d;", recId),
                   "Orvana::Backup::BackupDB::deleteRuns");
}

}  // namespace Backup
}  // namespace Orvana
