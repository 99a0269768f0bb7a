#pragma once
// PeerConnectionWatch: deadlines for connections between devices. A socket
// read waits only its receive timeout, but a client that sends a byte now and
// then (slow-loris) would pass every one of them; the watch shuts a socket
// down once its deadline passes, which ends any read or write blocked on it.
//
// The watch owns one thread. watch/extend/release may be called from any
// thread; a socket must be released before it is closed, so the watch never
// touches a descriptor number that was reused.

#include "hostapi/CheckedMutex.h"

#include <chrono>
#include <map>
#include <thread>

namespace Orvana {
namespace Host {

class PeerConnectionWatch {
public:
    typedef std::chrono::steady_clock Clock;
    typedef unsigned long Ticket;

    PeerConnectionWatch();
    ~PeerConnectionWatch();
    PeerConnectionWatch(const PeerConnectionWatch&) = delete;
    PeerConnectionWatch& operator=(const PeerConnectionWatch&) = delete;

    Ticket watch(int fd, Clock::time_point deadline);
    // Clock::time_point::max() means no deadline.
    void extend(Ticket ticket, Clock::time_point deadline);
    void release(Ticket ticket);
    // Shuts every watched socket down now, and any watched later (the owner
    // stops).
    void shutdownAll();
    // Whether the ticket's socket was shut down by the watch.
    bool expired(Ticket ticket) const;

    // Releases its ticket when the scope ends.
    class Scope {
    public:
        Scope(PeerConnectionWatch& watch, int fd, Clock::time_point deadline)
            : m_watch(watch), m_ticket(watch.watch(fd, deadline)) {}
        ~Scope() { release(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        void extend(Clock::time_point deadline) { m_watch.extend(m_ticket, deadline); }
        bool expired() const { return m_released ? false : m_watch.expired(m_ticket); }
        // Before the socket may be closed or handed on.
        void release() {
            if (!m_released) m_watch.release(m_ticket);
            m_released = true;
        }

    private:
        PeerConnectionWatch& m_watch;
        Ticket m_ticket;
        bool m_released = false;
    };

private:
    struct Entry {
        int fd;
        Clock::time_point deadline;
        bool expired;
    };
    void run();

    mutable Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_wake;
    std::map<Ticket, Entry> m_entries GUARDED_BY(m_mutex);
    Ticket m_next GUARDED_BY(m_mutex) = 1;
    bool m_stopping GUARDED_BY(m_mutex) = false;
    bool m_closed GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

}  // namespace Host
}  // namespace Orvana
