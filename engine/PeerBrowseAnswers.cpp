#include "engine/PeerBrowseAnswers.h"

#include <Poco/Exception.h>
#include <Poco/Timestamp.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/PathRules.h"
#include "engine/PeerProtocol.h"
#include "engine/VersionLookup.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {
namespace PeerBrowseAnswers {

namespace P = PeerProtocol;
using Orvana::API::PeerFrame;
using Fd = Orvana::Util::FileDescriptor;

namespace {

const char* const LEAVES = "The path leaves this device's backup";

[[noreturn]] void refuse(const std::string& reason) { throw Poco::RuntimeException(reason); }

Poco::Int64 number(const PeerFrame& frame, const std::string& name, Poco::Int64 fallback) {
    const std::string text = frame.field(name);
    if (text.empty()) return fallback;
    Poco::Int64 v = 0;
    if (!P::parseNumber(text, v)) refuse("The field " + name + " is not a number");
    return v;
}

std::vector<std::string> namesOf(const std::string& path) {
    if (path.find('\0') != std::string::npos || (!path.empty() && path[0] == '/')) refuse(LEAVES);
    std::vector<std::string> names;
    for (std::string& name : PathRules::splitNames(path)) {
        if (name == "..") refuse(LEAVES);
        if (name != ".") names.push_back(std::move(name));
    }
    return names;
}

void putFacts(PeerFrame& frame, const struct stat& st) {
    frame.fields[P::SIZE] = std::to_string(S_ISREG(st.st_mode) ? st.st_size : 0);
    frame.fields[P::MTIME] = std::to_string(P::nanoseconds(st.st_mtim));
    frame.fields[P::MODE] = std::to_string(st.st_mode & 07777);
}

void appendItem(std::string& body, const std::string& name, bool folder, const struct stat& st,
                size_t versions, const std::string& stamp) {
    const std::string fields[] = {name,
                                  folder ? P::KIND_FOLDER : P::KIND_FILE,
                                  std::to_string(folder ? 0 : st.st_size),
                                  std::to_string(P::nanoseconds(st.st_mtim)),
                                  std::to_string(st.st_mode & 07777),
                                  std::to_string(versions),
                                  stamp};
    for (const std::string& field : fields) {
        body += field;
        body += '\0';
    }
}

// What a path of the peer's copy names, reached without following a link.
struct Found {
    enum Kind { NONE, FOLDER, FILE } kind = NONE;
    bool fileRecord = false;
    struct stat st {};
    Fd folder;                        // FOLDER: itself; FILE: the folder holding it
    bool parentFound = false;         // the folder that would hold the path is there
    std::vector<std::string> parent;  // that folder's names below the copy
    std::string name;                 // the path's last name
};

void find(int rootFd, const std::string& copy, const std::vector<std::string>& names, Found& f) {
    struct stat st;
    if (::fstatat(rootFd, copy.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISREG(st.st_mode)) {
        // A file record: its one file, named "" or by its own name.
        f.fileRecord = true;
        if (!(names.empty() || (names.size() == 1 && names[0] == copy))) return;
        f.parentFound = true;
        f.name = copy;
        f.folder = Fd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
        if (!f.folder.valid()) refuse(std::strerror(errno));
        f.st = st;
        f.kind = Found::FILE;
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    Fd copyFd = PathRules::openFolder(rootFd, copy);
    if (!copyFd.valid()) return;
    if (names.empty()) {
        if (::fstat(copyFd.get(), &f.st) != 0) return;
        f.folder = std::move(copyFd);
        f.kind = Found::FOLDER;
        return;
    }
    f.parent.assign(names.begin(), names.end() - 1);
    f.name = names.back();
    Fd parent = PathRules::openFolderBelow(std::move(copyFd), f.parent, nullptr);
    if (!parent.valid()) return;
    f.parentFound = true;
    if (::fstatat(parent.get(), f.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        f.folder = std::move(parent);
        return;
    }
    if (S_ISREG(st.st_mode)) {
        f.folder = std::move(parent);
        f.st = st;
        f.kind = Found::FILE;
    } else if (S_ISDIR(st.st_mode)) {
        f.folder = PathRules::openFolder(parent.get(), f.name);
        if (f.folder.valid() && ::fstat(f.folder.get(), &f.st) == 0) f.kind = Found::FOLDER;
    }
}

}  // namespace

PeerFrame nothingStored() {
    PeerFrame reply;
    reply.fields[P::STATUS] = P::STATUS_OK;
    reply.fields[P::KIND] = P::KIND_NONE;
    reply.fields[P::COUNT] = "0";
    return reply;
}

PeerFrame list(int rootFd, const std::string& root, const std::string& copy,
               const PeerFrame& request) {
    const std::vector<std::string> names = namesOf(request.field(P::PATH));
    const bool atMoment = request.fields.count(P::AT) != 0;
    const Poco::Timestamp moment(number(request, P::AT, 0));
    Found found;
    find(rootFd, copy, names, found);
    if (found.kind == Found::NONE) return nothingStored();

    PeerFrame reply = nothingStored();
    VersionLookup lookup(root, copy, found.fileRecord);
    if (found.kind == Found::FILE) {
        const VersionLookup::Versions& versions = lookup.of(found.parent, found.name);
        const VersionLookup::Version* then =
            atMoment ? VersionLookup::at(versions, moment) : nullptr;
        reply.fields[P::KIND] = P::KIND_FILE;
        putFacts(reply, then ? then->st : found.st);
        reply.fields[P::VERSIONS] = std::to_string(versions.size());
        reply.fields[P::STAMP] = then ? then->stamp : "";
        return reply;
    }
    reply.fields[P::KIND] = P::KIND_FOLDER;
    putFacts(reply, found.st);
    const std::map<std::string, VersionLookup::Versions>& all = lookup.folder(names);
    const int fd = ::fcntl(found.folder.get(), F_DUPFD_CLOEXEC, 0);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0) ::close(fd);
        refuse(std::string("The folder cannot be read: ") + std::strerror(errno));
    }
    struct Entry {
        std::string name;
        struct stat st;
    };
    std::vector<Entry> entries;
    while (const struct dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(found.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) entries.push_back(Entry{name, st});
    }
    ::closedir(dir);
    // Folders first, each kind in byte order: the order the page shows.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const bool af = S_ISDIR(a.st.st_mode), bf = S_ISDIR(b.st.st_mode);
        if (af != bf) return af;
        return a.name < b.name;
    });
    size_t count = 0;
    for (const Entry& e : entries) {
        if (reply.body.size() >= P::LIST_BYTES) break;
        const bool folder = S_ISDIR(e.st.st_mode);
        size_t versions = 0;
        const VersionLookup::Version* then = nullptr;
        if (!folder) {
            const auto it = all.find(e.name);
            if (it != all.end()) {
                versions = it->second.size();
                if (atMoment) then = VersionLookup::at(it->second, moment);
            }
        }
        appendItem(reply.body, e.name, folder, then ? then->st : e.st, versions,
                   then ? then->stamp : "");
        ++count;
    }
    reply.fields[P::COUNT] = std::to_string(count);
    if (count < entries.size()) reply.fields[P::MORE] = std::to_string(entries.size() - count);
    return reply;
}

