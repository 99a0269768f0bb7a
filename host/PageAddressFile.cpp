#include "host/PageAddressFile.h"

#include "host/PrivateFile.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Orvana {
namespace Host {

const char* const PageAddressFile::FILE_NAME = "page-address";

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string PageAddressFile::pathIn(const std::string& profileDir) {
    std::string path = profileDir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + FILE_NAME;
}

PageAddressFile::PageAddressFile(const std::string& profileDir, const std::string& address)
    : m_path(pathIn(profileDir)) {
    // Written under a temporary name and renamed, so a reader never sees half
    // an address. The lock is taken before the rename: the file is never
    // visible unlocked. CLOEXEC: a child that outlived us would keep the lock.
    const std::string temporary = m_path + ".tmp";
    ::unlink(temporary.c_str());
    m_fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!m_fd.valid()) throw Poco::FileException(systemError("cannot create " + temporary));
    bool written = ::fchmod(m_fd.get(), 0600) == 0 &&
                   ::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0 &&
                   PrivateFile::writeAll(m_fd.get(), address + "\n") &&
                   ::rename(temporary.c_str(), m_path.c_str()) == 0;
    if (!written) {
        const std::string error = systemError("cannot write " + m_path);
        ::unlink(temporary.c_str());
        m_fd.reset();
        throw Poco::FileException(error);
    }
}

PageAddressFile::~PageAddressFile() {
    if (!m_fd.valid()) return;
    // Only our own file goes: a host started after us may have put its own
    // there, and removing that would hide a running host.
    struct stat ours, named;
    if (::fstat(m_fd.get(), &ours) == 0 && ::stat(m_path.c_str(), &named) == 0 &&
        ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
        ::unlink(m_path.c_str());
    }
    // Unlinked before the lock is released, so that a reader never finds
    // the file unlocked while we still run.
    m_fd.reset();
}

std::unique_ptr<PageAddressFile> PageAddressFile::publish(const std::string& profileDir,
                                                          const std::string& address) {
    try {
        return std::unique_ptr<PageAddressFile>(new PageAddressFile(profileDir, address));
    } catch (Poco::Exception& e) {
        Poco::Logger::get("host").warning(
            "The page address is not published (--url will not "
            "find this host): " +
            e.displayText());
        return nullptr;
    }
}

std::string PageAddressFile::runningAddress(const std::string& profileDir) {
    const std::string path = pathIn(profileDir);
    const Orvana::Util::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return "";
    std::string address;
    // A lock we can take means no live host holds the file: a crash left it.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0) address.append(buffer, static_cast<std::size_t>(got));
        }
        while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
            address.pop_back();
    }
    return address;
}

}  // namespace Host
}  // namespace Orvana
