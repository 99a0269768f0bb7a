#pragma once
// PeerConnector: this device's side of PeerLink. It carries one exchange to a
// paired device (connect to its address, TLS 1.3 handshake, check that the
// certificate is the one trusted for that peer, send the request, read the
// reply) and answers whether a device is reachable. A connection that
// served an exchange is kept for the next one to the same device for a
// little while (shorter than the other side's idle timeout).
//
// Any thread may call exchange and reachable, several at once; the paired
// devices and the identity must outlive it.

#include "host/DeviceIdentity.h"
#include "host/PairedDevices.h"
#include "host/PeerConnectionWatch.h"
#include "hostapi/CheckedMutex.h"
#include "hostapi/PeerLink.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/SecureStreamSocket.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Orvana {
namespace Host {

class PeerConnector {
public:
    static constexpr int CONNECT_S = 5;      // connect and handshake of an exchange
    static constexpr int PROBE_S = 2;        // connect and handshake of a probe
    static constexpr int PROBE_CACHE_S = 5;  // a probe's answer is reused this long
    static constexpr int KEEP_S = 20;        // an idle connection is reused this long
    static constexpr int SEND_S = 30;        // silence while sending
    static constexpr std::size_t KEEP_PER_PEER = 2;

    PeerConnector(const DeviceIdentity& identity, PairedDevices& devices);
    ~PeerConnector();
    PeerConnector(const PeerConnector&) = delete;
    PeerConnector& operator=(const PeerConnector&) = delete;

    // Throws Orvana::API::PeerUnreachableException with a short reason.
    Orvana::API::PeerFrame exchange(const Orvana::Data::PeerID& peer,
                                    const Orvana::API::PeerFrame& request, int timeoutSeconds);
    bool reachable(const Orvana::Data::PeerID& peer);
    // Closes the kept connections and cuts running exchanges (the host stops).
    void close();

private:
    typedef std::chrono::steady_clock Clock;
    struct Connection {
        Poco::Net::SecureStreamSocket socket;
        std::string fingerprint;
        std::string address;
        Clock::time_point lastUsed;
    };

    PairedDevice trustedDevice(const Orvana::Data::PeerID& peer) const;
    std::unique_ptr<Connection> open(const PairedDevice& device, int seconds);
    std::unique_ptr<Connection> takeKept(const PairedDevice& device);
    void keep(const Orvana::Data::PeerID& peer, std::unique_ptr<Connection> connection);
    void remember(const Orvana::Data::PeerID& peer, bool reachable);

    PairedDevices& m_devices;
    Poco::Net::Context::Ptr m_context;
    PeerConnectionWatch m_watch;

    Orvana::Util::CheckedMutex m_mutex;
    std::map<Orvana::Data::PeerID, std::vector<std::unique_ptr<Connection>>> m_kept
        GUARDED_BY(m_mutex);
    std::map<Orvana::Data::PeerID, std::pair<Clock::time_point, bool>> m_probes
        GUARDED_BY(m_mutex);
    bool m_closed GUARDED_BY(m_mutex) = false;
};

}  // namespace Host
}  // namespace Orvana
