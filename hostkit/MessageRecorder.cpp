#include "hostapi/MessageRecorder.h"

#include <chrono>

namespace Orvana {
namespace HostKit {

void MessageRecorder::record(const MessagePtr& message) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_messages.push_back(message);
    m_arrived.notifyAll();
}

std::vector<MessageRecorder::MessagePtr> MessageRecorder::messages() const {
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_messages;
}

void MessageRecorder::clear() {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_messages.clear();
}

MessageRecorder::MessagePtr MessageRecorder::waitFor(Predicate predicate, long timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Orvana::Util::CheckedLock lock(m_mutex);
    for (;;) {
        for (const MessagePtr& message : m_messages)
            if (message && predicate(*message)) return message;
        if (std::chrono::steady_clock::now() >= deadline) return MessagePtr();
        m_arrived.waitUntil(m_mutex, deadline);
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
