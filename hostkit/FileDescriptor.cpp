#include "hostapi/FileDescriptor.h"

#include <unistd.h>

namespace Orvana {
namespace Util {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int FileDescriptor::release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void FileDescriptor::reset(int fd) noexcept {
    // Not retried on EINTR: on Linux the descriptor is gone either way, and a
    // second close could hit one another thread has just opened.
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

}  // namespace Util
}  // namespace Orvana
