#include "requests/BackupBrowser.h"

#include <Poco/Exception.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/PathRules.h"

namespace Orvana {
namespace Backup {

namespace {

Poco::Int64 microseconds(const struct timespec& t) {
    return static_cast<Poco::Int64>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool BackupBrowser::split(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    // A NUL would cut the path short in every system call below.
    if (path.find('\0') != std::string::npos) return false;
    if (!path.empty() && path[0] == '/') return false;
    for (std::string& name : PathRules::splitNames(path)) {
        if (name == "..") return false;
        if (name != ".") names.push_back(std::move(name));
    }
    return true;
}

BackupBrowser::Kind BackupBrowser::kindOf(const std::string& root,
                                          const std::vector<std::string>& names) {
    std::string path = root;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return NOTHING;
    for (const auto& name : names) {
        if (!S_ISDIR(st.st_mode)) return OTHER;
        path += "/" + name;
        if (::lstat(path.c_str(), &st) != 0) return NOTHING;
    }
    if (S_ISDIR(st.st_mode)) return FOLDER;
    if (S_ISREG(st.st_mode)) return FILE;
    return OTHER;
}

std::string BackupBrowser::compare(const struct stat& copy, const std::string& source) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return "missing";
    if (S_ISDIR(copy.st_mode)) return "same";
    // Passes keep the source's modification time to the nanosecond.
    const bool same = S_ISREG(st.st_mode) && st.st_size == copy.st_size &&
                      st.st_mtim.tv_sec == copy.st_mtim.tv_sec &&
                      st.st_mtim.tv_nsec == copy.st_mtim.tv_nsec;
    return same ? "same" : "changed";
}

Orvana::Util::FileDescriptor BackupBrowser::openFolder(const std::string& root,
                                                       const std::vector<std::string>& names) {
    // Step by step without following links: a folder swapped for a link
    // after the caller's checks still cannot take the walk out of the copy.
    Orvana::Util::FileDescriptor fd = PathRules::openFolder(AT_FDCWD, root);
    if (!fd.valid()) throw Poco::FileException(std::strerror(errno), root);
    std::string failed;
    fd = PathRules::openFolderBelow(std::move(fd), names, &failed);
    if (!fd.valid()) throw Poco::FileException(std::strerror(errno), failed);
    return fd;
}

std::vector<BackupBrowser::Entry> BackupBrowser::list(const std::string& root,
                                                      const std::vector<std::string>& names,
                                                      const std::string& sourceRoot) {
    Orvana::Util::FileDescriptor folder = openFolder(root, names);
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(folder.get()));
    if (!dir) throw Poco::FileException(std::strerror(errno), root);
    const int fd = folder.release();  // the listing owns it now
    const std::string relative = PathRules::joinNames(names);
    std::vector<Entry> entries;
    while (const struct dirent* item = ::readdir(dir.get())) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
        Entry entry;
        entry.name = name;
        entry.path = PathRules::join(relative, name);
        entry.folder = S_ISDIR(st.st_mode);
        entry.size = entry.folder ? 0 : static_cast<Poco::Int64>(st.st_size);
        entry.modified = microseconds(st.st_mtim);
        entry.state = compare(st, PathRules::join(sourceRoot, entry.path));
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.folder != b.folder) return a.folder;
        return a.name < b.name;  // char_traits<char> compares as unsigned bytes
    });
    return entries;
}

std::string BackupBrowser::percentEncode(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
            b == '-' || b == '.' || b == '_' || b == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

}  // namespace Backup
}  // namespace Orvana
