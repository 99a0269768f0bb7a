#include "engine/IncomingStore.h"

#include <Poco/Path.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "engine/ContentHash.h"
#include "engine/CopyTree.h"
#include "engine/EngineClock.h"
#include "engine/FileCopier.h"
#include "engine/PathRules.h"
#include "engine/PeerBrowseAnswers.h"
#include "engine/PeerProtocol.h"
#include "engine/StagingFolder.h"
#include "engine/VersionsFolder.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileUtil.h"
#include "hostapi/ProfileManager.h"

namespace Orvana {
namespace Backup {

namespace P = PeerProtocol;
using Orvana::API::PeerFrame;
using Fd = Orvana::Util::FileDescriptor;

namespace {

const char* const FN = "Orvana::Backup::IncomingStore::handle";

// Ends a request with a refusal; the reason goes back to the sender.
class RefusalError : public std::runtime_error {
public:
    explicit RefusalError(const std::string& reason) : std::runtime_error(reason) {}
};

[[noreturn]] void refuse(const std::string& reason) { throw RefusalError(reason); }

Poco::Int64 number(const PeerFrame& frame, const std::string& name) {
    Poco::Int64 value = 0;
    if (!P::parseNumber(frame.field(name), value)) refuse("The field " + name + " is not a number");
    return value;
}

bool isCrc(const std::string& text) {
    if (text.size() != 8) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) ||
            std::isupper(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Names the engine keeps for itself at a tree's root (staging, versions).
bool isReserved(const std::string& name) { return name.compare(0, 8, ".backup-") == 0; }

PeerFrame okReply() {
    PeerFrame reply;
    reply.fields[P::STATUS] = P::STATUS_OK;
    return reply;
}

// The answer to "begin": it tells the sender how many files a put may carry.
PeerFrame begun() {
    PeerFrame reply = okReply();
    reply.fields[P::FILES] = std::to_string(P::FILES_PER_PUT_MAX);
    return reply;
}

std::string errnoText(int error) { return std::strerror(error); }

// Bytes of the regular files below the open folder.
Poco::Int64 treeBytes(int folderFd, int depth) {
    if (depth > 256) return 0;
    DIR* dir = ::fdopendir(::dup(folderFd));
    if (!dir) return 0;
    Poco::Int64 total = 0;
    while (struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(folderFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            total += st.st_size;
        } else if (S_ISDIR(st.st_mode)) {
            Fd child = PathRules::openFolder(folderFd, e->d_name);
            if (child.valid()) total += treeBytes(child.get(), depth + 1);
        }
    }
    ::closedir(dir);
    return total;
}

// The folder `name` in parentFd, made when missing; never through a link.
Fd makeFolder(int parentFd, const std::string& name) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) break;
        Fd folder = PathRules::openFolder(parentFd, name);
        // A concurrent end of another record may take a shared parent away.
        if (folder.valid() || errno != ENOENT) return folder;
    }
    return Fd();
}

std::string partialName(Poco::Int64 id, Poco::Int64 size, Poco::Int64 mtime) {
    return std::to_string(id) + "-" + std::to_string(size) + "-" + std::to_string(mtime);
}

}  // namespace

// The peer's incoming backup of one record, as a request may touch it.
struct IncomingStore::Target {
    std::string peer;      // the peer's folder name, also its SOURCEPEERID
    int rec = 0;           // the record's id on the peer
    int incomingId = 0;    // the BACKUP_INCOMING_RECORDS row
    std::string root;      // <store>/<peer>
    std::string copy;      // the copy folder's name below root
    Fd rootFd;             // root, opened without following a link
    std::string key;       // the record's staging folder below root

    // True when relative names a file below the copy folder.
    bool owns(const std::string& relative) const {
        return PathRules::staysInside(relative) &&
               (relative == copy || relative.compare(0, copy.size() + 1, copy + "/") == 0);
    }
    Fd staging() const {
        Fd parent = makeFolder(rootFd.get(), StagingFolder::NAME);
        if (!parent.valid()) refuse("The staging folder cannot be made: " + errnoText(errno));
        Fd folder = makeFolder(parent.get(), key);
        if (!folder.valid()) refuse("The staging folder cannot be made: " + errnoText(errno));
        return folder;
    }
    std::string stagingPath() const {
        return root + "/" + StagingFolder::NAME + "/" + key;
    }
};

