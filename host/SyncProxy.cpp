#include "host/SyncProxy.h"

#include "host/HostGuard.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"

#include <Poco/Logger.h>

#include <chrono>

namespace Orvana {
namespace Host {

SyncProxy::SyncProxy(Orvana::System::MessageDispatcher& dispatcher)
    : m_dispatcher(dispatcher), m_prefix(HostGuard::randomToken().substr(0, 12)) {}

std::string SyncProxy::newToken() {
    // Random per run and counted within it: unique, and not guessable by a
    // service that would like to answer someone else's request.
    return m_prefix + "-" + std::to_string(++m_counter);
}

SyncProxy::Outcome SyncProxy::request(const MessagePtr& message, long timeoutMs,
                                      MessagePtr& reply) {
    std::string token;
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        if (m_closed) return CLOSED;
        token = newToken();
        m_waiting[token] = MessagePtr();
    }
    (*message)[Orvana::Misc::MessageUtil::SYNC_PROXY_SERVICE]["Token"] = token;
    try {
        m_dispatcher.sendMessage(message);
    } catch (...) {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_waiting.erase(token);
        throw;
    }

    Orvana::Util::CheckedLock lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_closed && !m_waiting[token]) {
        if (!m_arrived.waitUntil(m_mutex, deadline)) break;
    }
    reply = m_waiting[token];
    m_waiting.erase(token);
    if (reply) return REPLIED;
    return m_closed ? CLOSED : TIMED_OUT;
}

void SyncProxy::onReply(const MessagePtr& reply) {
    const std::string token =
        (*reply)[Orvana::Misc::MessageUtil::SYNC_PROXY_SERVICE]["Token"].getString();
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        auto it = m_waiting.find(token);
        if (it != m_waiting.end() && !it->second) {
            it->second = reply;
            m_arrived.notifyAll();
            return;
        }
    }
    Poco::Logger::get("host").debug("Dropping a reply nobody waits for, token [" + token + "]");
}

void SyncProxy::close() {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_closed = true;
    m_arrived.notifyAll();
}

}  // namespace Host
}  // namespace Orvana
