#include "hostapi/PeerLink.h"

#include "hostapi/HostControl.h"

#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace API {

POCO_IMPLEMENT_EXCEPTION(PeerUnreachableException, Poco::IOException,
                         "The device cannot be reached")

namespace {

// The three functions are copied out under the mutex and called without it:
// an exchange may take a minute, and a handler may itself start exchanges.
struct PeerLinkState {
    Orvana::Util::CheckedMutex mutex;
    Orvana::HostKit::HostControl::PeerConnector connector GUARDED_BY(mutex);
    Orvana::HostKit::HostControl::PeerProbe probe GUARDED_BY(mutex);
    PeerLink::Handler handler GUARDED_BY(mutex);
};

PeerLinkState& linkState() {
    // Never destroyed: listener threads may still deliver while the process exits.
    static PeerLinkState* s = new PeerLinkState;
    return *s;
}

}  // namespace

std::string PeerFrame::field(const std::string& name, const std::string& fallback) const {
    auto it = fields.find(name);
    return it == fields.end() ? fallback : it->second;
}

PeerFrame PeerLink::exchange(const Orvana::Data::PeerID& peer, const PeerFrame& request,
                             int timeoutSeconds) {
    Orvana::HostKit::HostControl::PeerConnector connector;
    {
        Orvana::Util::CheckedLock lock(linkState().mutex);
        connector = linkState().connector;
    }
    if (!connector) throw PeerUnreachableException("no connection to other devices");
    return connector(peer, request, timeoutSeconds);
}

bool PeerLink::reachable(const Orvana::Data::PeerID& peer) {
    Orvana::HostKit::HostControl::PeerProbe probe;
    {
        Orvana::Util::CheckedLock lock(linkState().mutex);
        probe = linkState().probe;
    }
    return probe && probe(peer);
}

void PeerLink::setHandler(Handler handler) {
    Orvana::Util::CheckedLock lock(linkState().mutex);
    linkState().handler = handler;
}

}  // namespace API

namespace HostKit {

void HostControl::setPeerConnector(PeerConnector connector) {
    Orvana::Util::CheckedLock lock(Orvana::API::linkState().mutex);
    Orvana::API::linkState().connector = connector;
}

void HostControl::setPeerProbe(PeerProbe probe) {
    Orvana::Util::CheckedLock lock(Orvana::API::linkState().mutex);
    Orvana::API::linkState().probe = probe;
}

Orvana::API::PeerFrame HostControl::deliverPeerRequest(const Orvana::Data::PeerID& from,
                                                       const Orvana::API::PeerFrame& request) {
    Orvana::API::PeerLink::Handler handler;
    {
        Orvana::Util::CheckedLock lock(Orvana::API::linkState().mutex);
        handler = Orvana::API::linkState().handler;
    }
    if (!handler) {
        Orvana::API::PeerFrame reply;
        reply.fields["error"] = "no backup service";
        return reply;
    }
    return handler(from, request);
}

}  // namespace HostKit
}  // namespace Orvana
