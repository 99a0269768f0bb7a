#pragma once
// wxSQLite3ResultSet: the rows of one query, read forward with NextRow.
// Columns are read by name; NULL reads as the given null value. Copies share
// the one statement; Finalize (or the last copy's destruction) releases it.

#include <Poco/Types.h>

#include <memory>
#include <string>

struct sqlite3_stmt;
struct sqlite3;
class wxSQLite3Statement;
namespace HostKitSql {
struct StatementHandle;
}

class wxSQLite3ResultSet {
public:
    wxSQLite3ResultSet();
    wxSQLite3ResultSet(sqlite3* db, sqlite3_stmt* stmt);

    bool NextRow();
    int GetColumnCount() const;
    int FindColumnIndex(const std::string& column) const;  // throws when absent
    bool IsNull(const std::string& column) const;
    int GetInt(const std::string& column, int nullValue = 0) const;
    Poco::Int64 GetInt64(const std::string& column, Poco::Int64 nullValue = 0) const;
    std::string GetStdString(const std::string& column, const std::string& nullValue = "") const;
    int GetInt(int column, int nullValue = 0) const;
    Poco::Int64 GetInt64(int column, Poco::Int64 nullValue = 0) const;
    std::string GetStdString(int column, const std::string& nullValue = "") const;
    // The column's text (NULL: empty) into `value`, reusing its storage: a
    // read of many rows into the same strings then allocates nothing.
    void AssignStdString(int column, std::string& value) const;
    void Finalize();

private:
    friend class wxSQLite3Statement;
    // A result set over a prepared statement it does not own: releasing it
    // resets the statement instead of finalizing it.
    wxSQLite3ResultSet(const std::shared_ptr<HostKitSql::StatementHandle>& handle, bool owned);
    sqlite3_stmt* Current(int column) const;  // checks row and column; throws

    struct Statement;
    std::shared_ptr<Statement> m_stmt;
};
