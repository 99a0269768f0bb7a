#pragma once
// SyncProxy: turns a web request into a message for a service and waits for
// the service's "SYNC" reply, matched by the fresh token in row
// "SyncProxyService" field "Token". HTTP threads call request; the dispatcher
// sink calls onReply on whichever thread the service replied from. A reply
// nobody waits for (late, duplicate or forged) is dropped.

#include "hostapi/CheckedMutex.h"
#include "hostapi/Message.h"

#include <boost/shared_ptr.hpp>

#include <map>
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
    std::string newToken() REQUIRES(m_mutex);

    Orvana::System::MessageDispatcher& m_dispatcher;
    Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_arrived;
    // token -> reply, null until it comes
    std::map<std::string, MessagePtr> m_waiting GUARDED_BY(m_mutex);
    unsigned long long m_counter GUARDED_BY(m_mutex) = 0;
    std::string m_prefix GUARDED_BY(m_mutex);
    bool m_closed GUARDED_BY(m_mutex) = false;
};

}  // namespace Host
}  // namespace Orvana
