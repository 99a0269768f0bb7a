#pragma once
// HostServices: the host's end of the message bus. Owns the dispatcher and
// the services the plug-in sends messages to (timers, events, the proxy that
// waits for the replies to web requests, the desktop notices of failures),
// and routes each message of the plug-in to its service by name.
//
// Made, started, stopped and destroyed on the main thread; the services bring
// their own threads. Between start() and stop() the dispatcher delivers on the
// senders' threads, so the services must outlive stop(): they do, as members.

#include "host/EventNotifier.h"
#include "host/FailureNoticeHandler.h"
#include "host/HostSettings.h"
#include "host/SyncProxy.h"
#include "host/TimerService.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/PoManager.h"

namespace Poco {
class Logger;
}

namespace Orvana {
namespace Host {

class HostServices {
public:
    HostServices(const HostSettings& settings, Poco::Logger& log);
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Routes the messages and starts the timers; before the plug-in starts.
    void start();
    // Stops the timers and drops the messages still sent; after the plug-in
    // has stopped.
    void stop();

    Orvana::System::MessageDispatcher& dispatcher() { return m_dispatcher; }
    SyncProxy& syncProxy() { return m_syncProxy; }
    EventNotifier& events() { return m_events; }

private:
    void route(const boost::shared_ptr<Orvana::Data::Message>& message);

    Poco::Logger& m_log;
    // Declared before the services that deliver through it, so it outlives them.
    Orvana::System::MessageDispatcher m_dispatcher;
    TimerService m_timers;
    EventNotifier m_events;
    SyncProxy m_syncProxy;
    // Its own catalogue: the plug-in's comes and goes with the plug-in.
    Orvana::Util::PoManager m_noticeTexts;
    FailureNoticeHandler m_notices;
};

}  // namespace Host
}  // namespace Orvana
