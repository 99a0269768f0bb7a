#include "hostapi/wxSQLite3StatementBuffer.h"

#include <sqlite3.h>

#include "hostapi/wxSQLite3Exception.h"

wxSQLite3StatementBuffer::wxSQLite3StatementBuffer() : m_buffer(nullptr) {}

wxSQLite3StatementBuffer::~wxSQLite3StatementBuffer() { Clear(); }

void wxSQLite3StatementBuffer::Clear() {
    if (m_buffer != nullptr) sqlite3_free(m_buffer);
    m_buffer = nullptr;
}

const char* wxSQLite3StatementBuffer::Format(const char* format, ...) {
    Clear();
    va_list args;
    va_start(args, format);
    m_buffer = sqlite3_vmprintf(format, args);
    va_end(args);
    if (m_buffer == nullptr) throw wxSQLite3Exception(SQLITE_NOMEM, "Unable to format statement");
    return m_buffer;
}