IncomingStore::IncomingStore(const std::string& name, const std::string& dbFile)
    : m_name(name), m_db(name, dbFile) {}

std::string IncomingStore::peerFolder(const Orvana::Data::PeerID& peer) {
    if (!peer.isValid()) return std::string();
    std::string text = peer.toString();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.empty() || text.find('/') != std::string::npos || text[0] == '.' ||
        text.find('\0') != std::string::npos) {
        return std::string();
    }
    return text;
}

Poco::Int64 IncomingStore::quota() {
    Orvana::Util::CheckedLock lock(m_dbMutex);
    Poco::Int64 bytes = 0;
    return P::parseNumber(m_db.getConfigValue(m_name, "PEER_QUOTA_BYTES", ""), bytes) ? bytes : 0;
}

std::string IncomingStore::storeLocation() {
    // As the service settles it: the user's own choice, else beside the
    // user data.
    Orvana::Util::CheckedLock lock(m_dbMutex);
    const std::string custom = m_db.getConfigValue(m_name, "CUSTOM_DIR_SET", "NONE");
    if (custom != "NONE" && m_db.doesConfigExist(m_name, "BACKUP_DEF_STORE_KEY"))
        return m_db.getConfigValue(m_name, "BACKUP_DEF_STORE_KEY", "");
    const std::string data = Orvana::API::ProfileManager::getProfileUserDataDir();
    if (data.empty()) return std::string();
    return data + Poco::Path::separator() + m_name;
}

std::shared_ptr<Orvana::Util::CheckedMutex> IncomingStore::recordLock(const std::string& peer, int rec) {
    Orvana::Util::CheckedLock lock(m_locksMutex);
    std::shared_ptr<Orvana::Util::CheckedMutex>& entry = m_recordLocks[peer + "/" + std::to_string(rec)];
    if (!entry) entry = std::make_shared<Orvana::Util::CheckedMutex>();
    return entry;
}

Poco::Int64 IncomingStore::usage(const std::string& peer, int peerFd) {
    {
        Orvana::Util::CheckedLock lock(m_usageMutex);
        auto it = m_usage.find(peer);
        if (it != m_usage.end()) return it->second;
    }
    const Poco::Int64 bytes = treeBytes(peerFd, 0);
    Orvana::Util::CheckedLock lock(m_usageMutex);
    return m_usage.insert(std::make_pair(peer, bytes)).first->second;
}

void IncomingStore::addUsage(const std::string& peer, Poco::Int64 bytes) {
    Orvana::Util::CheckedLock lock(m_usageMutex);
    auto it = m_usage.find(peer);
    if (it != m_usage.end()) it->second = std::max<Poco::Int64>(0, it->second + bytes);
}

