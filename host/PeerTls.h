#pragma once
// PeerTls: the TLS set-up between devices. Only TLS 1.3; each side shows its
// own self-signed device certificate and demands the other's. No chain is
// checked (there is no authority between two devices of one person): what
// counts is the certificate's fingerprint, compared by the caller with the
// trusted ones once the handshake is done. Host names are not checked
// either, for the same reason.
//
// Plain functions; the contexts they make are shared by every connection
// and thread.

#include "host/DeviceIdentity.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/SecureStreamSocket.h>

#include <string>

namespace Orvana {
namespace Host {
namespace PeerTls {

Poco::Net::Context::Ptr serverContext(const DeviceIdentity& identity);
Poco::Net::Context::Ptr clientContext(const DeviceIdentity& identity);
// The fingerprint of the other side's certificate after the handshake; ""
// when it showed none.
std::string peerFingerprint(const Poco::Net::SecureStreamSocket& socket);

}  // namespace PeerTls
}  // namespace Host
}  // namespace Orvana
