#include "host/PrivateFile.h"

#include "hostapi/FileDescriptor.h"

#include <Poco/Exception.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Orvana {
namespace Host {
namespace PrivateFile {

bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

void replace(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    Orvana::Util::FileDescriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool written = fd.valid() && writeAll(fd.get(), text) && ::fsync(fd.get()) == 0 &&
                         ::close(fd.release()) == 0 &&
                         ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw Poco::FileException("cannot write " + path + ": " + reason);
    }
}

}  // namespace PrivateFile
}  // namespace Host
}  // namespace Orvana
