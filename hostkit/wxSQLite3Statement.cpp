#include "hostapi/wxSQLite3Statement.h"

#include "hostkit/SqlStatementHandle.h"

using HostKitSql::MakeError;

struct wxSQLite3Statement::Handle : HostKitSql::StatementHandle {
    using StatementHandle::StatementHandle;
};

namespace {

sqlite3_stmt* checked(const std::shared_ptr<HostKitSql::StatementHandle>& handle) {
    if (!handle || handle->stmt == nullptr)
        throw wxSQLite3Exception(SQLITE_MISUSE, "Statement is finalized");
    return handle->stmt;
}

void checkBind(const std::shared_ptr<HostKitSql::StatementHandle>& handle, int rc) {
    if (rc != SQLITE_OK) throw MakeError(handle->db, rc);
}

}  // namespace

wxSQLite3Statement::wxSQLite3Statement() {}

wxSQLite3Statement::wxSQLite3Statement(sqlite3* db, sqlite3_stmt* stmt)
    : m_handle(std::make_shared<Handle>(db, stmt)) {}

void wxSQLite3Statement::Bind(int index, const std::string& value) {
    checkBind(m_handle, sqlite3_bind_text(checked(m_handle), index, value.data(),
                                          static_cast<int>(value.size()), SQLITE_TRANSIENT));
}

void wxSQLite3Statement::Bind(int index, int value) {
    checkBind(m_handle, sqlite3_bind_int(checked(m_handle), index, value));
}

void wxSQLite3Statement::Bind(int index, Poco::Int64 value) {
    checkBind(m_handle, sqlite3_bind_int64(checked(m_handle), index, value));
}

void wxSQLite3Statement::BindNull(int index) {
    checkBind(m_handle, sqlite3_bind_null(checked(m_handle), index));
}

int wxSQLite3Statement::ExecuteUpdate() {
    sqlite3_stmt* stmt = checked(m_handle);
    ++m_handle->run;
    sqlite3_reset(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        wxSQLite3Exception error = MakeError(m_handle->db, rc);
        sqlite3_reset(stmt);
        throw error;
    }
    int changes = sqlite3_changes(m_handle->db);
    sqlite3_reset(stmt);
    return changes;
}

wxSQLite3ResultSet wxSQLite3Statement::ExecuteQuery() {
    sqlite3_stmt* stmt = checked(m_handle);
    ++m_handle->run;
    sqlite3_reset(stmt);  // a query always starts from the first row
    return wxSQLite3ResultSet(m_handle, false);
}

void wxSQLite3Statement::Reset() {
    if (!m_handle || m_handle->stmt == nullptr) return;
    ++m_handle->run;
    sqlite3_reset(m_handle->stmt);
}

void wxSQLite3Statement::Finalize() {
    if (m_handle) m_handle->Finalize();
    m_handle.reset();
}