namespace {

// The copy at `relative` (below the device's folder), a regular file opened
// without following a link on the way; invalid otherwise.
Fd openCopy(int rootFd, const std::string& relative, struct stat& st) {
    const std::vector<std::string> names = PathRules::splitNames(relative);
    if (names.empty()) return Fd();
    Fd parent = PathRules::openFolderBelow(
        Fd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0)),
        std::vector<std::string>(names.begin(), names.end() - 1), nullptr);
    if (!parent.valid()) return Fd();
    Fd file(::openat(parent.get(), names.back().c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fd();
    return file;
}

// The SHA-256 of the copy at `relative` when it is a file of `size` bytes.
std::string copySum(int rootFd, const std::string& relative, Poco::Int64 size) {
    struct stat st;
    Fd file = openCopy(rootFd, relative, st);
    if (!file.valid() || st.st_size != size || size > P::SAME_SIZE) return std::string();
    return ContentHash::sha256(file.get(), size);
}

// Gives a copy that kept its bytes the sender's mode and time, through its
// folder's descriptor.
void touchStored(CopyTree& tree, const IncomingStore::PutEntry& e) {
    std::string folder, name;
    PathRules::splitLast(e.path, folder, name);
    const std::string path = tree.root() + "/" + e.path;
    Fd file(::openat(tree.folder(folder), name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!file.valid()) FileCopier::throwErrno(path, errno);
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != e.size)
        FileCopier::throwErrno(path, ESTALE);
    FileCopier::setModeAndTime(file.get(), static_cast<mode_t>(e.mode), P::timespecOf(e.mtime),
                               path);
}

// A stored file takes its place as a local pass's copy does: the regular
// file it replaces becomes a version first, a folder in its way is moved
// aside. temp lies on the same file system (the peer's staging folder).
void placeStored(CopyTree& tree, const std::string& temp, const std::string& relative) {
    std::string folder, name;
    PathRules::splitLast(relative, folder, name);
    const std::string path = tree.root() + "/" + relative;
    int parent = tree.folder(folder);
    struct stat old, fresh;
    if (::fstatat(parent, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
        ::stat(temp.c_str(), &fresh) == 0 &&
        !(old.st_size == fresh.st_size && old.st_mtim.tv_sec == fresh.st_mtim.tv_sec &&
          old.st_mtim.tv_nsec == fresh.st_mtim.tv_nsec)) {
        VersionsFolder::keep(tree.rootFd(), folder, parent, name, path,
                             EngineClock::localNow().timestamp(), true);
    }
    for (bool first = true;; first = false) {
        if (::renameat(AT_FDCWD, temp.c_str(), parent, name.c_str()) == 0) return;
        const int error = errno;
        struct stat st;
        if (first && (error == EISDIR || error == ENOTEMPTY || error == EEXIST) &&
            ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            tree.moveAside(relative);
            parent = tree.folder(folder);
            continue;
        }
        FileCopier::throwErrno(path, error);
    }
}

}  // namespace

namespace {

PeerFrame refusal(const Orvana::Data::PeerID& from, const std::string& op,
                  const std::string& reason) {
    Orvana::Util::BackupLog ls;
    ls.error() << FN << " : Refused [" << op << "] of [" << from.toString() << "]: " << reason
               << std::endl;
    PeerFrame reply;
    reply.fields[P::STATUS] = P::STATUS_REFUSED;
    reply.fields[P::REASON] = reason;
    return reply;
}

}  // namespace

PeerFrame IncomingStore::handle(const Orvana::Data::PeerID& from, const PeerFrame& request) {
    const std::string op = request.field(P::OP);
    try {
        const std::string peer = peerFolder(from);
        if (peer.empty()) refuse("The device's name cannot name a folder");
        Poco::Int64 rec = 0;
        if (!P::parseNumber(request.field(P::REC), rec) || rec > 0x7fffffff)
            refuse("The field rec is not a record id");
        std::shared_ptr<Orvana::Util::CheckedMutex> lock = recordLock(peer, static_cast<int>(rec));
        Orvana::Util::CheckedLock guard(*lock);
        if (op == P::OP_BEGIN) return begin(peer, request);
        if (op == P::OP_LIST || op == P::OP_VERSIONS || op == P::OP_READ)
            return browse(peer, static_cast<int>(rec), op, request);
        Target target;
        openTarget(peer, static_cast<int>(rec), target);
        if (op == P::OP_PUT) return put(target, request);
        if (op == P::OP_COMMIT) return commit(target, request);
        if (op == P::OP_OFFSET) return offset(target, request);
        if (op == P::OP_END) return end(target);
        if (op == P::OP_FOLDERS) return folders(target, request);
        if (op == P::OP_SAME) return same(target, request);
        if (op == P::OP_KEEP) return keep(target, request);
        refuse("Unknown operation");
    } catch (Poco::Exception& e) {
        return refusal(from, op, e.message().empty() ? e.displayText() : e.message());
    } catch (std::exception& e) {
        return refusal(from, op, e.what());
    }
}

PeerFrame IncomingStore::begin(const std::string& peer, const PeerFrame& request) {
    const int rec = static_cast<int>(number(request, P::REC));
    const std::string source = request.field(P::SOURCE);
    const std::string copy = request.field(P::COPY);
    if (copy.empty() || copy.find('/') != std::string::npos || copy == "." || copy == ".." ||
        isReserved(copy) || copy.find('\0') != std::string::npos) {
        refuse("The copy folder's name is not one folder name");
    }
    const std::string store = storeLocation();
    if (store.empty() || !PathRules::isAbsolute(store)) refuse("No store location is set here");
    Fd storeFd(::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!storeFd.valid()) refuse("The store location [" + store + "] is not there");
    Fd peerFd = makeFolder(storeFd.get(), peer);
    if (!peerFd.valid()) refuse("The folder for this device cannot be made: " + errnoText(errno));
    const std::string root = PathRules::normalize(store) + "/" + peer;
    const std::string stored = root + "/" + copy;

    Orvana::Util::CheckedLock lock(m_dbMutex);
    BackupDB::INC_RECORD own;
    if (!m_db.getIncomingRecord(rec, peer, own)) refuse("The store's index cannot be read");
    if (own.remoteRecId == rec && own.sourcePeerId == peer) {
        if (own.storedLocation == stored && own.sourceLocation == source) return begun();
        // The store location or the record's source changed: the record
        // starts over in its new place.
        if (!m_db.deleteIncomingRecord(own.id)) refuse("The store's index cannot be written");
    }
    if (!m_db.canUseStoredLocation(source, stored, peer))
        refuse("The folder [" + copy + "] here already holds the backup of another source");
    if (!m_db.addIncomingRecord(rec, "", peer, source, stored, Poco::Timestamp().utcTime()))
        refuse("The store's index cannot be written");
    return begun();
}

void IncomingStore::openTarget(const std::string& peer, int rec, Target& target) {
    BackupDB::INC_RECORD row;
    {
        Orvana::Util::CheckedLock lock(m_dbMutex);
        if (!m_db.getIncomingRecord(rec, peer, row)) refuse("The store's index cannot be read");
    }
    if (row.remoteRecId != rec || row.sourcePeerId != peer)
        refuse("No backup of this record was begun here");
    const std::string store = storeLocation();
    const std::string root = PathRules::normalize(store) + "/" + peer;
    std::string folder, copy;
    Orvana::Util::splitFolder(row.storedLocation, folder, copy);
    if (store.empty() || folder != root) refuse("The store location changed; begin again");
    Fd storeFd(::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!storeFd.valid()) refuse("The store location [" + store + "] is not there");
    target.rootFd = PathRules::openFolder(storeFd.get(), peer);
    if (!target.rootFd.valid()) refuse("The folder for this device is not there");
    target.peer = peer;
    target.rec = rec;
    target.incomingId = row.id;
    target.root = root;
    target.copy = copy;
    target.key = std::to_string(rec);
}

PeerFrame IncomingStore::put(const Target& target, const PeerFrame& request) {
    const Poco::Int64 count = number(request, P::COUNT);
    if (count < 1 || count > static_cast<Poco::Int64>(P::FILES_PER_PUT_MAX))
        refuse("Too many files in one request");
    PeerFrame reply = okReply();
    std::vector<PutEntry> complete;
    size_t bodyAt = 0;
    // Once per request rather than per file: a put carries up to
    // FILES_PER_PUT_MAX of them.
    PutContext context{target.staging(), quota()};
    for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
        try {
            putFile(target, context, request, i, bodyAt, reply, complete);
        } catch (Poco::Exception& e) {
            reply.fields[P::indexed(P::ERROR, i)] = e.message().empty() ? e.displayText() : e.message();
        }
    }
    for (PutEntry& e : complete) {
        e.data = nullptr;  // the request's body goes with it
        reply.fields[P::indexed(P::DONE, e.index)] = "1";
        addPending(target, e);
    }
    return reply;
}

