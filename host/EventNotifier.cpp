#include "host/EventNotifier.h"

#include "hostapi/MessageUtil.h"

#include <Poco/Logger.h>

namespace Orvana {
namespace Host {

using Orvana::Misc::MessageUtil;

EventNotifier::EventNotifier(Deliver deliver) : m_deliver(std::move(deliver)) {}

void EventNotifier::handle(const MessagePtr& message) {
    Orvana::Data::VariantRow& row = (*message)[MessageUtil::EVENT_NOTIFIER];
    const std::string owner = row["Owner"].getString();
    if (message->getOperation() == "SUBSCRIBE") {
        subscribe(owner, row["Event"].getString());
    } else if (message->getOperation() == "UNSUBSCRIBEALL") {
        unsubscribeAll(owner);
    } else {
        Poco::Logger::get("host").warning("EventNotifier: unknown operation " +
                                          message->getOperation());
    }
}

void EventNotifier::subscribe(const std::string& owner, const std::string& event) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_subscribers[event].insert(owner);
}

void EventNotifier::unsubscribeAll(const std::string& owner) {
    Orvana::Util::CheckedLock lock(m_mutex);
    for (auto it = m_subscribers.begin(); it != m_subscribers.end();) {
        it->second.erase(owner);
        it = it->second.empty() ? m_subscribers.erase(it) : std::next(it);
    }
}

std::set<std::string> EventNotifier::subscribers(const std::string& event) const {
    Orvana::Util::CheckedLock lock(m_mutex);
    auto it = m_subscribers.find(event);
    return it == m_subscribers.end() ? std::set<std::string>() : it->second;
}

size_t EventNotifier::fire(const std::string& event) {
    const std::set<std::string> owners = subscribers(event);
    for (const std::string& owner : owners) {
        MessagePtr message = MessageUtil::createNewMessage(owner, MessageUtil::EVENT_OPERATION);
        (*message)["EVENT"]["EVENT_NAME"] = event;
        message->setFromService(MessageUtil::EVENT_NOTIFIER);
        message->setAuthKey(Orvana::Data::AuthKey::host());
        m_deliver(message);
    }
    Poco::Logger::get("host").information("Event " + event + " sent to " +
                                          std::to_string(owners.size()) + " subscriber(s)");
    return owners.size();
}

}  // namespace Host
}  // namespace Orvana
