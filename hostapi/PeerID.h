#pragma once
// PeerID: the identifier of a peer, parsed from "user@host".
//
// Only a text with exactly two "@"-separated tokens (each trimmed), at most
// one "~" in the user part and at most one ":" in the host part is valid.
// A valid id keeps the user part as given, the peer name (user part before
// "~"), the host name (host part before ":") and the host with port (the host
// part if it has a ":", else host part + ":24465"). The text form is user part
// + "@" + host name; an invalid id has an empty text form. Equality and
// ordering compare the text forms ignoring ASCII letter case, so the ordering
// is a strict weak order that agrees with equality (usable as a map key).

#include <string>

namespace Orvana {
namespace Data {

class PeerID {
public:
    static const int DEFAULT_PORT = 24465;

    PeerID();
    explicit PeerID(const std::string& text);

    bool isValid() const { return m_valid; }
    const std::string& getUser() const { return m_user; }            // user part as given
    const std::string& getName() const { return m_name; }            // before "~"
    const std::string& getHostName() const { return m_hostName; }    // before ":"
    const std::string& getHostWithPort() const { return m_hostWithPort; }
    std::string toString() const;                                    // user + "@" + host name

    bool operator==(const PeerID& other) const;
    bool operator!=(const PeerID& other) const { return !(*this == other); }
    bool operator<(const PeerID& other) const;

private:
    bool m_valid;
    std::string m_user;
    std::string m_name;
    std::string m_hostName;
    std::string m_hostWithPort;
};

}  // namespace Data
}  // namespace Orvana
