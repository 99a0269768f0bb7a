#pragma once
// Service: the base of every object the host creates through a plug-in's
// class-loader manifest. The host owns it and deletes it through this
// destructor. Call order: init, startup, (messages via onMessage), shutdown.

#include <boost/shared_ptr.hpp>

#include <string>

namespace Orvana {
namespace Data {
class Message;
}
namespace System {

class MessageDispatcher;

class Service {
public:
    virtual ~Service() {}
    virtual bool init(const std::string& pluginPath) = 0;
    virtual const std::string& name() const = 0;
    virtual bool startup(MessageDispatcher* dispatcher) = 0;
    virtual bool shutdown() = 0;
    // Called on host threads with each message addressed to the service.
    virtual void onMessage(const void* sender, boost::shared_ptr<Orvana::Data::Message>& message) = 0;
};

}  // namespace System
}  // namespace Orvana
