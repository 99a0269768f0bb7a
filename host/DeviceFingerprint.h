#pragma once
// DeviceFingerprint: how a device is recognised by others. It is the SHA-256
// of the device's certificate (DER), shown as 32 upper-case hex pairs joined
// by ":"; people read it from one device's page and type it into the
// other's, so the parser takes either case and ":", "-" or blanks between
// digits. Plain functions; any thread.

#include <openssl/x509.h>

#include <string>

namespace Orvana {
namespace Host {
namespace DeviceFingerprint {

// The canonical form of the certificate's fingerprint.
std::string of(const X509* certificate);
// The canonical form of a typed fingerprint; "" when it is not 32 bytes of hex.
std::string normalize(const std::string& text);

}  // namespace DeviceFingerprint
}  // namespace Host
}  // namespace Orvana
