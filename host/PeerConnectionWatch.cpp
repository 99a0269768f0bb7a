#include "host/PeerConnectionWatch.h"

#include <sys/socket.h>

namespace Orvana {
namespace Host {

PeerConnectionWatch::PeerConnectionWatch() : m_thread([this] { run(); }) {}

PeerConnectionWatch::~PeerConnectionWatch() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notifyAll();
    m_thread.join();
}

PeerConnectionWatch::Ticket PeerConnectionWatch::watch(int fd, Clock::time_point deadline) {
    Orvana::Util::CheckedLock lock(m_mutex);
    const Ticket ticket = m_next++;
    m_entries[ticket] = Entry{fd, deadline, m_closed};
    if (m_closed) ::shutdown(fd, SHUT_RDWR);
    m_wake.notifyAll();
    return ticket;
}

void PeerConnectionWatch::extend(Ticket ticket, Clock::time_point deadline) {
    Orvana::Util::CheckedLock lock(m_mutex);
    auto it = m_entries.find(ticket);
    if (it != m_entries.end() && !it->second.expired) it->second.deadline = deadline;
    m_wake.notifyAll();
}

void PeerConnectionWatch::release(Ticket ticket) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_entries.erase(ticket);
}

bool PeerConnectionWatch::expired(Ticket ticket) const {
    Orvana::Util::CheckedLock lock(m_mutex);
    auto it = m_entries.find(ticket);
    return it != m_entries.end() && it->second.expired;
}

void PeerConnectionWatch::shutdownAll() {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_closed = true;
    for (auto& entry : m_entries) {
        ::shutdown(entry.second.fd, SHUT_RDWR);
        entry.second.expired = true;
    }
}

void PeerConnectionWatch::run() {
    Orvana::Util::CheckedLock lock(m_mutex);
    while (!m_stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (auto& entry : m_entries) {
            Entry& e = entry.second;
            if (e.expired) continue;
            if (e.deadline <= now) {
                // Under the lock: release() cannot run, so the fd is still ours.
                ::shutdown(e.fd, SHUT_RDWR);
                e.expired = true;
            } else if (e.deadline < next) {
                next = e.deadline;
            }
        }
        if (next == Clock::time_point::max()) {
            m_wake.wait(m_mutex);
        } else {
            m_wake.waitUntil(m_mutex, next);
        }
    }
}

}  // namespace Host
}  // namespace Orvana
