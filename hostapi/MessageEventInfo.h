#pragma once
// MessageEventInfo: a service's registration with the dispatcher. The service
// adds a delegate to messageEvent; the dispatcher fires it (on the sending
// thread) for every message addressed to that service.

#include "hostapi/Message.h"

#include <Poco/BasicEvent.h>
#include <boost/shared_ptr.hpp>

namespace Orvana {
namespace System {

class MessageEventInfo {
public:
    Poco::BasicEvent<boost::shared_ptr<Orvana::Data::Message>> messageEvent;
};

}  // namespace System
}  // namespace Orvana
