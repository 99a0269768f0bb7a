#include "engine/CacheDirTag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace Orvana {
namespace Backup {
namespace CacheDirTag {

const char* const FILE_NAME = "CACHEDIR.TAG";

namespace {
const char SIGNATURE[] = "Signature: 8a477f597d28d172789f06886806bc55";
}

bool marks(int folderFd) { return marks(folderFd, std::string()); }

bool marks(int parentFd, const std::string& name) {
    const std::string tag = name.empty() ? std::string(FILE_NAME) : name + '/' + FILE_NAME;
    const int fd = ::openat(parentFd, tag.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool tagged = false;
    struct stat st;
    const size_t length = sizeof SIGNATURE - 1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(length)) {
        char head[sizeof SIGNATURE];
        size_t got = 0;
        while (got < length) {
            const ssize_t n = ::read(fd, head + got, length - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        tagged = got == length && std::memcmp(head, SIGNATURE, length) == 0;
    }
    ::close(fd);
    return tagged;
}

}  // namespace CacheDirTag
}  // namespace Backup
}  // namespace Orvana