namespace {

using PutEntry = IncomingStore::PutEntry;

PutEntry readEntry(const PeerFrame& request, size_t i, size_t& bodyAt) {
    PutEntry e;
    e.index = i;
    e.path = request.field(P::indexed(P::PATH, i));
    e.size = number(request, P::indexed(P::SIZE, i));
    e.mtime = number(request, P::indexed(P::MTIME, i));
    e.mode = number(request, P::indexed(P::MODE, i));
    e.id = number(request, P::indexed(P::ID, i));
    e.offset = number(request, P::indexed(P::OFFSET, i));
    e.len = number(request, P::indexed(P::LEN, i));
    e.crc = request.field(P::indexed(P::CRC, i));
    // A malformed entry spoils the body's layout for every entry after it.
    if (e.offset + e.len > e.size || bodyAt + e.len > request.body.size() || !isCrc(e.crc))
        refuse("A file's fields do not fit its data");
    e.data = request.body.data() + bodyAt;
    bodyAt += static_cast<size_t>(e.len);
    return e;
}

// Gives the complete temporary its mode and time; the put's flush puts it
// on disk.
void sealFile(Fd& file, const PutEntry& e) {
    FileCopier::setModeAndTime(file.get(), static_cast<mode_t>(e.mode), P::timespecOf(e.mtime),
                               e.path);
    const int closeError = ::close(file.release()) == 0 ? 0 : errno;
    if (closeError != 0) FileCopier::throwErrno(e.path, closeError);
}

CopyTree::MovedAside logMovedAside(const std::string& root) {
    return [root](const std::string& entry, const std::string& keptAs) {
        Orvana::Util::BackupLog ls;
        ls.information() << FN << " : [" << root << "/" << entry << "] moved aside to [" << root
                         << "/" << keptAs << "] for an entry of another type" << std::endl;
    };
}

}  // namespace

