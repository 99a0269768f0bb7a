#pragma once
// StoredPeer: this device's peer id, kept in a file of the profile so that
// it stays the same over restarts. The derived default (login @ machine
// name) is only used for the first start: records stored under the device's
// peer would no longer count as local once it changed.
//
// Plain functions on the profile folder; called on the main thread while the
// profile lock is held, so no two hosts write the file at once.

#include <string>

namespace Orvana {
namespace Host {

class StoredPeer {
public:
    static const char* const FILE_NAME;

    // The stored text, trimmed; "" when the file does not exist.
    static std::string load(const std::string& profileDir);
    // Replaces the stored text (atomically: a crash leaves the old or the new
    // one). Throws Poco::FileException on failure.
    static void store(const std::string& profileDir, const std::string& peer);
    // given when set, else the stored one, else fallback; stores the result
    // when it differs from what is stored and is a valid peer.
    static std::string resolve(const std::string& profileDir, const std::string& given,
                               const std::string& fallback);
};

}  // namespace Host
}  // namespace Orvana
