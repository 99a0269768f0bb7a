#pragma once
// MessageWorkNotification: a message waiting in a service's
// Poco::NotificationQueue.

#include "hostapi/Message.h"

#include <Poco/Notification.h>
#include <boost/shared_ptr.hpp>

namespace Orvana {
namespace System {

class MessageWorkNotification : public Poco::Notification {
public:
    explicit MessageWorkNotification(const boost::shared_ptr<Orvana::Data::Message>& message)
        : m_message(message) {}
    boost::shared_ptr<Orvana::Data::Message> getMessage() const { return m_message; }

private:
    boost::shared_ptr<Orvana::Data::Message> m_message;
};

}  // namespace System
}  // namespace Orvana
