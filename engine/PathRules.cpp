#include "engine/PathRules.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "hostapi/FileUtil.h"

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

Orvana::Util::FileDescriptor openFolderBelow(Orvana::Util::FileDescriptor start,
                                             const std::vector<std::string>& names,
                                             std::string* failed) {
    for (const std::string& name : names) {
        Orvana::Util::FileDescriptor next = openFolder(start.get(), name);
        if (!next.valid()) {
            const int error = errno;  // closing `start` must not hide it
            start.reset();
            if (failed) *failed = name;
            errno = error;
            return next;
        }
        start = std::move(next);
    }
    return start;
}

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + '/' + name;
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : "/") + name;
    return out;
}

std::vector<std::string> splitNames(const std::string& relative) {
    std::vector<std::string> out;
    std::string::size_type start = 0;
    while (start <= relative.size()) {
        std::string::size_type end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (end > start) out.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

void splitLast(const std::string& relative, std::string& folder, std::string& name) {
    const std::string::size_type slash = relative.rfind('/');
    folder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    name = slash == std::string::npos ? relative : relative.substr(slash + 1);
}

std::string baseName(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(path, folder, name);
    return name;
}

std::string folderOf(const std::string& path) {
    std::string folder, name;
    Orvana::Util::splitFolder(path, folder, name);
    return folder.empty() ? "/" : folder;
}

}  // namespace PathRules
}  // namespace Backup
}  // namespace Orvana
