#pragma once
// wxSQLite3Statement: a prepared statement with bound parameters (1-based),
// for batches that run the same statement many times. Reset() clears the
// state for the next row; bindings stay until rebound.

#include "hostapi/wxSQLite3ResultSet.h"

#include <Poco/Types.h>

#include <memory>
#include <string>

struct sqlite3_stmt;
struct sqlite3;

class wxSQLite3Statement {
public:
    wxSQLite3Statement();
    wxSQLite3Statement(sqlite3* db, sqlite3_stmt* stmt);

    void Bind(int index, const std::string& value);
    void Bind(int index, int value);
    void Bind(int index, Poco::Int64 value);
    void BindNull(int index);
    int ExecuteUpdate();  // changed rows
    wxSQLite3ResultSet ExecuteQuery();
    void Reset();
    void Finalize();

private:
    struct Handle;
    std::shared_ptr<Handle> m_handle;
};
