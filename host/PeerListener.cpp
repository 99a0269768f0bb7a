#include "host/PeerListener.h"

#include "host/PeerFrameCodec.h"
#include "host/PeerFrameStream.h"
#include "host/PeerTls.h"
#include "hostapi/HostControl.h"

#include <Poco/Logger.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>

#include <exception>

namespace Orvana {
namespace Host {

using Orvana::API::PeerFrame;
using Orvana::Data::PeerID;
typedef PeerConnectionWatch::Clock Clock;

namespace {

Poco::Logger& logger() { return Poco::Logger::get("peers"); }

PeerFrame frameWith(const std::string& name, const std::string& value) {
    PeerFrame frame;
    frame.fields[name] = value;
    return frame;
}

PeerFrame errorReply(const std::string& text) { return frameWith("error", text); }

// One connection from another device, on a thread of the listener's pool.
class PeerServerConnection : public Poco::Net::TCPServerConnection {
public:
    PeerServerConnection(const Poco::Net::StreamSocket& socket, PeerListener& listener)
        : Poco::Net::TCPServerConnection(socket), m_listener(listener) {}

    void run() override {
        std::string client = "a client";
        try {
            client = socket().peerAddress().toString();
            Poco::Net::SecureStreamSocket tls(socket());
            const PeerListener::Limits& limits = m_listener.limits();
            PeerConnectionWatch::Scope watch(
                m_listener.watch(), tls.impl()->sockfd(),
                Clock::now() + std::chrono::seconds(limits.handshakeSeconds));
            tls.setReceiveTimeout(Poco::Timespan(limits.idleSeconds, 0));
            tls.setSendTimeout(Poco::Timespan(limits.idleSeconds, 0));
            tls.setNoDelay(true);
            tls.completeHandshake();
            const std::string fingerprint = PeerTls::peerFingerprint(tls);
            const PeerID from = m_listener.devices().trustedWith(fingerprint);
            if (!from.isValid()) {
                logger().warning("Refused a device from " + client +
                                 " whose certificate is not trusted (" + fingerprint + ")");
                PeerFrameStream::write(tls, frameWith("refused", "not trusted"));
                return;
            }
            if (!m_listener.enter(from)) {
                logger().warning("Refused a connection from " + from.toString() +
                                 ": too many at once");
                PeerFrameStream::write(tls, frameWith("refused", "busy"));
                return;
            }
            try {
                serve(tls, watch, from, fingerprint);
            } catch (...) {
                m_listener.leave(from);
                throw;
            }
            m_listener.leave(from);
        } catch (PeerFrameRefusedException& e) {
            logger().warning("Refused a frame from " + client + ": " + e.message());
        } catch (Poco::Exception& e) {
            logger().debug("Connection from " + client + " ended: " + e.displayText());
        } catch (std::exception& e) {
            logger().error("Connection from " + client + " failed: " + e.what());
        }
    }

private:
    Clock::time_point frameDeadline(Clock::time_point start, std::size_t size) const {
        const PeerListener::Limits& limits = m_listener.limits();
        return start + std::chrono::seconds(limits.idleSeconds) +
               std::chrono::seconds(size / limits.minRate);
    }

    void serve(Poco::Net::SecureStreamSocket& tls, PeerConnectionWatch::Scope& watch,
               const PeerID& from, const std::string& fingerprint) {
        PeerFrameStream::write(tls, frameWith("accepted", "1"));
        for (;;) {
            // Idle between requests: the receive timeout alone ends it.
            watch.extend(Clock::time_point::max());
            Clock::time_point start;
            PeerFrame request;
            const bool got = PeerFrameStream::read(tls, request, [&](std::size_t size) {
                if (size == 0) start = Clock::now();
                watch.extend(frameDeadline(start, size));
            });
            if (!got) return;
            // Trust may have been withdrawn while the connection was open.
            if (m_listener.devices().trustedWith(fingerprint) != from) {
                logger().warning("Closed the connection of " + from.toString() +
                                 ": no longer trusted");
                return;
            }
            watch.extend(Clock::time_point::max());
            PeerFrame reply = deliver(from, request);
            const PeerFrameCodec::Error error = PeerFrameCodec::check(reply);
            if (error != PeerFrameCodec::Error::None) {
                logger().error(std::string("A reply to ") + from.toString() + " is not sent: " +
                               PeerFrameCodec::describe(error));
                reply = errorReply("reply over the frame limits");
            }
            watch.extend(frameDeadline(Clock::now(), reply.body.size()));
            PeerFrameStream::write(tls, reply);
        }
    }

