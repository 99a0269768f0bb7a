#pragma once
// StatementHandle: one prepared SQLite statement and its connection, shared by
// a wxSQLite3Statement and the result sets it hands out. Finalized when the
// last holder goes or when Finalize() is called (then stmt is null).
// Not thread-safe: used by the thread that owns the connection.

#include <sqlite3.h>

#include <string>

#include "hostapi/wxSQLite3Exception.h"

namespace HostKitSql {

struct StatementHandle {
    StatementHandle(sqlite3* d, sqlite3_stmt* s) : db(d), stmt(s) {}
    ~StatementHandle() { Finalize(); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    void Finalize() {
        if (stmt != nullptr) sqlite3_finalize(stmt);
        stmt = nullptr;
    }

    sqlite3* db;
    sqlite3_stmt* stmt;
    // Bumped by each new run of the statement, so an older result set over it
    // can tell it no longer owns the statement's position.
    unsigned run = 0;
};

// The exception for a failed call on db (may be null) with result code rc.
inline wxSQLite3Exception MakeError(sqlite3* db, int rc) {
    const char* text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return wxSQLite3Exception(rc, text != nullptr ? text : sqlite3_errstr(rc));
}

}  // namespace HostKitSql
