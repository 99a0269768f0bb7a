#pragma once
// PeerListener: the port other devices connect to (apart from the page's: it
// speaks only the frame protocol, never HTTP, and knows no web token). Each
// connection must finish a TLS 1.3 handshake with a certificate whose
// fingerprint is trusted; its requests then go to the plug-in through
// HostControl::deliverPeerRequest, with the sender that the certificate
// proved.
//
// Once the handshake is done the listener sends a greeting frame: "accepted"
// = "1", or "refused" = a reason ("not trusted", "busy") before it closes;
// so a client knows at once whether it may send (in TLS 1.3 its own
// handshake ends before the server has judged its certificate).
//
// Limits (see Limits): so many connections at once (more are closed
// unanswered), fewer per trusted device; the handshake must end within a few
// seconds; a connection that sends nothing for the idle time is closed; a
// frame, once started, must arrive within the idle time plus a second per
// minRate bytes; a frame over the size limits or malformed closes the
// connection.
//
// Made, started and stopped on the main thread; its connections run on a
// pool of their own. The paired devices and the identity must outlive it.

#include "host/DeviceIdentity.h"
#include "host/PairedDevices.h"
#include "host/PeerConnectionWatch.h"
#include "hostapi/CheckedMutex.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace Orvana {
namespace Host {

struct PeerListenerLimits {
    int maxConnections = 32;
    int maxPerPeer = 8;
    int handshakeSeconds = 10;
    int idleSeconds = 30;
    std::size_t minRate = 128 * 1024;  // bytes per second
};

class PeerListener {
public:
    typedef PeerListenerLimits Limits;

    PeerListener(const DeviceIdentity& identity, PairedDevices& devices,
                 const Limits& limits = Limits());
    ~PeerListener();
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    // Binds the port; address "" means every address (IPv6 and IPv4 where the
    // system has both). Throws Poco::Exception (code EADDRINUSE for a port in
    // use).
    void bind(const std::string& address, int port);
    void start();
    // The bound port; 0 before bind.
    int port() const;
    // No new connection; open ones are cut and waited for.
    void stop();

    // Used by the connections.
    bool enter(const Orvana::Data::PeerID& peer);
    void leave(const Orvana::Data::PeerID& peer);
    PairedDevices& devices() { return m_devices; }
    const Limits& limits() const { return m_limits; }
    PeerConnectionWatch& watch() { return m_watch; }

private:
    PairedDevices& m_devices;
    const Limits m_limits;
    PeerConnectionWatch m_watch;
    Poco::Net::Context::Ptr m_context;
    Poco::ThreadPool m_pool;
    std::unique_ptr<Poco::Net::TCPServer> m_server;
    int m_port = 0;

    Orvana::Util::CheckedMutex m_mutex;
    std::map<Orvana::Data::PeerID, int> m_perPeer GUARDED_BY(m_mutex);
};

}  // namespace Host
}  // namespace Orvana
