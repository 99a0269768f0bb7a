#pragma once
// HostGuard: the HTTP front door's checks. The API needs the session token in
// the "X-Backup-Token" header; while the server listens on a loopback address,
// every request must also name a loopback host, so a web page served from a
// foreign name that resolves to 127.0.0.1 (DNS rebinding) cannot reach us.
// Immutable after construction; any thread may call it.

#include <string>

namespace Orvana {
namespace Host {

class HostGuard {
public:
    HostGuard(const std::string& token, bool boundToLoopback);

    const std::string& token() const { return m_token; }
    bool tokenMatches(const std::string& presented) const;
    // True when the request's Host header may be served.
    bool hostAllowed(const std::string& hostHeader) const;

    // "localhost", a loopback IPv4 address or "[::1]", each with an optional port.
    static bool isLoopbackHost(const std::string& hostHeader);
    // 32 hex digits from the system's random source.
    static std::string randomToken();

private:
    std::string m_token;
    bool m_boundToLoopback;
};

}  // namespace Host
}  // namespace Orvana
