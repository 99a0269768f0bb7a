#include "hostapi/wxSQLite3Exception.h"

wxSQLite3Exception::wxSQLite3Exception(int errorCode, const std::string& message)
    : m_errorCode(errorCode), m_message(message) {}