    static PeerFrame deliver(const PeerID& from, const PeerFrame& request) {
        try {
            return Orvana::HostKit::HostControl::deliverPeerRequest(from, request);
        } catch (Poco::Exception& e) {
            logger().error("A request of " + from.toString() + " failed: " + e.displayText());
        } catch (std::exception& e) {
            logger().error("A request of " + from.toString() + " failed: " + e.what());
        }
        return errorReply("the request failed");
    }

    PeerListener& m_listener;
};

class PeerConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    explicit PeerConnectionFactory(PeerListener& listener) : m_listener(listener) {}
    Poco::Net::TCPServerConnection* createConnection(
        const Poco::Net::StreamSocket& socket) override {
        return new PeerServerConnection(socket, m_listener);
    }

private:
    PeerListener& m_listener;
};

}  // namespace

PeerListener::PeerListener(const DeviceIdentity& identity, PairedDevices& devices,
                           const Limits& limits)
    : m_devices(devices),
      m_limits(limits),
      m_context(PeerTls::serverContext(identity)),
      m_pool(1, limits.maxConnections + 2) {}

PeerListener::~PeerListener() { stop(); }

void PeerListener::bind(const std::string& address, int port) {
    Poco::Net::SecureServerSocket socket(m_context);
    const Poco::UInt16 number = static_cast<Poco::UInt16>(port);
    if (address.empty()) {
        try {
            // Both families on one socket where the system has IPv6.
            socket.bind6(Poco::Net::SocketAddress(Poco::Net::IPAddress::wildcard(
                                                      Poco::Net::IPAddress::IPv6),
                                                  number),
                         true, false, false);
        } catch (Poco::Exception& e) {
            if (e.code() == EADDRINUSE) throw;
            socket = Poco::Net::SecureServerSocket(m_context);
            socket.bind(Poco::Net::SocketAddress(Poco::Net::IPAddress(), number), true, false);
        }
    } else {
        socket.bind(Poco::Net::SocketAddress(address, number), true, false);
    }
    socket.listen(64);
    m_port = socket.address().port();
    Poco::Net::TCPServerParams::Ptr params(new Poco::Net::TCPServerParams);
    params->setMaxThreads(m_limits.maxConnections);
    // Past these the dispatcher closes new connections unanswered.
    params->setMaxQueued(m_limits.maxConnections);
    m_server.reset(
        new Poco::Net::TCPServer(new PeerConnectionFactory(*this), m_pool, socket, params));
}

void PeerListener::start() {
    if (m_server) m_server->start();
}

int PeerListener::port() const { return m_port; }

void PeerListener::stop() {
    if (!m_server) return;
    m_server->stop();
    m_watch.shutdownAll();
    m_pool.joinAll();
    m_server.reset();
}

bool PeerListener::enter(const PeerID& peer) {
    Orvana::Util::CheckedLock lock(m_mutex);
    int& count = m_perPeer[peer];
    if (count >= m_limits.maxPerPeer) return false;
    ++count;
    return true;
}

void PeerListener::leave(const PeerID& peer) {
    Orvana::Util::CheckedLock lock(m_mutex);
    auto it = m_perPeer.find(peer);
    if (it != m_perPeer.end() && --it->second <= 0) m_perPeer.erase(it);
}

}  // namespace Host
}  // namespace Orvana
