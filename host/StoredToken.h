#pragma once
// StoredToken: the page's session token, kept in the file "token" of the
// profile (mode 0600, it is the key to the page), so that a bookmarked
// address keeps working after a restart. A token given on the command line
// is used for that run only and leaves the stored one alone.
//
// Plain functions on the profile folder; called on the main thread while the
// profile lock is held, so no two hosts write the file at once.

#include <string>

namespace Orvana {
namespace Host {

class StoredToken {
public:
    static const char* const FILE_NAME;

    // The stored token; "" when there is none or the file holds no usable
    // token. A file others could read is made private again.
    static std::string load(const std::string& profileDir);
    // Throws Poco::FileException on failure.
    static void store(const std::string& profileDir, const std::string& token);
    // `given` when set; else the stored one unless `renew`; else a new random
    // token, stored (a failure to store is logged: the host runs with it).
    static std::string resolve(const std::string& profileDir, const std::string& given,
                               bool renew);
    // Letters, digits and "-._~" only, so it goes into an address unencoded.
    static bool usable(const std::string& token);
};

}  // namespace Host
}  // namespace Orvana