Fd IncomingStore::openPartial(const Target& target, int stagingFd, Poco::Int64 limit,
                              const std::string& name, const PutEntry& e, std::string& refusal) {
    if (e.offset != 0)
        return Fd(::openat(stagingFd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat old;
    Poco::Int64 held = 0;
    if (::fstatat(stagingFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode))
        held = old.st_size;
    if (limit > 0 && usage(target.peer, target.rootFd.get()) - held + e.size > limit) {
        refusal = "The storage quota for this device is used up";
        return Fd();
    }
    Fd file(::openat(stagingFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     0600));
    if (file.valid()) addUsage(target.peer, -held);
    return file;
}

void IncomingStore::writePart(const Target& target, int fd, const PutEntry& e) {
    for (Poco::Int64 written = 0; written < e.len;) {
        const ssize_t n = ::pwrite(fd, e.data + written, static_cast<size_t>(e.len - written),
                                   static_cast<off_t>(e.offset + written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            addUsage(target.peer, written);
            FileCopier::throwErrno(e.path, error);
        }
        written += n;
    }
    addUsage(target.peer, e.len);
}

void IncomingStore::putFile(const Target& target, const PutContext& context,
                            const PeerFrame& request, size_t i, size_t& bodyAt, PeerFrame& reply,
                            std::vector<PutEntry>& complete) {
    PutEntry e = readEntry(request, i, bodyAt);
    const std::string errorField = P::indexed(P::ERROR, i);
    if (!target.owns(e.path)) {
        reply.fields[errorField] = "The path leaves this device's backup";
        return;
    }

    const int staging = context.staging.get();
    const std::string name = partialName(e.id, e.size, e.mtime);
    std::string refusal;
    Fd file = openPartial(target, staging, context.quota, name, e, refusal);
    if (!refusal.empty()) {
        reply.fields[errorField] = refusal;
        return;
    }
    if (!file.valid() && errno != ENOENT) FileCopier::throwErrno(e.path, errno);
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != e.offset) {
        // The sender's idea of what is held is wrong: it asks again.
        reply.fields[errorField] = "The transfer does not continue what is held";
        reply.fields[P::indexed(P::HAVE, i)] =
            std::to_string(file.valid() && S_ISREG(st.st_mode) ? st.st_size : 0);
        return;
    }
    const std::string temp = target.stagingPath() + "/" + name;
    unsigned long sum = 0;
    const bool summed = takeSum(temp, e.offset, sum);
    writePart(target, file.get(), e);
    if (summed) sum = crc32(sum, reinterpret_cast<const Bytef*>(e.data), static_cast<uInt>(e.len));
    if (e.offset + e.len < e.size) {
        // What is acknowledged as held of a file the sender resumes must
        // survive a crash. A smaller one is sent anew after an interruption,
        // and the commit's flush covers it: waiting for the disk on each of
        // its chunks would only stall the transfer.
        if (e.size > P::RESUME_SIZE && ::fdatasync(file.get()) != 0)
            FileCopier::throwErrno(e.path, errno);
        if (summed) keepSum(temp, e.offset + e.len, sum);
        reply.fields[P::indexed(P::HAVE, i)] = std::to_string(e.offset + e.len);
        return;
    }
    e.temp = temp;
    // Checked from the bytes as they were written; a transfer begun before
    // this start is read back whole.
    std::string actual;
    if (summed) {
        actual = P::crcText(sum);
    } else if (!Orvana::Util::getFileCRC(e.temp, actual, -1, -1, nullptr)) {
        actual.clear();
    }
    if (actual != e.crc) {
        ::unlinkat(staging, name.c_str(), 0);
        addUsage(target.peer, -e.size);
        reply.fields[errorField] = "The file's content does not match its checksum";
        return;
    }
    sealFile(file, e);
    complete.push_back(e);
}

bool IncomingStore::takeSum(const std::string& temp, Poco::Int64 offset, unsigned long& sum) {
    Orvana::Util::CheckedLock lock(m_sumsMutex);
    auto it = m_sums.find(temp);
    bool known = offset == 0;
    sum = crc32(0L, Z_NULL, 0);
    if (it != m_sums.end()) {
        if (offset != 0 && it->second.first == offset) {
            sum = it->second.second;
            known = true;
        }
        // Kept again only once this chunk is written: a failed write leaves none.
        m_sums.erase(it);
    }
    return known;
}

void IncomingStore::keepSum(const std::string& temp, Poco::Int64 bytes, unsigned long sum) {
    Orvana::Util::CheckedLock lock(m_sumsMutex);
    m_sums[temp] = std::make_pair(bytes, sum);
}

void IncomingStore::recordPlaced(const Target& target, const std::vector<PutEntry>& placed,
                                 const std::vector<size_t>& indexes, PeerFrame& reply) {
    std::vector<BackupDB::StoredFile> rows;
    rows.reserve(placed.size());
    for (const PutEntry& e : placed)
        rows.push_back({static_cast<int>(e.id), target.root + "/" + e.path, e.crc});
    bool written;
    {
        Orvana::Util::CheckedLock lock(m_dbMutex);
        written = m_db.updateStoredFiles(target.rec, target.peer, target.incomingId, rows);
    }
    if (written) return;
    // The copies are in place; the sender sends them again next time.
    for (size_t i : indexes)
        reply.body += std::to_string(i) + '\0' + "The store's index cannot be written" + '\0';
}

namespace {

// The next NUL-ended text of body from at; false when there is none.
bool nextText(const std::string& body, size_t& at, std::string& text) {
    const size_t end = body.find('\0', at);
    if (end == std::string::npos) return false;
    text.assign(body, at, end - at);
    at = end + 1;
    return true;
}

}  // namespace

PeerFrame IncomingStore::folders(const Target& target, const PeerFrame& request) {
    const Poco::Int64 count = number(request, P::COUNT);
    if (count < 1 || count > static_cast<Poco::Int64>(P::FOLDERS_PER_REQUEST))
        refuse("Too many folders in one request");
    CopyTree tree(target.root, logMovedAside(target.root));
    PeerFrame reply = okReply();
    size_t at = 0;
    for (Poco::Int64 i = 0; i < count; ++i) {
        std::string path, modeText, mtimeText;
        if (!nextText(request.body, at, path) || !nextText(request.body, at, modeText) ||
            !nextText(request.body, at, mtimeText)) {
            refuse("A folder's fields do not fit the data");
        }
        std::string error;
        Poco::Int64 mode = 0, mtime = 0;
        if (!target.owns(path)) {
            error = "The path leaves this device's backup";
        } else if (!P::parseNumber(modeText, mode) || !P::parseNumber(mtimeText, mtime)) {
            error = "A folder's mode or time is not a number";
        } else {
            try {
                // A file system without modes or times still holds the files.
                if (const int failed = tree.setFolderAttributes(
                        path, static_cast<mode_t>(mode & 07777), P::timespecOf(mtime))) {
                    Orvana::Util::BackupLog ls;
                    ls.error() << FN << " : Error[" << errnoText(failed)
                               << "] setting the mode and time of [" << target.root << "/"
                               << path << "]" << std::endl;
                }
            } catch (Poco::Exception& e) {
                error = e.message().empty() ? e.displayText() : e.message();
            }
        }
        if (!error.empty() && reply.field(P::ERROR).empty())
            reply.fields[P::ERROR] = error + " [" + path + "]";
    }
    return reply;
}

void IncomingStore::addPending(const Target& target, const PutEntry& entry) {
    Orvana::Util::CheckedLock lock(m_pendingMutex);
    Pending& pending = m_pending[target.peer + "/" + std::to_string(target.rec)];
    // The same file put again before a commit has one temporary: it counts
    // once, where it came last. Looked up by name, as a commit may gather
    // thousands.
    auto known = pending.orderOf.find(entry.temp);
    if (known != pending.orderOf.end()) {
        pending.byOrder.erase(known->second);
        pending.orderOf.erase(known);
    }
    const Poco::UInt64 order = pending.next++;
    pending.byOrder.emplace(order, entry);
    pending.orderOf.emplace(entry.temp, order);
}

std::vector<IncomingStore::PutEntry> IncomingStore::takePending(const std::string& peer, int rec) {
    Orvana::Util::CheckedLock lock(m_pendingMutex);
    std::vector<PutEntry> taken;
    auto it = m_pending.find(peer + "/" + std::to_string(rec));
    if (it == m_pending.end()) return taken;
    taken.reserve(it->second.byOrder.size());
    for (auto& e : it->second.byOrder) taken.push_back(std::move(e.second));
    m_pending.erase(it);
    return taken;
}

PeerFrame IncomingStore::commit(const Target& target, const PeerFrame& request) {
    const std::vector<PutEntry> pending = takePending(target.peer, target.rec);
    // A restart here since the puts lost the list: the sender must not take
    // them for kept. Their temporaries stay until they are sent again.
    if (request.fields.count(P::COUNT) &&
        number(request, P::COUNT) != static_cast<Poco::Int64>(pending.size())) {
        refuse("Files sent since the last commit were lost here; they are sent again");
    }
    // One flush puts every temporary's data on disk before any takes the
    // place of an old copy, so a crash leaves the old copy or the whole new
    // one under the name; cheaper than a flush per file or per put.
    if (::syncfs(target.rootFd.get()) != 0) FileCopier::throwErrno(target.root, errno);
    CopyTree tree(target.root, logMovedAside(target.root));
    PeerFrame reply = okReply();
    std::vector<PutEntry> placed;
    std::vector<size_t> placedIndexes;
    for (size_t i = 0; i < pending.size(); ++i) {
        try {
            if (pending[i].keep)
                touchStored(tree, pending[i]);
            else
                placeStored(tree, pending[i].temp, pending[i].path);
            placed.push_back(pending[i]);
            placedIndexes.push_back(i);
        } catch (Poco::Exception& e) {
            reply.body += std::to_string(i) + '\0' +
                          (e.message().empty() ? e.displayText() : e.message()) + '\0';
        }
    }
    recordPlaced(target, placed, placedIndexes, reply);
    // The batch is acknowledged only once what it placed is on disk.
    if (::syncfs(target.rootFd.get()) != 0) FileCopier::throwErrno(target.root, errno);
    return reply;
}

PeerFrame IncomingStore::same(const Target& target, const PeerFrame& request) {
    const std::string path = request.field(P::PATH);
    if (!target.owns(path)) refuse("The path leaves this device's backup");
    PeerFrame reply = okReply();
    const std::string sum = copySum(target.rootFd.get(), path, number(request, P::SIZE));
    if (!sum.empty()) reply.fields[P::SHA] = sum;
    return reply;
}

PeerFrame IncomingStore::keep(const Target& target, const PeerFrame& request) {
    size_t bodyAt = 0;
    PutEntry e = readEntry(request, 0, bodyAt);
    if (!target.owns(e.path)) refuse("The path leaves this device's backup");
    if (e.offset != 0 || e.len != 0) refuse("A file's fields do not fit its data");
    PeerFrame reply = okReply();
    // Summed again rather than trusted from "same": the copy may have
    // changed since.
    const std::string sum = copySum(target.rootFd.get(), e.path, e.size);
    if (sum.empty() || sum != request.field(P::SHA)) {
        reply.fields[P::indexed(P::DONE, 0)] = "0";
        return reply;
    }
    e.data = nullptr;
    e.keep = true;
    // Its place among the pending files, apart from any temporary's name.
    e.temp = "=" + e.path;
    addPending(target, e);
    reply.fields[P::indexed(P::DONE, 0)] = "1";
    return reply;
}

PeerFrame IncomingStore::offset(const Target& target, const PeerFrame& request) {
    const Poco::Int64 size = number(request, P::SIZE);
    const std::string name =
        partialName(number(request, P::ID), size, number(request, P::MTIME));
    if (!target.owns(request.field(P::PATH))) refuse("The path leaves this device's backup");
    PeerFrame reply = okReply();
    Poco::Int64 have = 0;
    Fd parent = PathRules::openFolder(target.rootFd.get(), StagingFolder::NAME);
    Fd staging = parent.valid() ? PathRules::openFolder(parent.get(), target.key) : Fd();
    struct stat st;
    if (staging.valid() && ::fstatat(staging.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_size <= size) {
        have = st.st_size;
    }
    reply.fields[P::HAVE] = std::to_string(have);
    return reply;
}

PeerFrame IncomingStore::browse(const std::string& peer, int rec, const std::string& op,
                                const PeerFrame& request) {
    BackupDB::INC_RECORD row;
    {
        Orvana::Util::CheckedLock lock(m_dbMutex);
        if (!m_db.getIncomingRecord(rec, peer, row)) refuse("The store's index cannot be read");
    }
    // Only what the asking device itself sent for its own record is read.
    if (row.remoteRecId != rec || row.sourcePeerId != peer) {
        if (op == P::OP_LIST) return PeerBrowseAnswers::nothingStored();
        refuse("No backup of this record was begun here");
    }
    Target target;
    openTarget(peer, rec, target);
    const int fd = target.rootFd.get();
    if (op == P::OP_LIST) return PeerBrowseAnswers::list(fd, target.root, target.copy, request);
    if (op == P::OP_VERSIONS)
        return PeerBrowseAnswers::versions(fd, target.root, target.copy, request);
    return PeerBrowseAnswers::read(fd, target.root, target.copy, request);
}

PeerFrame IncomingStore::end(const Target& target) {
    takePending(target.peer, target.rec);
    StagingFolder::removeAt(target.rootFd.get(), target.key);
    {
        const std::string prefix = target.stagingPath() + "/";
        Orvana::Util::CheckedLock lock(m_sumsMutex);
        for (auto it = m_sums.lower_bound(prefix);
             it != m_sums.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
            it = m_sums.erase(it);
        }
    }
    {
        Orvana::Util::CheckedLock lock(m_usageMutex);
        m_usage.erase(target.peer);  // counted afresh: the dropped transfers are gone
    }
    VersionsFolder::prune(target.root, VersionRetention(), Poco::Timestamp(),
                          &VersionsFolder::systemFreeSpace);
    return okReply();
}

}  // namespace Backup
}  // namespace Orvana
