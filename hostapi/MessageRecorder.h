#pragma once
// MessageRecorder: a dispatcher sink that keeps every message it receives,
// for tests and for the host's diagnostics. Thread-safe; waitFor blocks until
// a matching message has arrived or the timeout passes.

#include "hostapi/Message.h"

#include <Poco/Condition.h>
#include <Poco/Mutex.h>
#include <boost/shared_ptr.hpp>

#include <functional>
#include <vector>

namespace Orvana {
namespace HostKit {

class MessageRecorder {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    typedef std::function<bool(const Orvana::Data::Message&)> Predicate;

    void record(const MessagePtr& message);
    std::vector<MessagePtr> messages() const;
    void clear();
    // The first recorded message that matches, waiting up to timeoutMs for it.
    MessagePtr waitFor(Predicate predicate, long timeoutMs);
    // Messages for "SyncProxyService" whose "SyncProxyService"/"Token" is token.
    MessagePtr waitForReply(const std::string& token, long timeoutMs);

private:
    mutable Poco::Mutex m_mutex;  // guards m_messages
    Poco::Condition m_arrived;
    std::vector<MessagePtr> m_messages;
};

}  // namespace HostKit
}  // namespace Orvana
