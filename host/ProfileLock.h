#pragma once
// ProfileLock: an exclusive advisory lock on a file in the profile folder,
// held for the life of the object, so that two hosts never run the same
// records over one database. The kernel drops the lock when the process
// ends, however it ends, so a crashed host leaves nothing stale behind.
//
// Owns the lock file's descriptor. Made and destroyed on the main thread;
// no lock of its own.

#include <string>

namespace Orvana {
namespace Host {

class ProfileLock {
public:
    // Creates the lock file in profileDir if needed; does not lock yet.
    explicit ProfileLock(const std::string& profileDir);
    ~ProfileLock();
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    // True when this object now holds the lock; false when another holder
    // has it. Throws Poco::FileException when the file cannot be opened.
    bool tryLock();

    static const char* const FILE_NAME;

private:
    std::string m_path;
    int m_fd = -1;
};

}  // namespace Host
}  // namespace Orvana
