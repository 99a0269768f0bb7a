#include "hostapi/MessageRecorder.h"

#include <Poco/Clock.h>

namespace Orvana {
namespace HostKit {

void MessageRecorder::record(const MessagePtr& message) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    m_messages.push_back(message);
    m_arrived.broadcast();
}

std::vector<MessageRecorder::MessagePtr> MessageRecorder::messages() const {
    Poco::Mutex::ScopedLock lock(m_mutex);
    return m_messages;
}

void MessageRecorder::clear() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    m_messages.clear();
}

MessageRecorder::MessagePtr MessageRecorder::waitFor(Predicate predicate, long timeoutMs) {
    Poco::Clock start;
    Poco::Mutex::ScopedLock lock(m_mutex);
    for (;;) {
        for (const MessagePtr& message : m_messages)
            if (message && predicate(*message)) return message;
        long remaining = timeoutMs - static_cast<long>(start.elapsed() / 1000);
        if (remaining <= 0) return MessagePtr();
        m_arrived.tryWait(m_mutex, remaining);
    }
}

MessageRecorder::MessagePtr MessageRecorder::waitForReply(const std::string& token,
                                                          long timeoutMs) {
    return waitFor(
        [&token](const Orvana::Data::Message& message) {
            if (message.getService() != "SyncProxyService" || !message.hasRow("SyncProxyService"))
                return false;
            // operator[] of an existing row does not change the message.
            const Orvana::Data::VariantField* field =
                const_cast<Orvana::Data::Message&>(message)["SyncProxyService"].find("Token");
            return field != nullptr && field->getString() == token;
        },
        timeoutMs);
}

}  // namespace HostKit
}  // namespace Orvana
