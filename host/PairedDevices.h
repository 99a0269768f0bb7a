#pragma once
// PairedDevices: the other devices this one knows, kept in "devices.json" in
// the profile (mode 0600): each by its peer id, with the fingerprint it is
// trusted by and the address it is reached at. A device without a
// fingerprint is not trusted; nothing is trusted unless the user said so.
// A fingerprint belongs to one peer only, so an incoming connection's
// certificate names exactly one sender.
//
// Thread-safe: the page changes it while the listener and the connector read
// it; each change is written to the file before it returns.

#include "hostapi/CheckedMutex.h"
#include "hostapi/PeerID.h"

#include <string>
#include <vector>

namespace Orvana {
namespace Host {

struct PairedDevice {
    Orvana::Data::PeerID peer;
    std::string fingerprint;  // canonical; "" when not trusted
    std::string address;      // "HOST:PORT"; "" when unknown
};

class PairedDevices {
public:
    static const char* const FILE_NAME;
    static const int DEFAULT_PORT = 8481;

    // Reads the kept list; an unreadable file is moved aside (".unreadable")
    // and the list starts empty, so that trust is never guessed.
    explicit PairedDevices(const std::string& profileDir);

    std::vector<PairedDevice> list() const;
    // False when the peer is not known at all.
    bool find(const Orvana::Data::PeerID& peer, PairedDevice& device) const;
    // The trusted peer whose certificate has this fingerprint; an invalid id
    // when none is.
    Orvana::Data::PeerID trustedWith(const std::string& fingerprint) const;

    // Each throws Poco::InvalidArgumentException for a bad value (another
    // peer's fingerprint included) and Poco::FileException when it cannot be
    // kept; nothing changes then.
    void setAddress(const Orvana::Data::PeerID& peer, const std::string& address);
    void trust(const Orvana::Data::PeerID& peer, const std::string& fingerprint);
    // False when the peer was not known.
    bool remove(const Orvana::Data::PeerID& peer);

    // "HOST:PORT" from "HOST[:PORT]" (an IPv6 address in brackets); "" when
    // it is not one.
    static std::string normalizeAddress(const std::string& text);
    // "PEER=VALUE" split at the first "="; throws Poco::SyntaxException.
    static std::pair<Orvana::Data::PeerID, std::string> splitAssignment(const std::string& text);

private:
    void load();
    void save(const std::vector<PairedDevice>& devices) const REQUIRES(m_mutex);

    std::string m_path;
    mutable Orvana::Util::CheckedMutex m_mutex;
    std::vector<PairedDevice> m_devices GUARDED_BY(m_mutex);
};

}  // namespace Host
}  // namespace Orvana
