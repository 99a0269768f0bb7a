// BackupDB: the activity log (table BACKUP_ACTIVITY) and the disabled groups
// (table DISABLED_GROUPS).

#include "db/BackupDB.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace {
const int MAX_ACTIVITIES = 100;
}  // namespace

bool BackupDB::addActivity(const int& recId, const int& severity, const std::string& text) {
    // One write transaction: two connections adding at once must not both
    // see room for one more row.
    return inTransaction("BEGIN IMMEDIATE;", "COMMIT;", [&] {
        const int count = m_db->ExecuteScalar("SELECT COUNT(*) FROM BACKUP_ACTIVITY;");
        wxSQLite3StatementBuffer sql;
        if (count >= MAX_ACTIVITIES) {
            // Oldest first by ID; an over-full table is trimmed back as well.
            m_db->ExecuteUpdate(
                sql.Format("delete from BACKUP_ACTIVITY where ID in "
                           "(SELECT ID from BACKUP_ACTIVITY ORDER BY ID LIMIT %d);",
                           count - MAX_ACTIVITIES + 1));
        }
        m_db->ExecuteUpdate(
            sql.Format("insert into BACKUP_ACTIVITY (RECID, SEVERITY, ACTIVITYTEXT) values "
                       "('%d','%d','%q');",
                       recId, severity, text.c_str()));
    });
}

bool BackupDB::getActivities(std::vector<ActivityRecordPtr>& activities) {
    activities.clear();
    return readRows("select * from BACKUP_ACTIVITY ORDER BY ID DESC;", [&](wxSQLite3ResultSet& rs) {
        ActivityRecordPtr activity(new ACTIVITY_RECORD);
        activity->recId = rs.GetInt("RECID", 0);
        activity->severity = rs.GetInt("SEVERITY", 0);
        activity->activityText = rs.GetStdString("ACTIVITYTEXT");
        activities.push_back(activity);
    });
}

bool BackupDB::getDisabledGroups(std::vector<std::string>& groups) {
    groups.clear();
    return readRows("select * from DISABLED_GROUPS;",
                    [&](wxSQLite3ResultSet& rs) { groups.push_back(rs.GetStdString("GROUPID")); });
}

bool BackupDB::disableGroup(const std::string& groupId) {
    if (!isOpen()) return false;
    const std::string group = Orvana::Util::sanitizeString(groupId, false);
    wxSQLite3StatementBuffer sql;
    return execute(
        sql.Format("insert into DISABLED_GROUPS (GROUPID) values ('%q');", group.c_str()),
        "Orvana::Backup::BackupDB::disableGroup");
}

bool BackupDB::enableGroup(const std::string& groupId) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from DISABLED_GROUPS where GROUPID = '%q';", groupId.c_str()),
                   "Orvana::Backup::BackupDB::enableGroup");
}

bool BackupDB::isGroupEnabled(const std::string& groupId) {
    wxSQLite3StatementBuffer sql;
    bool disabled = false;
    return readFirstRow(
               sql.Format("select * from DISABLED_GROUPS where GROUPID='%q';", groupId.c_str()),
               RowReader(), &disabled) &&
           !disabled;
}

}  // namespace Backup
}  // namespace Orvana
