// BackupDB: file location, opening and schema, version, configuration store
// and the helpers every operation shares.

#include "db/BackupDB.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include "hostapi/FileUtil.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {

namespace {

const int SCHEMA_VERSION = 3;

struct TableDef {
    const char* name;
    const char* create;
};

// Created in this order when missing.
const TableDef TABLES[] = {
    {"BACKUP_RECORDS",
     "CREATE TABLE BACKUP_RECORDS (ID INTEGER PRIMARY KEY AUTOINCREMENT, TARGETPEERID TEXT, "
     "ISFILE INTEGER, ENABLED INTEGER, LOCALPATH TEXT, REMOTEPATH TEXT, GROUPID TEXT, "
     "FREQUENCY INTEGER, BACKUPTIME INTEGER, BACKUPDAY INTEGER, LASTSUCCESSTIME INTEGER, "
     "LASTATTEMPTTIME INTEGER, SIZE INTEGER);"},
    {"BACKUP_SOURCE_FILES",
     "CREATE TABLE BACKUP_SOURCE_FILES (ID INTEGER PRIMARY KEY AUTOINCREMENT, RECID INTEGER, "
     "FILE TEXT, LASTMODIFIEDTIME INTEGER, CHECKSUM TEXT, SYNCED INTEGER);"},
    {"ENABLED_GROUPS",
     "CREATE TABLE ENABLED_GROUPS (ID INTEGER PRIMARY KEY AUTOINCREMENT, GROUPID TEXT);"},
    {"DISABLED_GROUPS",
     "CREATE TABLE DISABLED_GROUPS (ID INTEGER PRIMARY KEY AUTOINCREMENT, GROUPID TEXT);"},
    {"BACKUP_ACTIVITY",
     "CREATE TABLE BACKUP_ACTIVITY (ID INTEGER PRIMARY KEY AUTOINCREMENT, RECID INTEGER, "
     "SEVERITY INTEGER, ACTIVITYTEXT TEXT);"},
    {"BACKUP_INCOMING_RECORDS",
     "CREATE TABLE BACKUP_INCOMING_RECORDS (ID INTEGER PRIMARY KEY AUTOINCREMENT, "
     "REMOTERECID INTEGER, GROUPID TEXT, SOURCEPEERID TEXT, SOURCELOCATION TEXT, "
     "STOREDLOCATION TEXT, CREATETIME INTEGER);"},
    {"BACKUP_STORED_FILES",
     "CREATE TABLE BACKUP_STORED_FILES (ID INTEGER PRIMARY KEY AUTOINCREMENT, REMOTEPEER TEXT, "
     "LOCALRECID INTEGER, REMOTERECID INTEGER, SOURCEFILEID INTEGER, STOREDLOCATION TEXT, "
     "CHECKSUM TEXT);"},
    {"VERSION", "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"},
    {"PLUGIN_CONFIG",
     "CREATE TABLE PLUGIN_CONFIG (KEY TEXT, NAME TEXT, VALUE TEXT, PRIMARY KEY(KEY, NAME));"},
    // Added after version 3 without a version step: older files get it on
    // their next open, older programs never look at it.
    {"BACKUP_RUNS",
     "CREATE TABLE BACKUP_RUNS (ID INTEGER PRIMARY KEY AUTOINCREMENT, RECID INTEGER, KIND TEXT, "
     "STARTTIME INTEGER, ENDTIME INTEGER, RESULT TEXT, REASON TEXT, FILESCHECKED INTEGER, "
     "FILESCOPIED INTEGER, BYTESCOPIED INTEGER, FILESFAILED INTEGER);"},
};

std::string databaseFolder() {
    const std::string sep(1, Poco::Path::separator());
    return Orvana::API::ProfileManager::getProfileUserDataDir() + sep + "backup" + sep;
}

}  // namespace

BackupDB::BackupDB(const std::string& name) : name(name), m_file(databasePath()), valid(false) {
    valid = initialize();
}

BackupDB::BackupDB(const std::string& name, const std::string& file)
    : name(name), m_file(file), valid(false) {
    valid = initialize();
}

BackupDB::~BackupDB() { m_db.reset(); }

std::string BackupDB::databasePath() { return databaseFolder() + "backup.db"; }

