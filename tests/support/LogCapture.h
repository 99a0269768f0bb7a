#pragma once
// LogCapture: records every Poco log line (of every logger, at every
// priority) while it lives, so tests can assert on the system's log texts.
// Installs itself on the root logger and lowers every logger to trace;
// restores the previous channels and levels when destroyed. Thread-safe.

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Message.h>
#include <Poco/Mutex.h>

#include <string>
#include <vector>

namespace TestSupport {

struct LogLine {
    std::string logger;
    std::string text;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    // Lines whose text contains the fragment (optionally of one logger).
    std::vector<LogLine> find(const std::string& fragment, const std::string& logger = "") const;
    bool contains(const std::string& fragment) const { return !find(fragment).empty(); }
    void clear();
    class Sink;

private:
    Poco::AutoPtr<Sink> m_sink;
};

}  // namespace TestSupport
