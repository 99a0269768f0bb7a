#pragma once
// MessageRecorder: a dispatcher sink that keeps every message it receives,
// for tests and for the host's diagnostics. Thread-safe; waitFor blocks until
// a matching message has arrived or the timeout passes.

#include <boost/shared_ptr.hpp>
#include <functional>
#include <vector>

#include "hostapi/CheckedMutex.h"
#include "hostapi/Message.h"

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
    // The predicate runs under the recorder's lock: it must not call the
    // recorder.
    MessagePtr waitFor(Predicate predicate, long timeoutMs);
    // Messages for "SyncProxyService" whose "SyncProxyService"/"Token" is token.
    MessagePtr waitForReply(const std::string& token, long timeoutMs);

private:
    mutable Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_arrived;
    std::vector<MessagePtr> m_messages GUARDED_BY(m_mutex);
};

}  // namespace HostKit
}  // namespace Orvana
