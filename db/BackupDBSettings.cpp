// BackupDB: per-record settings (table BACKUP_RECORD_SETTINGS).

#include <Poco/NumberParser.h>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

namespace {
const char* const SETTING_EXCLUDE = "exclude";
const char* const SETTING_IGNORE_CASE = "ignorecase";
const char* const SETTING_CACHE_DIR_TAG = "cachedirtag";
const char* const SETTING_VERSIONS = "versions";
const char* const SETTING_RETENTION = "retention";
const char* const SETTING_MAX_AGE_DAYS = "maxagedays";
const char* const SETTING_KEEP_LAST = "keeplast";

// A number edited by hand into something else keeps the default.
void readNumber(const std::string& value, int& number) {
    int parsed = 0;
    if (Poco::NumberParser::tryParse(value, parsed)) number = parsed;
}
}  // namespace

bool BackupDB::getRecordSettings(const int& recId, RECORD_SETTINGS& settings) {
    RECORD_SETTINGS read;
    wxSQLite3StatementBuffer sql;
    const bool ok =
        readRows(sql.Format("select NAME, VALUE from BACKUP_RECORD_SETTINGS where RECID = %d "
                            "order by NAME, SEQ;",
                            recId),
                 [&](wxSQLite3ResultSet& rs) {
                     const std::string name = rs.GetStdString("NAME");
                     const std::string value = rs.GetStdString("VALUE");
                     if (name == SETTING_EXCLUDE) {
                         read.exclude.push_back(value);
                     } else if (name == SETTING_IGNORE_CASE) {
                         read.ignoreCase = value == "1";
                     } else if (name == SETTING_CACHE_DIR_TAG) {
                         read.cacheDirTag = value != "0";
                     } else if (name == SETTING_VERSIONS) {
                         // Anything but an explicit "off" keeps versions: the safe side.
                         read.versions = value != "off";
                     } else if (name == SETTING_RETENTION) {
                         read.keepLastOnly = value == "last";
                     } else if (name == SETTING_MAX_AGE_DAYS) {
                         readNumber(value, read.maxAgeDays);
                     } else if (name == SETTING_KEEP_LAST) {
                         readNumber(value, read.keepLast);
                     }
                 });
    settings = ok ? read : RECORD_SETTINGS();
    return ok;
}

bool BackupDB::setRecordSettings(const int& recId, const RECORD_SETTINGS& settings) {
    return inTransaction("BEGIN IMMEDIATE;", "COMMIT;", [&]() {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(sql.Format(
            "delete from BACKUP_RECORD_SETTINGS where RECID = %d and NAME in ('%q', "
            "'%q', '%q', '%q', '%q', '%q', '%q');",
            recId, SETTING_EXCLUDE, SETTING_IGNORE_CASE, SETTING_CACHE_DIR_TAG, SETTING_VERSIONS,
            SETTING_RETENTION, SETTING_MAX_AGE_DAYS, SETTING_KEEP_LAST));
        auto insert = [&](const char* name, int seq, const std::string& value) {
            wxSQLite3StatementBuffer row;
            m_db->ExecuteUpdate(
                row.Format("insert into BACKUP_RECORD_SETTINGS (RECID, NAME, SEQ, VALUE) values "
                           "(%d, '%q', %d, '%q');",
                           recId, name, seq, value.c_str()));
        };
        for (size_t i = 0; i < settings.exclude.size(); ++i)
            insert(SETTING_EXCLUDE, static_cast<int>(i), settings.exclude[i]);
        insert(SETTING_IGNORE_CASE, 0, settings.ignoreCase ? "1" : "0");
        insert(SETTING_CACHE_DIR_TAG, 0, settings.cacheDirTag ? "1" : "0");
        insert(SETTING_VERSIONS, 0, settings.versions ? "on" : "off");
        insert(SETTING_RETENTION, 0, settings.keepLastOnly ? "last" : "staggered");
        insert(SETTING_MAX_AGE_DAYS, 0, std::to_string(settings.maxAgeDays));
        insert(SETTING_KEEP_LAST, 0, std::to_string(settings.keepLast));
    });
}

bool BackupDB::deleteRecordSettings(const int& recId) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from BACKUP_RECORD_SETTINGS where RECID = %d;", recId));
}

}  // namespace Backup
}  // namespace Orvana
