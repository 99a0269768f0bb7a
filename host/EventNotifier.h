#pragma once
// EventNotifier: host events for services. Services subscribe with
// "EventNotifier" SUBSCRIBE (owner, event) and drop all their subscriptions
// with UNSUBSCRIBEALL; fire sends each subscriber a
// "HOSTKIT_EVENT_NOTIFICATION" with row "EVENT" field "EVENT_NAME". Any thread
// may call any method; delivery happens on the firing thread, unlocked.

#include "hostapi/CheckedMutex.h"
#include "hostapi/Message.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace Orvana {
namespace Host {

class EventNotifier {
public:
    typedef boost::shared_ptr<Orvana::Data::Message> MessagePtr;
    typedef std::function<void(const MessagePtr&)> Deliver;

    explicit EventNotifier(Deliver deliver);

    void handle(const MessagePtr& message);
    void subscribe(const std::string& owner, const std::string& event);
    void unsubscribeAll(const std::string& owner);
    // Sends the event to every subscriber; returns how many got it.
    size_t fire(const std::string& event);
    std::set<std::string> subscribers(const std::string& event) const;

private:
    Deliver m_deliver;
    mutable Orvana::Util::CheckedMutex m_mutex;
    std::map<std::string, std::set<std::string>> m_subscribers GUARDED_BY(m_mutex);  // event -> owners
};

}  // namespace Host
}  // namespace Orvana