bool BackupDB::initialize() {
    m_db.reset(new wxSQLite3Database());

    // File-system steps: their failures leave the object invalid instead of
    // escaping the constructor.
    try {
        const std::string sep(1, Poco::Path::separator());
        const std::string root = Orvana::API::ProfileManager::getProfileRootDir();
        // Without a profile the paths would point at the file-system root.
        if (!root.empty()) {
            Poco::File legacy(root + sep + "plugindata" + sep + name + sep + "backup.db");
            if (legacy.exists()) legacy.remove(false);
        }
        if (Orvana::API::ProfileManager::getProfileUserDataDir().empty()) {
            logError("No user data directory: the backup database cannot be opened");
            return false;
        }
        Poco::File folder(Poco::Path(m_file).parent());
        if (!folder.exists()) folder.createDirectories();
    } catch (const Poco::Exception& e) {
        logError(e.displayText());
        return false;
    }

    try {
        m_db->Open(m_file, "");
        // Service and workers share the file: wait for the other's transaction.
        m_db->SetBusyTimeout(5000);
        // A flush of a pass's chunk changes rows all over the source index;
        // with the default 2 MB of cache they are spilled to the log before
        // the commit and read back when touched again (4.5 s of index writes
        // per churn pass at a million files, 2.0 s with 32 MB). Pages are
        // taken only as a connection uses them.
        m_db->ExecuteUpdate("PRAGMA cache_size=-32768;");
        useWriteAheadLog();
        for (const TableDef& table : TABLES) {
            if (m_db->TableExists(table.name, "")) continue;
            m_db->ExecuteUpdate(table.create);
            if (std::string(table.name) == "VERSION") setVersion(SCHEMA_VERSION, "OK", "");
        }
        // The index's load reads in path order and the storing side looks
        // files up by path. Added without a version step: a database made
        // before it gets it here on the first open (once, then a no-op), and
        // an older program reading the file ignores it.
        m_db->ExecuteUpdate(
            "CREATE INDEX IF NOT EXISTS BACKUP_SOURCE_FILES_RECID_FILE ON BACKUP_SOURCE_FILES "
            "(RECID, FILE);");
        addSourceIndexColumns();
        // The storing side looks a file up by (peer, its id there) once per
        // file it receives: without this a pass of n files reads the table n
        // times, quadratic in the size of a backup from another device.
        m_db->ExecuteUpdate(
            "CREATE INDEX IF NOT EXISTS BACKUP_STORED_FILES_PEER_FILE ON BACKUP_STORED_FILES "
            "(REMOTEPEER, SOURCEFILEID, REMOTERECID);");
        // Added the same way: older files get it on their first open.
        m_db->ExecuteUpdate(
            "CREATE TABLE IF NOT EXISTS BACKUP_RECORD_SETTINGS (RECID INTEGER, NAME TEXT, "
            "SEQ INTEGER, VALUE TEXT, PRIMARY KEY (RECID, NAME, SEQ));");
        return checkVersion() == SCHEMA_VERSION;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

void BackupDB::useWriteAheadLog() {
    // Every activity entry and small update is its own commit, each costing
    // fsyncs with a rollback journal. WAL with synchronous=NORMAL can lose the
    // last commits on power loss but not corrupt the file, and the engine
    // makes copied files durable before it marks them synced: a lost commit
    // only means a file is copied again. Readers no longer wait for a writer.
    // The mode is kept in the file; failing to switch leaves the safer
    // defaults in place rather than the database unusable.
    try {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery("PRAGMA journal_mode=WAL;");
        const std::string mode = rs.NextRow() ? rs.GetStdString(0) : "";
        rs.Finalize();
        if (mode == "wal") {
            m_db->ExecuteUpdate("PRAGMA synchronous=NORMAL;");
            m_writeAheadLog = true;
        } else {
            logError("Journal mode stays [" + mode + "]: no write-ahead log");
        }
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
    }
}

// The log line keeps its odd "WS::" opening: existing logs are searched for it.
int BackupDB::checkVersion() {
    std::string status, notes;
    int version = getVersion(status, notes);
    logger().information("WS::DB Version is at " + std::to_string(version));
    if (version != SCHEMA_VERSION) {
        upgradeSchema();
        if (setVersion(SCHEMA_VERSION, "OK", "")) version = SCHEMA_VERSION;
    }
    return version;
}

void BackupDB::upgradeSchema() {
    // Version 3 is the current schema: nothing to convert.
}

int BackupDB::getVersion(std::string& status, std::string& notes) {
    Orvana::Util::CheckedLock lock(m_mutex);
    int version = -1;
    readFirstRow("select * from VERSION;", [&](wxSQLite3ResultSet& rs) {
        version = rs.GetInt("VERSIONID", 0);
        status = rs.GetStdString("STATUS");
        notes = rs.GetStdString("NOTES");
    });
    return version;
}

bool BackupDB::setVersion(int version, const std::string& status, const std::string& notes) {
    Orvana::Util::CheckedLock lock(m_mutex);
    wxSQLite3StatementBuffer sql;
    return execute("DELETE FROM VERSION;") &&
           execute(
               sql.Format("INSERT INTO VERSION (VERSIONID, STATUS, NOTES) VALUES (%d, '%q', '%q');",
                          version, status.c_str(), notes.c_str()));
}

std::string BackupDB::getConfigValue(const std::string& key, const std::string& name,
                                     const std::string& defaultValue) {
    if (!isOpen()) {
        logError("getConfigValue called when DB is invalid!");
        return defaultValue;
    }
    std::string value = defaultValue;
    wxSQLite3StatementBuffer sql;
    if (!findText(sql.Format("select * from PLUGIN_CONFIG where KEY='%q' and NAME='%q';",
                             key.c_str(), name.c_str()),
                  "VALUE", value))
        return defaultValue;
    return value;
}

bool BackupDB::doesConfigExist(const std::string& key, const std::string& name) {
    if (!isOpen()) {
        logError("doesConfigExist called when DB is invalid!");
        return false;
    }
    wxSQLite3StatementBuffer sql;
    return hasRow(sql.Format("select * from PLUGIN_CONFIG where KEY='%q' and NAME='%q';",
                             key.c_str(), name.c_str()));
}

bool BackupDB::setConfigValue(const std::string& key, const std::string& name,
                              const std::string& value) {
    if (!isOpen()) {
        logError("Setting Config Value when DB is invalid!");
        return false;
    }
    const std::string cleanKey = Orvana::Util::sanitizeString(key, true);
    const std::string cleanName = Orvana::Util::sanitizeString(name, true);
    // The value is a folder path: sanitising it would move the user's backups.
    // The row is looked up by the texts it is stored under, so an existing row
    // is updated rather than colliding with the insert.
    wxSQLite3StatementBuffer sql;
    if (doesConfigExist(cleanKey, cleanName)) {
        return execute(
            sql.Format("update PLUGIN_CONFIG set VALUE='%q' where KEY='%q' and NAME='%q';",
                       value.c_str(), cleanKey.c_str(), cleanName.c_str()));
    }
    return execute(
        sql.Format("insert into PLUGIN_CONFIG (KEY, NAME, VALUE) values ('%q', '%q', '%q');",
                   cleanKey.c_str(), cleanName.c_str(), value.c_str()));
}

bool BackupDB::isOpen() const { return m_db && m_db->IsOpen(); }

bool BackupDB::execute(const char* sql, const char* where) {
    if (!isOpen()) return false;
    try {
        m_db->ExecuteUpdate(sql);
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(where ? std::string(where) + " - Exception : [" + e.GetMessage() + "]"
                       : e.GetMessage());
        return false;
    }
}

bool BackupDB::readRows(const char* sql, const RowReader& read) {
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(sql);
        while (rs.NextRow()) read(rs);
        rs.Finalize();
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::readFirstRow(const char* sql, const RowReader& read, bool* found) {
    if (found) *found = false;
    if (!isOpen()) return false;
    try {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(sql);
        const bool row = rs.NextRow();
        if (row && read) read(rs);
        rs.Finalize();
        if (found) *found = row;
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        return false;
    }
}

bool BackupDB::hasRow(const char* sql) {
    bool found = false;
    return readFirstRow(sql, RowReader(), &found) && found;
}

bool BackupDB::findText(const char* sql, const char* column, std::string& value) {
    bool found = false;
    return readFirstRow(
               sql, [&](wxSQLite3ResultSet& rs) { value = rs.GetStdString(column); }, &found) &&
           found;
}

bool BackupDB::findInt(const char* sql, const char* column, int& value) {
    bool found = false;
    return readFirstRow(
               sql, [&](wxSQLite3ResultSet& rs) { value = rs.GetInt(column, 0); }, &found) &&
           found;
}

bool BackupDB::inTransaction(const char* begin, const char* end,
                             const std::function<void()>& work) {
    if (!isOpen()) return false;
    try {
        m_db->ExecuteUpdate(begin);
        work();
        m_db->ExecuteUpdate(end);
        return true;
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
        rollback();
        return false;
    }
}

void BackupDB::rollback() {
    if (!isOpen() || m_db->GetAutoCommit()) return;
    try {
        m_db->ExecuteUpdate("ROLLBACK;");
    } catch (const wxSQLite3Exception& e) {
        logError(e.GetMessage());
    }
}

// "Backup" with a capital B, unlike the rest of the plug-in: kept so, as stored
// logs and users' log filters name it.
Poco::Logger& BackupDB::logger() { return Poco::Logger::get("Backup"); }

void BackupDB::logError(const std::string& text) { logger().error(text); }

Poco::Timestamp BackupDB::timeFromColumn(Poco::Int64 value) {
    return value > 0 ? Poco::Timestamp::fromUtcTime(value) : Poco::Timestamp(0);
}

}  // namespace Backup
}  // namespace Orvana
