#pragma once
// A BackupDB on the current profile that also gives tests raw reads of its
// connection. Same threading rules as BackupDB.

#include <string>

#include "db/BackupDB.h"

namespace TestSupport {

class ProbeDB : public Orvana::Backup::BackupDB {
public:
    ProbeDB() : BackupDB("backup") {}
    wxSQLite3Database& conn() { return *m_db; }
    int scalar(const std::string& sql) { return m_db->ExecuteScalar(sql); }
    // The first column of the first row, "<none>" when there is no row.
    std::string text(const std::string& sql) {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(sql);
        std::string out = rs.NextRow() ? rs.GetStdString(0) : "<none>";
        rs.Finalize();
        return out;
    }
};

}  // namespace TestSupport
