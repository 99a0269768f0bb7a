#include "host/DeviceFingerprint.h"

#include <openssl/evp.h>

namespace Orvana {
namespace Host {
namespace DeviceFingerprint {

namespace {

const char HEX[] = "0123456789ABCDEF";
const std::size_t DIGEST_SIZE = 32;

std::string format(const unsigned char* digest, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i) text += ':';
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 0xf];
    }
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string of(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return "";
    return format(digest, size);
}

std::string normalize(const std::string& text) {
    unsigned char digest[DIGEST_SIZE];
    std::size_t digits = 0;
    for (const char c : text) {
        if (c == ':' || c == '-' || c == ' ' || c == '\t') continue;
        const int value = hexValue(c);
        if (value < 0 || digits == 2 * DIGEST_SIZE) return "";
        if (digits % 2 == 0) {
            digest[digits / 2] = static_cast<unsigned char>(value << 4);
        } else {
            digest[digits / 2] = static_cast<unsigned char>(digest[digits / 2] | value);
        }
        ++digits;
    }
    return digits == 2 * DIGEST_SIZE ? format(digest, DIGEST_SIZE) : "";
}

}  // namespace DeviceFingerprint
}  // namespace Host
}  // namespace Orvana
