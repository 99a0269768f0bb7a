#pragma once
// DevicesHandler: the page's view of pairing, under the session token.
//   GET  /api/host/devices
//        {"fingerprint": this device's, "peer": this device's peer id,
//         "port": the peer port (0: not listening),
//         "devices": [{"peer", "fingerprint", "address", "reachable"}]}
//   POST /api/host/devices?action=add&peer=P&fingerprint=F[&address=HOST:PORT]
//   POST /api/host/devices?action=remove&peer=P
//        the same document after the change; 400 (or 404 for an unknown
//        peer) with {"error": text} when nothing changed.
// One object per request, on an HTTP server thread.

#include "host/HostContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

namespace Orvana {
namespace Host {

class DevicesHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit DevicesHandler(const HostContext& context);
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

private:
    // The GET document; each device probed at once, side by side.
    std::string document() const;

    const HostContext& m_context;
};

}  // namespace Host
}  // namespace Orvana
