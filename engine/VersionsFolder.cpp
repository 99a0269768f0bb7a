#include "engine/VersionsFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "engine/FileCopier.h"
#include "engine/RenameNoReplace.h"
#include "engine/VersionName.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

namespace {

using Orvana::Util::FileDescriptor;

const int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Version {
    std::string folder;  // relative to the versions folder, "" for its root
    std::string name;    // the kept name
    Poco::Timestamp when;
    unsigned attempt;
};

// Entries of an open folder, "." and ".." left out; the descriptor stays open.
bool listFolder(int fd, std::vector<std::pair<std::string, unsigned char>>& entries) {
    const int copy = ::dup(fd);
    if (copy < 0) return false;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return false;
    }
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") entries.emplace_back(name, entry->d_type);
        errno = 0;
    }
    const bool ok = errno == 0;
    ::closedir(dir);
    return ok;
}

bool isFolder(int parentFd, const std::string& name, unsigned char type) {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat st;
    return ::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

std::string joinRelative(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + '/' + name;
}

// Labelled with prune, the entry point whose work this is.
void logRemoveError(const std::string& destination, const Version& version, int error) {
    Orvana::Util::BackupLog ls;
    ls.error() << "Orvana::Backup::VersionsFolder::prune"
               << " : Error[" << std::strerror(error) << "] removing the old version ["
               << destination << '/' << VersionName::FOLDER << '/'
               << joinRelative(version.folder, version.name) << "]" << std::endl;
}

// Applies the retention to one folder's versions and walks its subfolders;
// the versions it keeps go to survivors. Versions of one file always share a
// folder, so each folder is complete on its own. thin: the versions here are
// in scope; only (when not empty): of them just the file and the subfolder
// of that name. Versions out of scope all survive.
void pruneFolder(int fd, const std::string& relative, const std::string& destination,
                 const VersionRetention& retention, const Poco::Timestamp& now, bool thin,
                 const std::string& only, std::vector<Version>& survivors, unsigned& removed) {
    auto inScope = [&](const std::string& name) { return thin && (only.empty() || name == only); };
    std::vector<std::pair<std::string, unsigned char>> entries;
    if (!listFolder(fd, entries)) return;
    std::map<std::string, std::vector<Version>> byFile;  // original name -> its versions
    for (const auto& entry : entries) {
        std::string original;
        Version version{relative, entry.first, Poco::Timestamp(), 1};
        const bool named = VersionName::parse(entry.first, original, version.when, version.attempt);
        if (isFolder(fd, entry.first, entry.second)) {
            // A folder named as a version was moved aside whole: kept as it is.
            if (named) continue;
            FileDescriptor child(::openat(fd, entry.first.c_str(), FOLDER_FLAGS));
            if (!child.valid()) continue;
            pruneFolder(child.get(), joinRelative(relative, entry.first), destination, retention,
                        now, inScope(entry.first), std::string(), survivors, removed);
            continue;
        }
        if (named) byFile[original].push_back(version);
    }
    for (auto& file : byFile) {
        std::vector<Version>& versions = file.second;
        if (!inScope(file.first)) {
            survivors.insert(survivors.end(), versions.begin(), versions.end());
            continue;
        }
        // Oldest first, so that versions of one second keep their order
        // (attempt) when their ages tie.
        std::sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
            return std::tie(a.when, a.attempt) < std::tie(b.when, b.attempt);
        });
        std::vector<Poco::Int64> ages;
        for (const Version& version : versions) {
            ages.push_back((now - version.when) / Poco::Timestamp::resolution());
        }
        const std::vector<bool> kept = retention.keep(ages);
        for (size_t i = 0; i < versions.size(); ++i) {
            if (kept[i]) {
                survivors.push_back(versions[i]);
            } else if (::unlinkat(fd, versions[i].name.c_str(), 0) == 0) {
                ++removed;
            } else if (errno != ENOENT) {
                logRemoveError(destination, versions[i], errno);
            }
        }
    }
}

