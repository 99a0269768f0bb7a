#include "hostapi/PeerID.h"

#include <Poco/String.h>

#include <algorithm>

namespace Orvana {
namespace Data {

namespace {

std::string lowerAscii(const std::string& text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

PeerID::PeerID() : m_valid(false) {}

PeerID::PeerID(const std::string& text) : m_valid(false) {
    // Exactly two tokens: one "@" and nothing empty around it.
    if (std::count(text.begin(), text.end(), '@') != 1) return;
    size_t at = text.find('@');
    std::string user = Poco::trim(text.substr(0, at));
    std::string host = Poco::trim(text.substr(at + 1));
    if (user.empty() || host.empty()) return;
    if (std::count(user.begin(), user.end(), '~') > 1) return;
    if (std::count(host.begin(), host.end(), ':') > 1) return;

    // The text form keeps only the host name: it must be what a second parse
    // of that form yields, or a stored id would not read back as itself.
    size_t colon = host.find(':');
    const std::string hostName = Poco::trim(host.substr(0, colon));
    if (hostName.empty()) return;

    m_valid = true;
    m_user = user;
    m_name = user.substr(0, user.find('~'));
    m_hostName = hostName;
    m_hostWithPort = colon == std::string::npos ? host + ":" + std::to_string(DEFAULT_PORT) : host;
}

std::string PeerID::toString() const {
    if (!m_valid) return std::string();
    return m_user + "@" + m_hostName;
}

bool PeerID::operator==(const PeerID& other) const {
    return lowerAscii(toString()) == lowerAscii(other.toString());
}

bool PeerID::operator<(const PeerID& other) const {
    return lowerAscii(toString()) < lowerAscii(other.toString());
}

}  // namespace Data
}  // namespace Orvana
