// BackupDB: per-record settings (table BACKUP_RECORD_SETTINGS).

#include <Poco/NumberParser.h>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

namespace {
const char* const kExclude = "exclude";
const char* const kIgnoreCase = "ignorecase";
const char* const kCacheDirTag = "cachedirtag";
const char* const kVersions = "versions";
const char* const kRetention = "retention";
const char* const kMaxAgeDays = "maxagedays";
const char* const kKeepLast = "keeplast";

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
                     if (name == kExclude) {
                         read.exclude.push_back(value);
                     } else if (name == kIgnoreCase) {
                         read.ignoreCase = value == "1";
                     } else if (name == kCacheDirTag) {
                         read.cacheDirTag = value != "0";
                     } else if (name == kVersions) {
                         // Anything but an explicit "off" keeps versions: the safe side.
                         read.versions = value != "off";
                     } else if (name == kRetention) {
                         read.keepLastOnly = value == "last";
                     } else if (name == kMaxAgeDays) {
                         readNumber(value, read.maxAgeDays);
                     } else if (name == kKeepLast) {
                         readNumber(value, read.keepLast);
                     }
                 });
    settings = ok ? read : RECORD_SETTINGS();
    return ok;
}

bool BackupDB::setRecordSettings(const int& recId, const RECORD_SETTINGS& settings) {
    return inTransaction("BEGIN IMMEDIATE;", "COMMIT;", [&]() {
        wxSQLite3StatementBuffer sql;
        m_db->ExecuteUpdate(
            sql.Format("delete from BACKUP_RECORD_SETTINGS where RECID = %d and NAME in ('%q', "
                       "'%q', '%q', '%q', '%q', '%q', '%q');",
                       recId, kExclude, kIgnoreCase, kCacheDirTag, kVersions, kRetention,
                       kMaxAgeDays, kKeepLast));
        auto insert = [&](const char* name, int seq, const std::string& value) {
            wxSQLite3StatementBuffer row;
            m_db->ExecuteUpdate(
                row.Format("insert into BACKUP_RECORD_SETTINGS (RECID, NAME, SEQ, VALUE) values "
                           "(%d, '%q', %d, '%q');",
                           recId, name, seq, value.c_str()));
        };
        for (size_t i = 0; i < settings.exclude.size(); ++i)
            insert(kExclude, static_cast<int>(i), settings.exclude[i]);
        insert(kIgnoreCase, 0, settings.ignoreCase ? "1" : "0");
        insert(kCacheDirTag, 0, settings.cacheDirTag ? "1" : "0");
        insert(kVersions, 0, settings.versions ? "on" : "off");
        insert(kRetention, 0, settings.keepLastOnly ? "last" : "staggered");
        insert(kMaxAgeDays, 0, std::to_string(settings.maxAgeDays));
        insert(kKeepLast, 0, std::to_string(settings.keepLast));
    });
}

bool BackupDB::deleteRecordSettings(const int& recId) {
    wxSQLite3StatementBuffer sql;
    return execute(sql.Format("delete from BACKUP_RECORD_SETTINGS where RECID = %d;", recId));
}

}  // namespace Backup
}  // namespace Orvana
