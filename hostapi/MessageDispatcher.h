#pragma once
// MessageDispatcher: routes messages between the host and its services.
//
// sendMessage delivers a message addressed to a registered service (by
// Message::getService() == Service::name()) by firing that service's
// registration event on the calling thread; every other message (replies for
// "SyncProxyService", timer and event-notifier requests) goes to the sink that
// the embedding program installed. Thread-safe: register, unregister and send
// may be called from any thread; the internal mutex is not held while a
// handler or the sink runs, so both may send messages themselves.

#include "hostapi/CheckedMutex.h"
#include "hostapi/Message.h"
#include "hostapi/MessageEventInfo.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <map>
#include <string>

namespace Orvana {
namespace System {

class Service;

class MessageDispatcher {
public:
    typedef std::function<void(const boost::shared_ptr<Orvana::Data::Message>&)> Sink;

    MessageDispatcher();
    ~MessageDispatcher();

    // False when the service (by name) is already registered.
    bool registerMessageHandler(Service* service, boost::shared_ptr<MessageEventInfo> info);
    // False when the service is not registered.
    bool unRegisterMessageHandler(Service* service);
    bool isRegistered(const std::string& serviceName) const;

    void sendMessage(boost::shared_ptr<Orvana::Data::Message> message);

    // Where messages for unregistered services go; none installed: dropped.
    void setSink(Sink sink);

private:
    mutable Orvana::Util::CheckedMutex m_mutex;
    std::map<std::string, boost::shared_ptr<MessageEventInfo>> m_handlers GUARDED_BY(m_mutex);
    Sink m_sink GUARDED_BY(m_mutex);
};

}  // namespace System
}  // namespace Orvana