// The folder at relative below root, no step through a link.
FileDescriptor openBelow(int rootFd, const std::string& relative) {
    FileDescriptor fd(::dup(rootFd));
    std::string::size_type start = 0;
    while (fd.valid() && start < relative.size()) {
        std::string::size_type slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        fd.reset(::openat(fd.get(), relative.substr(start, slash - start).c_str(), FOLDER_FLAGS));
        start = slash + 1;
    }
    return fd;
}

}  // namespace

FileDescriptor VersionsFolder::open(int destinationFd, const std::string& relativeFolder) {
    FileDescriptor current(::dup(destinationFd));
    if (!current.valid()) FileCopier::throwErrno(VersionName::FOLDER, errno);
    std::string names = relativeFolder.empty()
                            ? std::string(VersionName::FOLDER)
                            : std::string(VersionName::FOLDER) + '/' + relativeFolder;
    std::string done;
    std::string::size_type start = 0;
    while (start < names.size()) {
        std::string::size_type slash = names.find('/', start);
        if (slash == std::string::npos) slash = names.size();
        const std::string name = names.substr(start, slash - start);
        start = slash + 1;
        if (name.empty()) continue;
        done = joinRelative(done, name);
        if (name == "." || name == "..") FileCopier::throwErrno(done, EINVAL);
        FileDescriptor child(::openat(current.get(), name.c_str(), FOLDER_FLAGS));
        if (!child.valid() && errno == ENOENT) {
            // Only the owner may look at what was kept.
            if (::mkdirat(current.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                FileCopier::throwErrno(done, errno);
            child.reset(::openat(current.get(), name.c_str(), FOLDER_FLAGS));
        }
        if (!child.valid()) FileCopier::throwErrno(done, errno);
        current = std::move(child);
    }
    return current;
}

namespace {

bool cannotLink(int error) {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK ||
           error == ENOSYS;
}

// A pass cut short after the link and before the rename left this very
// file (same inode) kept already: once is enough.
bool keptAlready(int versionsFd, const std::string& name, const struct stat& st) {
    std::vector<std::pair<std::string, unsigned char>> entries;
    if (!listFolder(versionsFd, entries)) return false;
    for (const auto& entry : entries) {
        std::string original;
        Poco::Timestamp stamp;
        unsigned attempt;
        struct stat kept;
        if (VersionName::parse(entry.first, original, stamp, attempt) && original == name &&
            ::fstatat(versionsFd, entry.first.c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
            kept.st_dev == st.st_dev && kept.st_ino == st.st_ino) {
            return true;
        }
    }
    return false;
}

// On the file's own file system: a hard link, or a move where links cannot
// be made and mayMove allows. False (with `error`) when a copy must do.
bool linkOrMove(int versionsFd, int folderFd, const std::string& name, const std::string& path,
                const Poco::Timestamp& when, bool mayMove, VersionsFolder::Kept& kept, int& error) {
    for (unsigned attempt = 1; attempt < 1000; ++attempt) {
        const std::string keptName = VersionName::of(name, when, attempt);
        if (::linkat(folderFd, name.c_str(), versionsFd, keptName.c_str(), 0) == 0) {
            kept = VersionsFolder::LINKED;
            return true;
        }
        error = errno;
        if (error != EEXIST) break;
    }
    if (error == EEXIST) FileCopier::throwErrno(path, error);
    if (!mayMove || !cannotLink(error)) return false;
    for (unsigned attempt = 1; attempt < 1000; ++attempt) {
        if (RenameNoReplace::move(folderFd, name, versionsFd,
                                  VersionName::of(name, when, attempt)) ==
            RenameNoReplace::PLACED) {
            kept = VersionsFolder::MOVED;
            return true;
        }
    }
    FileCopier::throwErrno(path, EEXIST);
}

// A copy, made under a temporary name in the versions folder itself and
// flushed before it takes its name.
void copyInto(int versionsFd, int folderFd, const std::string& name, const std::string& path,
              const Poco::Timestamp& when) {
    const std::string folderPath = "/proc/self/fd/" + std::to_string(versionsFd);
    std::string temp;
    const std::atomic<bool> noStop(false);
    const FileCopier::Result result =
        FileCopier::copyToTemporaryAt(folderFd, name, path, folderPath, temp, noStop);
    if (result != FileCopier::COPIED) FileCopier::throwErrno(path, ENOENT);
    const std::string tempName = temp.substr(temp.rfind('/') + 1);
    FileDescriptor written(::openat(versionsFd, tempName.c_str(), O_RDONLY | O_CLOEXEC));
    if (!written.valid() || ::fsync(written.get()) != 0) {
        const int failure = errno;
        ::unlinkat(versionsFd, tempName.c_str(), 0);
        FileCopier::throwErrno(path, failure);
    }
    for (unsigned attempt = 1; attempt < 1000; ++attempt) {
        if (RenameNoReplace::move(versionsFd, tempName, versionsFd,
                                  VersionName::of(name, when, attempt)) ==
            RenameNoReplace::PLACED) {
            ::fsync(versionsFd);
            return;
        }
    }
    ::unlinkat(versionsFd, tempName.c_str(), 0);
    FileCopier::throwErrno(path, EEXIST);
}

}  // namespace

VersionsFolder::Kept VersionsFolder::keep(int destinationFd, const std::string& relativeFolder,
                                          int folderFd, const std::string& name,
                                          const std::string& path, const Poco::Timestamp& when,
                                          bool mayMove) {
    struct stat st;
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        FileCopier::throwErrno(path, errno);
    if (!S_ISREG(st.st_mode)) FileCopier::throwErrno(path, EINVAL);
    FileDescriptor versions = open(destinationFd, relativeFolder);
    if (st.st_nlink > 1 && keptAlready(versions.get(), name, st)) return ALREADY;

    struct stat folderSt;
    const bool sameSystem = ::fstat(versions.get(), &folderSt) == 0 && folderSt.st_dev == st.st_dev;
    int error = EXDEV;
    Kept kept = LINKED;
    if (sameSystem && linkOrMove(versions.get(), folderFd, name, path, when, mayMove, kept, error))
        return kept;
    if (error != EXDEV && !cannotLink(error)) FileCopier::throwErrno(path, error);
    copyInto(versions.get(), folderFd, name, path, when);
    return COPIED;
}

Poco::UInt64 VersionsFolder::spaceToKeep(Poco::UInt64 totalBytes) {
    const Poco::UInt64 gib = Poco::UInt64(1) << 30;
    return std::max(gib, totalBytes / 50);
}

bool VersionsFolder::systemFreeSpace(int fd, Poco::UInt64& freeBytes, Poco::UInt64& totalBytes) {
    struct statvfs st;
    if (::fstatvfs(fd, &st) != 0) return false;
    freeBytes = Poco::UInt64(st.f_bavail) * st.f_frsize;
    totalBytes = Poco::UInt64(st.f_blocks) * st.f_frsize;
    return true;
}

VersionsFolder::Pruned VersionsFolder::prune(const std::string& destination,
                                             const VersionRetention& retention,
                                             const Poco::Timestamp& now, const FreeSpace& freeSpace,
                                             const std::string& scope) {
    Pruned pruned;
    FileDescriptor root(::open(destination.c_str(), FOLDER_FLAGS));
    if (!root.valid()) return pruned;
    FileDescriptor versions(::openat(root.get(), VersionName::FOLDER, FOLDER_FLAGS));
    if (!versions.valid()) return pruned;

    std::vector<Version> survivors;
    pruneFolder(versions.get(), "", destination, retention, now, true, scope, survivors,
                pruned.byRetention);

    // Short of space: the oldest go first, one at a time, until enough is free.
    std::sort(survivors.begin(), survivors.end(), [](const Version& a, const Version& b) {
        return std::tie(a.when, a.attempt) < std::tie(b.when, b.attempt);
    });
    for (const Version& version : survivors) {
        Poco::UInt64 freeBytes = 0, totalBytes = 0;
        if (!freeSpace || !freeSpace(versions.get(), freeBytes, totalBytes)) break;
        if (freeBytes >= spaceToKeep(totalBytes)) break;
        FileDescriptor folder = openBelow(versions.get(), version.folder);
        if (!folder.valid()) continue;
        if (::unlinkat(folder.get(), version.name.c_str(), 0) == 0) {
            ++pruned.forSpace;
        } else if (errno != ENOENT) {
            logRemoveError(destination, version, errno);
        }
    }
    return pruned;
}

}  // namespace Backup
}  // namespace Orvana
