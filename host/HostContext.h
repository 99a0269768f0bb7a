#pragma once
// HostContext: what the HTTP handlers need from the running host. Filled once
// by HostApplication before the server starts; the objects it points to
// outlive the server, and the handlers only read the plain values.

#include <string>

namespace Orvana {
namespace System {
class MessageDispatcher;
}
namespace Host {

class HostGuard;
class PairedDevices;
class PeerConnector;
class SyncProxy;
class EventNotifier;
struct PluginIdentity;

struct HostContext {
    const HostGuard* guard = nullptr;
    SyncProxy* syncProxy = nullptr;
    EventNotifier* events = nullptr;
    Orvana::System::MessageDispatcher* dispatcher = nullptr;
    const PluginIdentity* plugin = nullptr;
    std::string serviceName;  // the plug-in's service, addressed by /api/<serviceName>/
    std::string uiRoot;       // folder holding the page's files
    long replyTimeoutMs = 30000;
    // Pairing: null, "" and 0 when this device has no identity or no listener.
    PairedDevices* devices = nullptr;
    PeerConnector* connector = nullptr;
    std::string deviceFingerprint;
    int peerPort = 0;
};

}  // namespace Host
}  // namespace Orvana
