#include "hostapi/wxSQLite3ResultSet.h"

#include "hostkit/SqlStatementHandle.h"

using HostKitSql::MakeError;
using HostKitSql::StatementHandle;

struct wxSQLite3ResultSet::Statement {
    Statement(const std::shared_ptr<StatementHandle>& h, bool o)
        : handle(h), owned(o), run(h->run) {}
    ~Statement() { Release(); }

    void Release() {
        if (released) return;
        bool mine = Current();
        released = true;
        onRow = false;
        if (owned)
            handle->Finalize();
        else if (mine)
            sqlite3_reset(handle->stmt);  // the prepared statement lives on
    }

    // False once the statement was finalized or run again by its owner.
    bool Current() const { return !released && handle->stmt != nullptr && handle->run == run; }

    std::shared_ptr<StatementHandle> handle;
    bool owned;
    unsigned run;
    bool onRow = false;
    bool done = false;
    bool released = false;
};

wxSQLite3ResultSet::wxSQLite3ResultSet() {}

wxSQLite3ResultSet::wxSQLite3ResultSet(sqlite3* db, sqlite3_stmt* stmt)
    : m_stmt(std::make_shared<Statement>(std::make_shared<StatementHandle>(db, stmt), true)) {}

wxSQLite3ResultSet::wxSQLite3ResultSet(const std::shared_ptr<StatementHandle>& handle, bool owned)
    : m_stmt(std::make_shared<Statement>(handle, owned)) {}

bool wxSQLite3ResultSet::NextRow() {
    if (!m_stmt || !m_stmt->Current())
        throw wxSQLite3Exception(SQLITE_MISUSE, "Result set is finalized");
    if (m_stmt->done) return false;
    int rc = sqlite3_step(m_stmt->handle->stmt);
    if (rc == SQLITE_ROW) {
        m_stmt->onRow = true;
        return true;
    }
    m_stmt->onRow = false;
    m_stmt->done = true;
    if (rc == SQLITE_DONE) return false;
    throw MakeError(m_stmt->handle->db, rc);
}

int wxSQLite3ResultSet::GetColumnCount() const {
    if (!m_stmt || !m_stmt->Current())
        throw wxSQLite3Exception(SQLITE_MISUSE, "Result set is finalized");
    return sqlite3_column_count(m_stmt->handle->stmt);
}

int wxSQLite3ResultSet::FindColumnIndex(const std::string& column) const {
    int count = GetColumnCount();
    for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(m_stmt->handle->stmt, i);
        if (name != nullptr && sqlite3_stricmp(name, column.c_str()) == 0) return i;
    }
    throw wxSQLite3Exception(SQLITE_ERROR, "Invalid column name: " + column);
}

sqlite3_stmt* wxSQLite3ResultSet::Current(int column) const {
    if (!m_stmt || !m_stmt->Current())
        throw wxSQLite3Exception(SQLITE_MISUSE, "Result set is finalized");
    if (!m_stmt->onRow) throw wxSQLite3Exception(SQLITE_MISUSE, "No current row");
    sqlite3_stmt* stmt = m_stmt->handle->stmt;
    if (column < 0 || column >= sqlite3_column_count(stmt))
        throw wxSQLite3Exception(SQLITE_RANGE, "Invalid column index " + std::to_string(column));
    return stmt;
}

bool wxSQLite3ResultSet::IsNull(const std::string& column) const {
    int index = FindColumnIndex(column);
    return sqlite3_column_type(Current(index), index) == SQLITE_NULL;
}

int wxSQLite3ResultSet::GetInt(const std::string& column, int nullValue) const {
    return GetInt(FindColumnIndex(column), nullValue);
}

Poco::Int64 wxSQLite3ResultSet::GetInt64(const std::string& column, Poco::Int64 nullValue) const {
    return GetInt64(FindColumnIndex(column), nullValue);
}

std::string wxSQLite3ResultSet::GetStdString(const std::string& column,
                                             const std::string& nullValue) const {
    return GetStdString(FindColumnIndex(column), nullValue);
}

int wxSQLite3ResultSet::GetInt(int column, int nullValue) const {
    sqlite3_stmt* stmt = Current(column);
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return nullValue;
    return sqlite3_column_int(stmt, column);
}

Poco::Int64 wxSQLite3ResultSet::GetInt64(int column, Poco::Int64 nullValue) const {
    sqlite3_stmt* stmt = Current(column);
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return nullValue;
    return sqlite3_column_int64(stmt, column);
}

std::string wxSQLite3ResultSet::GetStdString(int column, const std::string& nullValue) const {
    sqlite3_stmt* stmt = Current(column);
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return nullValue;
    const unsigned char* text = sqlite3_column_text(stmt, column);
    int bytes = sqlite3_column_bytes(stmt, column);
    if (text == nullptr) return std::string();
    // By byte count: texts may hold NULs or bytes that are not UTF-8.
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

void wxSQLite3ResultSet::AssignStdString(int column, std::string& value) const {
    sqlite3_stmt* stmt = Current(column);
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) {
        value.clear();
        return;
    }
    value.assign(reinterpret_cast<const char*>(text),
                 static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

void wxSQLite3ResultSet::Finalize() {
    if (!m_stmt) return;
    m_stmt->Release();
    m_stmt.reset();
}
