#include "host/StoredToken.h"

#include "host/HostGuard.h"
#include "host/PrivateFile.h"
#include "hostapi/FileDescriptor.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/String.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Orvana {
namespace Host {

const char* const StoredToken::FILE_NAME = "token";

namespace {
const std::size_t MAX_LENGTH = 256;

std::string pathIn(const std::string& profileDir) {
    return profileDir + "/" + StoredToken::FILE_NAME;
}
}  // namespace

bool StoredToken::usable(const std::string& token) {
    if (token.empty() || token.size() > MAX_LENGTH) return false;
    for (const char c : token) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (!plain) return false;
    }
    return true;
}

std::string StoredToken::load(const std::string& profileDir) {
    const Orvana::Util::FileDescriptor fd(
        ::open(pathIn(profileDir).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return "";
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0600) != 0) {
        Poco::Logger::get("host").warning("Others may read " + pathIn(profileDir));
    }
    std::string text;
    char buffer[MAX_LENGTH + 2];
    ssize_t got;
    while (text.size() <= MAX_LENGTH + 1 &&
           ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))) {
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
    text = Poco::trim(text);
    return usable(text) ? text : "";
}

void StoredToken::store(const std::string& profileDir, const std::string& token) {
    PrivateFile::replace(pathIn(profileDir), token + "\n");
}

std::string StoredToken::resolve(const std::string& profileDir, const std::string& given,
                                 bool renew) {
    if (!given.empty()) return given;
    if (!renew) {
        const std::string stored = load(profileDir);
        if (!stored.empty()) return stored;
    }
    const std::string token = HostGuard::randomToken();
    try {
        store(profileDir, token);
    } catch (Poco::Exception& e) {
        Poco::Logger::get("host").warning(
            "The token is not kept; the page's address will change at the next start: " +
            e.displayText());
    }
    return token;
}

}  // namespace Host
}  // namespace Orvana
