#pragma once
// SyncProxy: turns a web request into a message for a service and waits for
// the service's "SYNC" reply, matched by the fresh token in row
// "SyncProxyService" field "Token". HTTP threads call request; the dispatcher
// sink calls onReply on whichever thread the service replied from. A reply
// nobody waits for (late, duplicate or forged) is dropped.

#include "hostapi/Message.h"

#include <boost/shared_ptr.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace Orvana {
namespace System {
class MessageDispatcher;
}
namespace Host {

class SyncProxy {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    enum Outcome { REPLIED, TIMED_OUT, CLOSED };

    explicit SyncProxy(Orvana::System::MessageDispatcher& dispatcher);

    // Stamps the request with a new token, sends it and waits up to timeoutMs.
    Outcome request(const MessagePtr& message, long timeoutMs, MessagePtr& reply);
    void onReply(const MessagePtr& reply);
    // Wakes every waiter with CLOSED and refuses later requests (shutdown).
    void close();

private:
    std::string newToken();

    Orvana::System::MessageDispatcher& m_dispatcher;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_arrived;
    std::map<std::string, MessagePtr> m_waiting;  // token -> reply, null until it comes
    unsigned long long m_counter = 0;
    std::string m_prefix;
    bool m_closed = false;
};

}  // namespace Host
}  // namespace Orvana
