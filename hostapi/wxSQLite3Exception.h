#pragma once
// wxSQLite3Exception: thrown by every wxSQLite3 class on an SQLite failure.

#include <exception>
#include <string>

class wxSQLite3Exception : public std::exception {
public:
    wxSQLite3Exception(int errorCode, const std::string& message);
    int GetErrorCode() const { return m_errorCode; }
    const std::string& GetMessage() const { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    int m_errorCode;
    std::string m_message;
};