PeerFrame versions(int rootFd, const std::string& root, const std::string& copy,
                   const PeerFrame& request) {
    const std::vector<std::string> names = namesOf(request.field(P::PATH));
    Found found;
    find(rootFd, copy, names, found);
    PeerFrame reply = nothingStored();
    // A file gone from the copy may still have versions while its folder is there.
    if (found.kind == Found::FOLDER || !found.parentFound) return reply;
    if (found.kind == Found::FILE) {
        reply.fields[P::KIND] = P::KIND_FILE;
        putFacts(reply, found.st);
    }
    VersionLookup lookup(root, copy, found.fileRecord);
    const VersionLookup::Versions& versions = lookup.of(found.parent, found.name);
    for (const VersionLookup::Version& version : versions)
        appendItem(reply.body, version.stamp, false, version.st, 0, "");
    reply.fields[P::COUNT] = std::to_string(versions.size());
    return reply;
}

PeerFrame read(int rootFd, const std::string& root, const std::string& copy,
               const PeerFrame& request) {
    const std::vector<std::string> names = namesOf(request.field(P::PATH));
    const std::string stamp = request.field(P::VERSION);
    const Poco::Int64 offset = number(request, P::OFFSET, 0);
    const Poco::Int64 len = number(request, P::LEN, P::CHUNK);
    if (len > P::CHUNK) refuse("Too many bytes asked for at once");
    Found found;
    find(rootFd, copy, names, found);
    Fd file;
    if (!stamp.empty()) {
        if (found.kind == Found::FOLDER || !found.parentFound) refuse("No such file in the backup");
        VersionLookup lookup(root, copy, found.fileRecord);
        const VersionLookup::Version* version =
            VersionLookup::withStamp(lookup.of(found.parent, found.name), stamp);
        if (!version || lookup.folderFd() < 0) refuse("No such version of this file");
        file.reset(::openat(lookup.folderFd(), version->keptName.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    } else {
        if (found.kind != Found::FILE) refuse("No such file in the backup");
        file.reset(
            ::openat(found.folder.get(), found.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    }
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        refuse("No such file in the backup");
    PeerFrame reply;
    reply.fields[P::STATUS] = P::STATUS_OK;
    putFacts(reply, st);
    const Poco::Int64 n = std::max<Poco::Int64>(0, std::min<Poco::Int64>(len, st.st_size - offset));
    reply.body.resize(static_cast<size_t>(n));
    for (Poco::Int64 done = 0; done < n;) {
        const ssize_t got =
            ::pread(file.get(), &reply.body[static_cast<size_t>(done)],
                    static_cast<size_t>(n - done), static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) refuse(std::string("The file cannot be read: ") + std::strerror(errno));
        if (got == 0) {
            // It shrank meanwhile: the asking side sees the size change.
            reply.body.resize(static_cast<size_t>(done));
            break;
        }
        done += got;
    }
    return reply;
}

}  // namespace PeerBrowseAnswers
}  // namespace Backup
}  // namespace Orvana
