#include "host/HostGuard.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/RandomStream.h>
#include <Poco/String.h>

#include <cstdio>

namespace Orvana {
namespace Host {

HostGuard::HostGuard(const std::string& token, bool boundToLoopback)
    : m_token(token), m_boundToLoopback(boundToLoopback) {}

bool HostGuard::tokenMatches(const std::string& presented) const {
    if (m_token.empty() || presented.size() != m_token.size()) return false;
    // Compare every byte so the time taken does not tell how much matched.
    unsigned char diff = 0;
    for (size_t i = 0; i < m_token.size(); ++i) {
        diff |= static_cast<unsigned char>(presented[i] ^ m_token[i]);
    }
    return diff == 0;
}

bool HostGuard::hostAllowed(const std::string& hostHeader) const {
    return !m_boundToLoopback || isLoopbackHost(hostHeader);
}

bool HostGuard::isLoopbackHost(const std::string& hostHeader) {
    std::string host = Poco::trim(hostHeader);
    if (host.empty()) return false;
    if (host[0] == '[') {
        const std::string::size_type close = host.find(']');
        if (close == std::string::npos) return false;
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        host = host.substr(1, close - 1);
    } else {
        const std::string::size_type colon = host.find(':');
        if (colon != std::string::npos) {
            // A bare IPv6 address is not a valid Host header.
            if (host.find(':', colon + 1) != std::string::npos) return false;
            host = host.substr(0, colon);
        }
    }
    if (Poco::icompare(host, "localhost") == 0) return true;
    Poco::Net::IPAddress address;
    return Poco::Net::IPAddress::tryParse(host, address) && address.isLoopback();
}

std::string HostGuard::randomToken() {
    Poco::RandomInputStream random;
    std::string token;
    for (int i = 0; i < 16; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(random.get()));
        token += hex;
    }
    return token;
}

}  // namespace Host
}  // namespace Orvana
