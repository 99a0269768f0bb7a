#include "host/PeerConnector.h"

#include "host/PeerFrameCodec.h"
#include "host/PeerFrameStream.h"
#include "host/PeerTls.h"

#include <Poco/Logger.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

namespace Orvana {
namespace Host {

using Orvana::API::PeerFrame;
using Orvana::API::PeerUnreachableException;
using Orvana::Data::PeerID;

namespace {

Poco::Logger& logger() { return Poco::Logger::get("peers"); }

// A failure on a kept connection before any reply came: the other side may
// have restarted or dropped it, so one fresh connection is tried.
struct StaleConnection {
    std::string reason;
};

}  // namespace

PeerConnector::PeerConnector(const DeviceIdentity& identity, PairedDevices& devices)
    : m_devices(devices), m_context(PeerTls::clientContext(identity)) {}

PeerConnector::~PeerConnector() { close(); }

void PeerConnector::close() {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_closed = true;
    m_kept.clear();
    m_watch.shutdownAll();
}

PairedDevice PeerConnector::trustedDevice(const PeerID& peer) const {
    PairedDevice device;
    if (!m_devices.find(peer, device) || device.fingerprint.empty())
        throw PeerUnreachableException("not paired");
    if (device.address.empty()) throw PeerUnreachableException("no address known");
    return device;
}

std::unique_ptr<PeerConnector::Connection> PeerConnector::open(const PairedDevice& device,
                                                              int seconds) {
    std::unique_ptr<Connection> connection(new Connection{
        Poco::Net::SecureStreamSocket(m_context), device.fingerprint, device.address,
        Clock::now()});
    Poco::Net::SecureStreamSocket& socket = connection->socket;
    try {
        const Poco::Net::SocketAddress address(device.address);
        socket.setLazyHandshake(true);
        socket.connect(address, Poco::Timespan(seconds, 0));
        // The handshake's reads each wait the timeout; the watch bounds them all.
        PeerConnectionWatch::Scope watch(m_watch, socket.impl()->sockfd(),
                                         Clock::now() + std::chrono::seconds(seconds));
        socket.setReceiveTimeout(Poco::Timespan(seconds, 0));
        socket.setSendTimeout(Poco::Timespan(seconds, 0));
        socket.setNoDelay(true);
        socket.completeHandshake();
        const std::string fingerprint = PeerTls::peerFingerprint(socket);
        if (fingerprint != device.fingerprint) {
            logger().warning("The device at " + device.address + " is not " +
                             device.peer.toString() + ": its certificate's fingerprint is " +
                             fingerprint);
            throw PeerUnreachableException("the device's certificate is not the trusted one");
        }
        // The other side's verdict on this device's certificate.
        PeerFrame greeting;
        if (!PeerFrameStream::read(socket, greeting))
            throw PeerUnreachableException("the device closed the connection");
        if (greeting.field("accepted") != "1") {
            const std::string refused = greeting.field("refused", "no greeting");
            throw PeerUnreachableException(refused == "not trusted"
                                               ? "the device does not trust this one"
                                               : "the device refused: " + refused);
        }
    } catch (PeerUnreachableException&) {
        throw;
    } catch (Poco::Exception& e) {
        throw PeerUnreachableException("no connection to " + device.address + ": " + e.message());
    }
    return connection;
}

std::unique_ptr<PeerConnector::Connection> PeerConnector::takeKept(const PairedDevice& device) {
    Orvana::Util::CheckedLock lock(m_mutex);
    auto it = m_kept.find(device.peer);
    if (it == m_kept.end()) return nullptr;
    std::vector<std::unique_ptr<Connection>>& kept = it->second;
    while (!kept.empty()) {
        std::unique_ptr<Connection> connection = std::move(kept.back());
        kept.pop_back();
        // A device paired anew, or moved, is connected to afresh.
        if (connection->fingerprint == device.fingerprint &&
            connection->address == device.address &&
            Clock::now() - connection->lastUsed < std::chrono::seconds(KEEP_S)) {
            return connection;
        }
    }
    return nullptr;
}

void PeerConnector::keep(const PeerID& peer, std::unique_ptr<Connection> connection) {
    connection->lastUsed = Clock::now();
    Orvana::Util::CheckedLock lock(m_mutex);
    if (m_closed) return;
    std::vector<std::unique_ptr<Connection>>& kept = m_kept[peer];
    if (kept.size() < KEEP_PER_PEER) kept.push_back(std::move(connection));
}

void PeerConnector::remember(const PeerID& peer, bool reachable) {
    Orvana::Util::CheckedLock lock(m_mutex);
    m_probes[peer] = {Clock::now(), reachable};
}

PeerFrame PeerConnector::exchange(const PeerID& peer, const PeerFrame& request,
                                  int timeoutSeconds) {
    const PeerFrameCodec::Error error = PeerFrameCodec::check(request);
    if (error != PeerFrameCodec::Error::None) {
        throw PeerUnreachableException(std::string("the request is not sent: ") +
                                       PeerFrameCodec::describe(error));
    }
    const PairedDevice device = trustedDevice(peer);
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        if (m_closed) throw PeerUnreachableException("the host is stopping");
    }
    const int silence = timeoutSeconds > 0 ? timeoutSeconds : 60;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::unique_ptr<Connection> connection = attempt == 0 ? takeKept(device) : nullptr;
        const bool reused = connection != nullptr;
        try {
            if (!connection) connection = open(device, CONNECT_S);
        } catch (PeerUnreachableException&) {
            remember(peer, false);
            throw;
        }
        Poco::Net::SecureStreamSocket& socket = connection->socket;
        // Cut by close() when the host stops; no deadline otherwise.
        PeerConnectionWatch::Scope watch(m_watch, socket.impl()->sockfd(),
                                         Clock::time_point::max());
        bool replyStarted = false;
        try {
            socket.setSendTimeout(Poco::Timespan(SEND_S, 0));
            socket.setReceiveTimeout(Poco::Timespan(silence, 0));
            try {
                PeerFrameStream::write(socket, request);
            } catch (Poco::Exception& e) {
                throw StaleConnection{e.message()};
            }
            PeerFrame reply;
            if (!PeerFrameStream::read(socket, reply, [&](std::size_t) { replyStarted = true; }))
                throw StaleConnection{"the device closed the connection"};
            remember(peer, true);
            watch.release();
            keep(peer, std::move(connection));
            return reply;
        } catch (StaleConnection& stale) {
            if (reused && !watch.expired()) continue;
            remember(peer, false);
            throw PeerUnreachableException(stale.reason);
        } catch (PeerFrameRefusedException& e) {
            logger().warning("A bad reply from " + peer.toString() + ": " + e.message());
            throw PeerUnreachableException("a bad reply: " + e.message());
        } catch (Poco::TimeoutException&) {
            remember(peer, false);
            throw PeerUnreachableException(replyStarted ? "the reply stopped coming"
                                                        : "no reply in time");
        } catch (Poco::Exception& e) {
            remember(peer, false);
            throw PeerUnreachableException("the connection broke: " + e.message());
        }
    }
    throw PeerUnreachableException("no connection");
}

bool PeerConnector::reachable(const PeerID& peer) {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        if (m_closed) return false;
        auto it = m_probes.find(peer);
        if (it != m_probes.end() &&
            Clock::now() - it->second.first < std::chrono::seconds(PROBE_CACHE_S)) {
            return it->second.second;
        }
    }
    try {
        const PairedDevice device = trustedDevice(peer);
        // The handshake's connection serves the next exchange.
        keep(peer, open(device, PROBE_S));
        remember(peer, true);
        return true;
    } catch (PeerUnreachableException& e) {
        logger().debug(peer.toString() + " is not reachable: " + e.message());
        remember(peer, false);
        return false;
    }
}

}  // namespace Host
}  // namespace Orvana
