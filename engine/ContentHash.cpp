#include "engine/ContentHash.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace Orvana {
namespace Backup {
namespace ContentHash {

std::string sha256(int fd, Poco::Int64 size, const std::atomic<bool>* stop) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::string();
    std::vector<unsigned char> buffer(1 << 20);
    for (Poco::Int64 at = 0; at < size;) {
        if (stop && *stop) return std::string();
        const size_t want = static_cast<size_t>(std::min<Poco::Int64>(size - at, buffer.size()));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::string();
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got)) != 1)
            return std::string();
        at += got;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::string();
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace ContentHash
}  // namespace Backup
}  // namespace Orvana
