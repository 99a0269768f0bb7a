#pragma once
// DesktopNotifier: shows a failure notice on the person's desktop through the
// session bus's notification service (org.freedesktop.Notifications.Notify):
// a translated title, the record's source and the reason. With no session bus
// or no notification service (a host on a server, or before login) it logs
// that and does nothing else.
//
// Each notice opens its own bus connection, so no connection outlives a
// desktop session. Calls block up to the timeout; call it from one thread at
// a time (the notice handler's own), never from the message thread.

#include "host/FailureNotice.h"

#include <chrono>
#include <functional>
#include <string>

namespace Orvana {
namespace Host {

class DesktopNotifier {
public:
    typedef std::function<std::string(const std::string&)> Translate;

    // busAddress "": the session bus of the environment
    // (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus).
    DesktopNotifier(std::string busAddress, Translate translate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // True when the notification service took it; failures are logged.
    bool notify(const FailureNotice& notice) const;

    // The notification's title and body; the body holds markup-escaped text
    // when `markup` (the service reads markup), and is valid UTF-8 either way.
    std::string title(const FailureNotice& notice) const;
    static std::string body(const FailureNotice& notice, bool markup);

private:
    std::string m_busAddress;
    Translate m_translate;
    std::chrono::milliseconds m_timeout;
};

}  // namespace Host
}  // namespace Orvana
