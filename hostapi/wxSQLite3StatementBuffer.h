#pragma once
// wxSQLite3StatementBuffer: builds a statement with sqlite3_mprintf: "%q"
// inserts a text with single quotes doubled, "%d" an int, "%lld" a 64-bit int.
// Owns the text until the next Format or destruction.

#include <cstdarg>

class wxSQLite3StatementBuffer {
public:
    wxSQLite3StatementBuffer();
    ~wxSQLite3StatementBuffer();
    wxSQLite3StatementBuffer(const wxSQLite3StatementBuffer&) = delete;
    wxSQLite3StatementBuffer& operator=(const wxSQLite3StatementBuffer&) = delete;

    // No printf format attribute: "%q" is SQLite's own conversion and would warn.
    const char* Format(const char* format, ...);
    operator const char*() const { return m_buffer; }

private:
    void Clear();
    char* m_buffer;
};
