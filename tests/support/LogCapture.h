#pragma once
// LogCapture: records every Poco log line (of every logger, at every
// priority) while it lives, so tests can assert on the system's log texts.
// Installs itself on the root logger and lowers every logger to trace;
// restores the previous channels and levels when destroyed. Thread-safe.

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
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
    LogCapture() : m_sink(new Sink) {
        // Every logger, existing or created later, inherits from root; existing
        // ones are set explicitly.
        Poco::Logger::root().setChannel(m_sink);
        Poco::Logger::root().setLevel(Poco::Message::PRIO_TRACE);
        std::vector<std::string> names;
        Poco::Logger::names(names);
        for (const auto& n : names) {
            Poco::Logger::get(n).setChannel(m_sink);
            Poco::Logger::get(n).setLevel(Poco::Message::PRIO_TRACE);
        }
    }
    ~LogCapture() {
        std::vector<std::string> names;
        Poco::Logger::names(names);
        for (const auto& n : names) {
            Poco::Logger::get(n).setChannel(nullptr);
            Poco::Logger::get(n).setLevel(Poco::Message::PRIO_INFORMATION);
        }
        Poco::Logger::root().setChannel(nullptr);
    }

    // Lines whose text contains the fragment (optionally of one logger).
    std::vector<LogLine> find(const std::string& fragment, const std::string& logger = "") const {
        std::vector<LogLine> out;
        for (const auto& l : m_sink->lines())
            if (l.text.find(fragment) != std::string::npos &&
                (logger.empty() || l.logger == logger))
                out.push_back(l);
        return out;
    }
    bool contains(const std::string& fragment) const { return !find(fragment).empty(); }
    void clear() { m_sink->clear(); }

private:
    class Sink : public Poco::Channel {
    public:
        void log(const Poco::Message& msg) override {
            Poco::FastMutex::ScopedLock lock(m_mutex);
            m_lines.push_back(LogLine{msg.getSource(), msg.getText()});
        }
        std::vector<LogLine> lines() const {
            Poco::FastMutex::ScopedLock lock(m_mutex);
            return m_lines;
        }
        void clear() {
            Poco::FastMutex::ScopedLock lock(m_mutex);
            m_lines.clear();
        }

    private:
        mutable Poco::FastMutex m_mutex;  // guards m_lines
        std::vector<LogLine> m_lines;
    };

    Poco::AutoPtr<Sink> m_sink;
};

}  // namespace TestSupport
