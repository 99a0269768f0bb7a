#pragma once
// PeerLink: how the plug-in exchanges requests with the backup service of
// another device. The host carries each exchange over mutually authenticated
// TLS to a device it trusts (paired by certificate fingerprint); the plug-in
// sees only frames, never sockets, addresses or certificates.
//
// One exchange is one request frame and one reply frame. A frame is a small
// set of named text fields and an optional body of raw bytes (file content).
// The host bounds both (see README, "Backup to another device"); a frame over
// the bounds is refused before it is sent.
//
// Threads: `exchange` and `reachable` may be called from any thread, several
// at once (each backup worker calls them from its own). The handler set with
// `setHandler` is called on the host's listener threads, possibly several at
// once, and must be thread-safe; `setHandler` itself may be called at any
// time and does not wait for calls already running.

#include "hostapi/PeerID.h"

#include <Poco/Exception.h>

#include <functional>
#include <map>
#include <string>

namespace Orvana {
namespace API {

struct PeerFrame {
    std::map<std::string, std::string> fields;  // names: [a-z0-9_]+; values: any bytes
    std::string body;

    // The field's value, or fallback when absent.
    std::string field(const std::string& name, const std::string& fallback = "") const;
};

// The peer is not paired, has no known address, did not answer, failed the
// certificate check, or the connection broke before the whole reply came.
// message() is a short English reason for the log.
POCO_DECLARE_EXCEPTION(, PeerUnreachableException, Poco::IOException)

class PeerLink {
public:
    // Sends the request to the peer and waits for its reply (at most
    // `timeoutSeconds` of silence). Throws PeerUnreachableException.
    static PeerFrame exchange(const Orvana::Data::PeerID& peer, const PeerFrame& request,
                              int timeoutSeconds = 60);

    // True when the peer is paired, has an address and completed a TLS
    // handshake within a couple of seconds (a result may be cached briefly).
    static bool reachable(const Orvana::Data::PeerID& peer);

    // Answers requests that come from peers. `from` is the device that the
    // connection's certificate proved, never a value read from the frame.
    typedef std::function<PeerFrame(const Orvana::Data::PeerID& from, const PeerFrame& request)>
        Handler;
    // The plug-in installs its handler at start-up and removes it (empty
    // function) at shutdown.
    static void setHandler(Handler handler);
};

}  // namespace API
}  // namespace Orvana
