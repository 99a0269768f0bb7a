// BackupDB: the activity log (table BACKUP_ACTIVITY) and the disabled groups
// (table DISABLED_GROUPS).

#include <Poco/Logger.h>

#include "db/BackupDB.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace {
const int kMaxActivities = 100;
}  // namespace

bool BackupDB::addActivity(const int& recId, const int& severity, const std::string& text) {
    if (!isOpen()) return false;
    try {
        // One write transaction: two connections adding at once must not
        // both see room for one more row.
        m_db->ExecuteUpdate("BEGIN IMMEDIATE;");
        const int count = m_db->ExecuteScalar("SELECT COUNT(*) FROM BACKUP_ACTIVITY;");
        if (count >= kMaxActivities) {
            // Oldest first by ID; an over-full table is trimmed back as well.
            wxSQLite3StatementBuffer sql;
            m_db->ExecuteUpdate(
                sql.Format("delete from BACKUP_ACTIVITY where ID in "
                           "(SELECT ID from BACKUP_ACTIVITY ORDER BY ID LIMIT %d);",
                           count - kMaxActivities + 1));
        }
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(
            sql.Format("insert into BACKUP_ACTIVITY (RECID, SEVERITY, ACTIVITYTEXT) values "
                       "('%d','%d','%q');",
                       recId, severity, text.c_str()));
        m_db->ExecuteUpdate("COMMIT;");
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        rollback();
        return false;
    }
}

bool BackupDB::getActivities(std::vector<ActivityRecordPtr>& activities) {
    activities.clear();
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs =
            m_db->ExecuteQuery("select * from BACKUP_ACTIVITY ORDER BY ID DESC;");
        while (rs.NextRow()) {
            ActivityRecordPtr activity(new ACTIVITY_RECORD);
            activity->recId = rs.GetInt("RECID", 0);
            activity->severity = rs.GetInt("SEVERITY", 0);
            activity->activityText = rs.GetStdString("ACTIVITYTEXT");
            activities.push_back(activity);
        }
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::getDisabledGroups(std::vector<std::string>& groups) {
    groups.clear();
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery("select * from DISABLED_GROUPS;");
        while (rs.NextRow()) groups.push_back(rs.GetStdString("GROUPID"));
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::disableGroup(const std::string& groupId) {
    if (!isOpen()) return false;
    const std::string group = Orvana::Util::sanitizeString(groupId, false);
    try {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(
            sql.Format("insert into DISABLED_GROUPS (GROUPID) values ('%q');", group.c_str()));
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError("Orvana::Backup::BackupDB::disableGroup - Exception : [" + e.GetMessage() + "]");
        return false;
    }
}

bool BackupDB::enableGroup(const std::string& groupId) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(
            sql.Format("delete from DISABLED_GROUPS where GROUPID = '%q';", groupId.c_str()));
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError("Orvana::Backup::BackupDB::enableGroup - Exception : [" + e.GetMessage() + "]");
        return false;
    }
}

bool BackupDB::isGroupEnabled(const std::string& groupId) {
    if (!isOpen()) return false;
    try {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(
            sql.Format("select * from DISABLED_GROUPS where GROUPID='%q';", groupId.c_str()));
        const bool disabled = rs.NextRow();
        rs.Finalize();
        return !disabled;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

}  // namespace Backup
}  // namespace Orvana
