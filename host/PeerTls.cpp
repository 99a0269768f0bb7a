#include "host/PeerTls.h"

#include "host/DeviceFingerprint.h"

#include <openssl/ssl.h>

namespace Orvana {
namespace Host {
namespace PeerTls {

namespace {

// Any chain is accepted here; the caller compares the fingerprint.
int acceptAnyChain(int, X509_STORE_CTX*) { return 1; }

Poco::Net::Context::Ptr makeContext(Poco::Net::Context::Usage usage,
                                    const DeviceIdentity& identity) {
    Poco::Net::Context::Params params;
    params.verificationMode = Poco::Net::Context::VERIFY_NONE;
    params.loadDefaultCAs = false;
    Poco::Net::Context::Ptr context(new Poco::Net::Context(usage, params));
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_3);
    context->enableExtendedCertificateVerification(false);
    context->useCertificate(identity.certificate());
    context->usePrivateKey(identity.key());
    // The context was made without verification so that the library checks
    // no chain nor host name; the other side's certificate is still required.
    SSL_CTX_set_verify(context->sslContext(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       acceptAnyChain);
    return context;
}

}  // namespace

Poco::Net::Context::Ptr serverContext(const DeviceIdentity& identity) {
    return makeContext(Poco::Net::Context::TLS_SERVER_USE, identity);
}

Poco::Net::Context::Ptr clientContext(const DeviceIdentity& identity) {
    return makeContext(Poco::Net::Context::TLS_CLIENT_USE, identity);
}

std::string peerFingerprint(const Poco::Net::SecureStreamSocket& socket) {
    if (!socket.havePeerCertificate()) return "";
    return DeviceFingerprint::of(socket.peerCertificate().certificate());
}

}  // namespace PeerTls
}  // namespace Host
}  // namespace Orvana
