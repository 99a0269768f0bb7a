#include "host/DeviceIdentity.h"

#include "host/DeviceFingerprint.h"
#include "host/PrivateFile.h"
#include "hostapi/FileDescriptor.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <fcntl.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>

namespace Orvana {
namespace Host {

const char* const DeviceIdentity::KEY_FILE = "device-key.pem";
const char* const DeviceIdentity::CERTIFICATE_FILE = "device-cert.pem";

namespace {

const long VALID_SECONDS = 50L * 365 * 86400;
const std::size_t MAX_PEM = 64 * 1024;

// The file's text; a key file others may read is made private again.
std::string readSmallFile(const std::string& path, bool privateFile) {
    const Orvana::Util::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) throw Poco::FileNotFoundException(path);
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw Poco::FileException("not a file", path);
    if (privateFile && (info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
        Poco::Logger::get("host").warning("Others may read " + path);
    }
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd.get(), buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Poco::FileException("cannot read", path);
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > MAX_PEM) throw Poco::FileException("too large", path);
    }
    return text;
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};

}  // namespace

DeviceIdentity::DeviceIdentity(const Poco::Crypto::EVPPKey& key,
                               const Poco::Crypto::X509Certificate& cert)
    : m_key(key), m_certificate(cert), m_fingerprint(DeviceFingerprint::of(cert.certificate())) {}

DeviceIdentity DeviceIdentity::load(const std::string& profileDir) {
    std::istringstream keyText(readSmallFile(profileDir + "/" + KEY_FILE, true));
    std::istringstream certText(readSmallFile(profileDir + "/" + CERTIFICATE_FILE, false));
    Poco::Crypto::EVPPKey key(nullptr, &keyText);
    Poco::Crypto::X509Certificate cert(certText);
    if (X509_check_private_key(const_cast<X509*>(cert.certificate()),
                               static_cast<const EVP_PKEY*>(key)) != 1) {
        throw Poco::DataException("the device key does not match its certificate");
    }
    return DeviceIdentity(key, cert);
}

DeviceIdentity DeviceIdentity::loadOrCreate(const std::string& profileDir) {
    const bool anyThere = ::access((profileDir + "/" + KEY_FILE).c_str(), F_OK) == 0 ||
                          ::access((profileDir + "/" + CERTIFICATE_FILE).c_str(), F_OK) == 0;
    try {
        return load(profileDir);
    } catch (Poco::Exception& e) {
        if (anyThere) {
            Poco::Logger::get("host").warning(
                "The device identity in " + profileDir + " is unusable (" + e.displayText() +
                "); a new one is made, and paired devices must trust its fingerprint");
        }
    }
    return create(profileDir);
}

DeviceIdentity DeviceIdentity::create(const std::string& profileDir) {
    Poco::Crypto::EVPPKey key("prime256v1");
    std::unique_ptr<X509, X509Free> x(X509_new());
    unsigned char serial[16];
    bool made = x && RAND_bytes(serial, sizeof serial) == 1;
    if (made) {
        serial[0] &= 0x7f;  // a positive serial number
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x.get())) != nullptr;
        BN_free(number);
    }
    // A day back, so that a peer whose clock is behind does not see it as new.
    made = made && X509_set_version(x.get(), 2) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(x.get()), -86400) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(x.get()), VALID_SECONDS) != nullptr &&
           X509_set_pubkey(x.get(), static_cast<EVP_PKEY*>(key)) == 1;
    if (made) {
        X509_NAME* name = X509_get_subject_name(x.get());
        made = X509_NAME_add_entry_by_txt(
                   name, "CN", MBSTRING_ASC,
                   reinterpret_cast<const unsigned char*>("backup-host device"), -1, -1, 0) == 1 &&
               X509_set_issuer_name(x.get(), name) == 1 &&
               X509_sign(x.get(), static_cast<EVP_PKEY*>(key), EVP_sha256()) > 0;
    }
    if (!made) throw Poco::IOException("cannot make the device certificate");
    Poco::Crypto::X509Certificate cert(x.release());

    std::ostringstream keyText, certText;
    key.save(nullptr, &keyText);
    cert.save(certText);
    // The certificate is written last: with it the pair is complete.
    PrivateFile::replace(profileDir + "/" + KEY_FILE, keyText.str());
    PrivateFile::replace(profileDir + "/" + CERTIFICATE_FILE, certText.str());
    DeviceIdentity identity(key, cert);
    Poco::Logger::get("host").information("Made the device identity " + identity.fingerprint());
    return identity;
}

}  // namespace Host
}  // namespace Orvana
