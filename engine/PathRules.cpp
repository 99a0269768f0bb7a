#include "engine/PathRules.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace Orvana {
namespace Backup {
namespace PathRules {

bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type pos = 0;
    while (pos <= path.size()) {
        std::string::size_type end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

namespace {
// The folder holding path ("/" for a top-level entry); path is normalised.
std::string parentOf(const std::string& path) {
    if (path == "/") return "";
    const std::string::size_type slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastName(const std::string& normalized) {
    return normalized.substr(normalized.rfind('/') + 1);
}
}  // namespace

std::string resolve(const std::string& path) {
    const std::string normalized = normalize(path);
    char buffer[PATH_MAX];
    if (::realpath(normalized.c_str(), buffer)) return buffer;
    if (normalized == "/") return normalized;
    // The missing tail cannot hold links yet; resolve what exists above it.
    const std::string parent = resolve(parentOf(normalized));
    return (parent == "/" ? "" : parent) + "/" + lastName(normalized);
}

bool overlaps(const std::string& source, const std::string& store) {
    const std::string src = normalize(source);
    const std::string dst = normalize(store);
    if (dst == src) return true;
    const std::string prefix = src == "/" ? src : src + "/";
    if (dst.compare(0, prefix.size(), prefix) == 0) return true;
    return dst == parentOf(src);
}

bool overlapsResolved(const std::string& source, const std::string& store) {
    return overlaps(source, store) || overlaps(resolve(source), resolve(store));
}

std::string copyFolder(const std::string& source, const std::string& store) {
    const std::string dst = normalize(store);
    return (dst == "/" ? "" : dst) + "/" + lastName(normalize(source));
}

bool sameCopyFolder(const std::string& source, const std::string& store,
                    const std::string& otherSource, const std::string& otherStore) {
    if (!isAbsolute(source) || !isAbsolute(store) || !isAbsolute(otherSource) ||
        !isAbsolute(otherStore)) {
        return false;
    }
    return resolve(copyFolder(source, store)) == resolve(copyFolder(otherSource, otherStore));
}

bool sharesCopyFolder(const std::string& source, const std::string& store,
                      const std::string& otherSource, const std::string& otherStore) {
    return sameCopyFolder(source, store, otherSource, otherStore) &&
           resolve(source) != resolve(otherSource);
}

bool staysInside(const std::string& relative) {
    if (relative.empty() || relative[0] == '/') return false;
    std::string::size_type pos = 0;
    while (pos <= relative.size()) {
        std::string::size_type end = relative.find('/', pos);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(pos, end - pos);
        if (part.empty() || part == "." || part == "..") return false;
        pos = end + 1;
    }
    return true;
}

Orvana::Util::FileDescriptor openFolder(int at, const std::string& name) {
    return Orvana::Util::FileDescriptor(
        ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace PathRules
}  // namespace Backup
}  // namespace Orvana
