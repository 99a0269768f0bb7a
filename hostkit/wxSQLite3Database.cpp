#include "hostapi/wxSQLite3Database.h"

#include <cctype>

#include "hostkit/SqlStatementHandle.h"

using HostKitSql::MakeError;

namespace {

// Writers on other connections of the same file are waited for this long by
// default, so a worker's write does not fail while the service writes.
const int DEFAULT_BUSY_TIMEOUT_MS = 30000;

}  // namespace

wxSQLite3Database::wxSQLite3Database() : m_db(nullptr) {}

wxSQLite3Database::~wxSQLite3Database() { Close(); }

void wxSQLite3Database::Check(int rc) const {
    if (rc != SQLITE_OK) throw MakeError(m_db, rc);
}

void wxSQLite3Database::Open(const std::string& fileName, const std::string& key,
                             Threading threading) {
    if (!key.empty())
        throw wxSQLite3Exception(SQLITE_ERROR, "Encryption is not supported by this build");
    Close();
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                      (threading == OPENING_THREAD ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX);
    int rc = sqlite3_open_v2(fileName.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        wxSQLite3Exception error = MakeError(db, rc);
        sqlite3_close_v2(db);
        throw error;
    }
    sqlite3_busy_timeout(db, DEFAULT_BUSY_TIMEOUT_MS);
    // SQLite reads the file lazily; touch the schema now so a file that is not
    // a database fails here rather than at the first statement.
    rc = sqlite3_exec(db, "PRAGMA schema_version;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        wxSQLite3Exception error = MakeError(db, rc);
        sqlite3_close_v2(db);
        throw error;
    }
    m_db = db;
}

void wxSQLite3Database::Close() {
    if (m_db == nullptr) return;
    // close_v2: statements still held by result sets are finalized later.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

void wxSQLite3Database::SetBusyTimeout(int milliseconds) {
    if (m_db == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, "Database is not open");
    Check(sqlite3_busy_timeout(m_db, milliseconds));
}

bool wxSQLite3Database::TableExists(const std::string& table, const std::string& databaseName) {
    std::string schema = databaseName.empty() ? "main" : databaseName;
    char* sql = sqlite3_mprintf(
        "SELECT count(*) FROM \"%w\".sqlite_master WHERE type='table' AND name=?1 COLLATE "
        "NOCASE;",
        schema.c_str());
    if (sql == nullptr) throw wxSQLite3Exception(SQLITE_NOMEM, "Unable to format statement");
    wxSQLite3Statement statement;
    try {
        statement = PrepareStatement(sql);
    } catch (...) {
        sqlite3_free(sql);
        throw;
    }
    sqlite3_free(sql);
    statement.Bind(1, table);
    wxSQLite3ResultSet result = statement.ExecuteQuery();
    bool exists = result.NextRow() && result.GetInt(0) > 0;
    result.Finalize();
    return exists;
}

int wxSQLite3Database::ExecuteUpdate(const char* sql) {
    if (m_db == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, "Database is not open");
    // One statement after the other, so a text may hold several.
    const char* next = sql;
    while (next != nullptr && *next != '\0') {
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(m_db, next, -1, &stmt, &tail);
        if (rc != SQLITE_OK) throw MakeError(m_db, rc);
        next = tail;
        if (stmt == nullptr) continue;  // only blanks or a comment
        HostKitSql::StatementHandle handle(m_db, stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE) throw MakeError(m_db, rc);
    }
    return sqlite3_changes(m_db);
}

sqlite3_stmt* wxSQLite3Database::Prepare(const char* sql, const char* emptyMessage) {
    if (m_db == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, "Database is not open");
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
    if (rc != SQLITE_OK) throw MakeError(m_db, rc);
    if (stmt == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, emptyMessage);
    return stmt;
}

wxSQLite3ResultSet wxSQLite3Database::ExecuteQuery(const char* sql) {
    return wxSQLite3ResultSet(m_db, Prepare(sql, "Empty query"));
}

int wxSQLite3Database::ExecuteScalar(const char* sql) {
    wxSQLite3ResultSet result = ExecuteQuery(sql);
    if (!result.NextRow()) throw wxSQLite3Exception(SQLITE_ERROR, "Scalar query returned no row");
    int value = result.GetInt(0);
    result.Finalize();
    return value;
}

wxSQLite3Statement wxSQLite3Database::PrepareStatement(const char* sql) {
    return wxSQLite3Statement(m_db, Prepare(sql, "Empty statement"));
}

Poco::Int64 wxSQLite3Database::GetLastRowId() const {
    if (m_db == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, "Database is not open");
    return sqlite3_last_insert_rowid(m_db);
}

bool wxSQLite3Database::GetAutoCommit() const {
    if (m_db == nullptr) throw wxSQLite3Exception(SQLITE_MISUSE, "Database is not open");
    return sqlite3_get_autocommit(m_db) != 0;
}
