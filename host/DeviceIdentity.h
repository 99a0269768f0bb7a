#pragma once
// DeviceIdentity: this device's key pair and self-signed certificate, kept in
// the profile (the key in "device-key.pem", mode 0600; the certificate in
// "device-cert.pem"). Other devices trust it by the certificate's
// fingerprint, so it is made once, at the first start, and then only read.
//
// Made on the main thread while the profile lock is held; after that the
// object is immutable and any thread may read it.

#include <Poco/Crypto/EVPPKey.h>
#include <Poco/Crypto/X509Certificate.h>

#include <string>

namespace Orvana {
namespace Host {

class DeviceIdentity {
public:
    static const char* const KEY_FILE;
    static const char* const CERTIFICATE_FILE;

    // The identity kept in the profile; a new one when none is there or the
    // one there is unusable (a torn first start, a key that does not match
    // its certificate). Throws Poco::Exception when it cannot be written.
    static DeviceIdentity loadOrCreate(const std::string& profileDir);
    // The kept one only, never writing; throws Poco::Exception when there is
    // none that is usable.
    static DeviceIdentity load(const std::string& profileDir);

    const Poco::Crypto::EVPPKey& key() const { return m_key; }
    const Poco::Crypto::X509Certificate& certificate() const { return m_certificate; }
    const std::string& fingerprint() const { return m_fingerprint; }

private:
    DeviceIdentity(const Poco::Crypto::EVPPKey& key, const Poco::Crypto::X509Certificate& cert);
    static DeviceIdentity create(const std::string& profileDir);

    Poco::Crypto::EVPPKey m_key;
    Poco::Crypto::X509Certificate m_certificate;
    std::string m_fingerprint;
};

}  // namespace Host
}  // namespace Orvana
