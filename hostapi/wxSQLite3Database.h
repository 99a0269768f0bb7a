#pragma once
// wxSQLite3Database: one SQLite connection. Not thread-safe: one thread uses a
// connection at a time (SQLite's file locking arbitrates between connections).

#include "hostapi/wxSQLite3Exception.h"
#include "hostapi/wxSQLite3ResultSet.h"
#include "hostapi/wxSQLite3Statement.h"
#include "hostapi/wxSQLite3StatementBuffer.h"

#include <Poco/Types.h>

#include <string>

struct sqlite3;
struct sqlite3_stmt;

class wxSQLite3Database {
public:
    wxSQLite3Database();
    ~wxSQLite3Database();
    wxSQLite3Database(const wxSQLite3Database&) = delete;
    wxSQLite3Database& operator=(const wxSQLite3Database&) = delete;

    // Who may use the connection: any thread, one at a time (SQLite then
    // takes a mutex in every call, to guard against a caller that breaks the
    // rule), or only the thread that opened it, for a connection that never
    // leaves its thread (no mutex: a read of a million rows makes tens of
    // millions of calls).
    enum Threading { ANY_THREAD, OPENING_THREAD };

    // Opens (creating when missing) the file. A non-empty key is refused:
    // this build has no encryption.
    void Open(const std::string& fileName, const std::string& key = "",
              Threading threading = ANY_THREAD);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }

    // How long a statement waits for another connection's lock.
    void SetBusyTimeout(int milliseconds);

    bool TableExists(const std::string& table, const std::string& databaseName = "");
    int ExecuteUpdate(const char* sql);
    int ExecuteUpdate(const std::string& sql) { return ExecuteUpdate(sql.c_str()); }
    wxSQLite3ResultSet ExecuteQuery(const char* sql);
    wxSQLite3ResultSet ExecuteQuery(const std::string& sql) { return ExecuteQuery(sql.c_str()); }
    int ExecuteScalar(const char* sql);  // first column of the first row as int
    int ExecuteScalar(const std::string& sql) { return ExecuteScalar(sql.c_str()); }
    wxSQLite3Statement PrepareStatement(const char* sql);
    wxSQLite3Statement PrepareStatement(const std::string& sql) { return PrepareStatement(sql.c_str()); }
    Poco::Int64 GetLastRowId() const;
    bool GetAutoCommit() const;  // false while a transaction is open
    sqlite3* GetHandle() const { return m_db; }

private:
    void Check(int rc) const;  // throws wxSQLite3Exception unless SQLITE_OK
    // One compiled statement; throws when closed, on error or for empty text.
    sqlite3_stmt* Prepare(const char* sql, const char* emptyMessage);
    sqlite3* m_db;
};
