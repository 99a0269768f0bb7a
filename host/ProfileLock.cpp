#include "host/ProfileLock.h"

#include <Poco/Exception.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Orvana {
namespace Host {

const char* const ProfileLock::FILE_NAME = "backup-host.lock";

ProfileLock::ProfileLock(const std::string& profileDir) : m_path(profileDir + "/" + FILE_NAME) {}

ProfileLock::~ProfileLock() {
    if (m_fd >= 0) ::close(m_fd);  // releases the lock; the file stays for the next start
}

bool ProfileLock::tryLock() {
    if (m_fd < 0) {
        // O_CLOEXEC: a child process must not inherit the lock and keep the
        // profile busy after this host has ended.
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) throw Poco::FileException(m_path, std::strerror(errno));
    }
    // flock, not fcntl locks: those are per process and would let a second
    // ProfileLock in the same process (or a closed duplicate) drop the lock.
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return false;
        throw Poco::FileException(m_path, std::strerror(errno));
    }
    return true;
}

}  // namespace Host
}  // namespace Orvana
