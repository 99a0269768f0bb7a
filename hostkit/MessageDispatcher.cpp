#include "hostapi/MessageDispatcher.h"

#include "hostapi/Service.h"

namespace Orvana {
namespace System {

MessageDispatcher::MessageDispatcher() {}

MessageDispatcher::~MessageDispatcher() {}

bool MessageDispatcher::registerMessageHandler(Service* service,
                                               boost::shared_ptr<MessageEventInfo> info) {
    if (service == nullptr || !info) return false;
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_handlers.emplace(service->name(), info).second;
}

bool MessageDispatcher::unRegisterMessageHandler(Service* service) {
    if (service == nullptr) return false;
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_handlers.erase(service->name()) != 0;
}

bool MessageDispatcher::isRegistered(const std::string& serviceName) const {
    Orvana::Util::CheckedLock lock(m_mutex);
    return m_handlers.count(serviceName) != 0;
}

void MessageDispatcher::sendMessage(boost::shared_ptr<Orvana::Data::Message> message) {
    if (!message) return;
    boost::shared_ptr<MessageEventInfo> info;
    Sink sink;
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        auto it = m_handlers.find(message->getService());
        if (it != m_handlers.end())
            info = it->second;
        else
            sink = m_sink;
    }
    // Outside the lock: handlers and the sink may send messages themselves.
    if (info)
        info->messageEvent.notify(this, message);
    else if (sink)
        sink(message);
}

void MessageDispatcher::setSink(Sink sink) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_sink = sink;
}

}  // namespace System
}  // namespace Orvana
