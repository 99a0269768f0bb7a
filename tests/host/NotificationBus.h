#pragma once
// NotificationBus: a private D-Bus session bus for tests (a real dbus-daemon
// with a configuration of its own in a temporary folder) and, on a thread
// with its own connection, a stand-in desktop that owns
// org.freedesktop.Notifications and records every Notify call. The test's
// thread makes and destroys it; calls() may be read from any thread.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace TestSupport {

class NotificationBus {
public:
    struct Call {
        std::string app, icon, summary, body;
        int urgency = -1;  // -1: no urgency hint
    };
    enum Desktop {
        PLAIN,     // shows the body as plain text
        MARKUP,    // reads markup in the body
        STALLED,   // takes calls and never answers
        NO_OWNER,  // nobody owns the name
    };

    explicit NotificationBus(Desktop desktop);
    ~NotificationBus();
    NotificationBus(const NotificationBus&) = delete;
    NotificationBus& operator=(const NotificationBus&) = delete;

    // The bus's address; "" when dbus-daemon could not be started.
    const std::string& address() const { return m_address; }
    std::vector<Call> calls() const;

    static bool daemonInstalled();

private:
    void serve(std::atomic<int>* ready);

    Desktop m_desktop;
    TempDir m_dir;
    pid_t m_daemon = -1;
    std::string m_address;
    mutable std::mutex m_mutex;  // guards m_calls
    std::vector<Call> m_calls;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace TestSupport
