#include "engine/PeerSender.h"

#include <Poco/Exception.h>
#include <Poco/Timestamp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "engine/BackupProgressRegistry.h"
#include "engine/ContentHash.h"
#include "engine/PassLabels.h"
#include "engine/PathRules.h"
#include "engine/PeerProtocol.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileDescriptor.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace P = PeerProtocol;
using Orvana::API::PeerFrame;
using Fd = Orvana::Util::FileDescriptor;

namespace {

const char* const FN = "Orvana::Backup::PeerSender::send";

// As the local copy: a commit (a flush on the device) per batch.
const size_t BATCH_FILES = 20000;
const Poco::Int64 BATCH_BYTES = 256 * 1024 * 1024;
const Poco::Timestamp::TimeDiff BATCH_TIME = 5 * 1000 * 1000;  // microseconds

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && P::nanoseconds(a.st_mtim) == P::nanoseconds(b.st_mtim) &&
           a.st_ino == b.st_ino;
}

// Reads len bytes at offset; false on a short read (the file shrank) or an error.
bool readAt(int fd, Poco::Int64 offset, Poco::Int64 len, std::string& out) {
    out.resize(static_cast<size_t>(len));
    for (Poco::Int64 done = 0; done < len;) {
        const ssize_t n =
            ::pread(fd, &out[static_cast<size_t>(done)], static_cast<size_t>(len - done),
                    static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// The fields of one file in a put.
void describe(PeerFrame& frame, size_t i, const std::string& path, const struct stat& st,
              int fileId, Poco::Int64 offset, Poco::Int64 len, const std::string& crc) {
    frame.fields[P::indexed(P::PATH, i)] = path;
    frame.fields[P::indexed(P::SIZE, i)] = std::to_string(st.st_size);
    frame.fields[P::indexed(P::MTIME, i)] = std::to_string(P::nanoseconds(st.st_mtim));
    frame.fields[P::indexed(P::MODE, i)] = std::to_string(st.st_mode & 07777);
    frame.fields[P::indexed(P::CRC, i)] = crc;
    frame.fields[P::indexed(P::ID, i)] = std::to_string(fileId < 0 ? 0 : fileId);
    frame.fields[P::indexed(P::OFFSET, i)] = std::to_string(offset);
    frame.fields[P::indexed(P::LEN, i)] = std::to_string(len);
}

}  // namespace

PeerSender::PeerSender(const BackupDB::BACKUP_RECORD& record, BackupDB& db,
                       const std::atomic<bool>& stop, Failure failure)
    : m_record(record),
      m_peer(record.targetPeerId),
      m_db(db),
      m_stop(stop),
      m_failure(std::move(failure)),
      m_filesPerPut(P::FILES_PER_PUT) {}

std::map<size_t, std::string> PeerSender::failures(const std::string& body) {
    std::map<size_t, std::string> out;
    for (size_t at = 0; at < body.size();) {
        const size_t indexEnd = body.find('\0', at);
        if (indexEnd == std::string::npos) break;
        const size_t reasonEnd = body.find('\0', indexEnd + 1);
        if (reasonEnd == std::string::npos) break;
        try {
            out[std::stoul(body.substr(at, indexEnd - at))] =
                body.substr(indexEnd + 1, reasonEnd - indexEnd - 1);
        } catch (std::exception&) {
        }
        at = reasonEnd + 1;
    }
    return out;
}

std::string PeerSender::unreachable(const std::string& peer) {
    return tr("The device [") + peer + tr("] cannot be reached");
}

PeerFrame PeerSender::exchange(PeerFrame& request) {
    request.fields[P::REC] = std::to_string(m_record.id);
    PeerFrame reply = Orvana::API::PeerLink::exchange(m_peer, request, P::TIMEOUT_SECONDS);
    if (reply.field(P::STATUS) != P::STATUS_OK) {
        const std::string reason = reply.field(P::REASON, reply.field("error", "no answer"));
        throw Poco::RuntimeException(tr("The device [") + m_record.targetPeerId +
                                     tr("] refused the backup:") + " " + reason);
    }
    return reply;
}

bool PeerSender::begin() {
    Orvana::Util::BackupLog ls;
    std::string folder, copy;
    Orvana::Util::splitFolder(PathRules::normalize(m_record.localPath), folder, copy);
    PeerFrame request;
    request.fields[P::OP] = P::OP_BEGIN;
    request.fields[P::SOURCE] = m_record.localPath;
    request.fields[P::COPY] = copy;
    try {
        Poco::Int64 files = 0;
        if (P::parseNumber(exchange(request).field(P::FILES), files)) {
            m_filesPerPut = static_cast<std::size_t>(std::max<Poco::Int64>(
                P::FILES_PER_PUT, std::min<Poco::Int64>(files, P::FILES_PER_PUT_MAX)));
        }
        return true;
    } catch (Orvana::API::PeerUnreachableException& e) {
        ls.error() << PassLabels::PASS << " : Peer [" << m_record.targetPeerId
                   << "] is not online. Nothing copied for rec " << m_record.id << " ("
                   << e.message() << ")" << std::endl;
        m_failure(unreachable(m_record.targetPeerId));
    } catch (Poco::Exception& e) {
        ls.error() << "Orvana::Backup::PeerSender::begin : " << e.message() << std::endl;
        m_failure(e.message());
    }
    return false;
}

void PeerSender::end() {
    // What the device holds of an interrupted file is kept for the next pass.
    if (m_interrupted) return;
    PeerFrame request;
    request.fields[P::OP] = P::OP_END;
    try {
        exchange(request);
    } catch (Poco::Exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << "Orvana::Backup::PeerSender::end : " << e.message() << std::endl;
    }
}

void PeerSender::fileFailed(const std::string& source, const std::string& why) {
    Orvana::Util::BackupLog ls;
    ls.error() << FN << " : File [" << source << "] not stored on [" << m_record.targetPeerId
               << "]: " << why << std::endl;
    m_failure(why + " [" + source + "]");
}

void PeerSender::held(const Pending& file) {
    m_stored.push_back(file);
    m_storedBytes += file.size;
}

void PeerSender::sendPut() {
    if (m_inPut.empty()) return;
    m_put.fields[P::OP] = P::OP_PUT;
    m_put.fields[P::COUNT] = std::to_string(m_inPut.size());
    std::vector<Pending> sent;
    sent.swap(m_inPut);
    m_putFieldBytes = 0;
    PeerFrame reply;
    try {
        reply = exchange(m_put);
    } catch (Orvana::API::PeerUnreachableException&) {
        throw;
    } catch (Poco::Exception& e) {
        m_put = PeerFrame();
        for (const Pending& p : sent) fileFailed(p.source, e.message());
        return;
    }
    m_put = PeerFrame();
    for (size_t i = 0; i < sent.size(); ++i) {
        if (reply.field(P::indexed(P::DONE, i)) == "1")
            held(sent[i]);
        else
            fileFailed(sent[i].source, reply.field(P::indexed(P::ERROR, i), "not stored"));
    }
}

void PeerSender::commit() {
    sendPut();
    if (m_stored.empty()) return;
    PeerFrame request;
    request.fields[P::OP] = P::OP_COMMIT;
    request.fields[P::COUNT] = std::to_string(m_stored.size());
    const std::map<size_t, std::string> notPlaced = failures(exchange(request).body);
    std::vector<int> ids;
    for (size_t i = 0; i < m_stored.size(); ++i) {
        const Pending& p = m_stored[i];
        auto failed = notPlaced.find(i);
        if (failed != notPlaced.end()) {
            fileFailed(p.source, failed->second);
            continue;
        }
        if (p.fileId != 0) ids.push_back(p.fileId);
        m_remainingCount -= 1;
        m_remaining -= p.size;
        ++m_filesSent;
        m_bytesSent += p.size;
    }
    if (!ids.empty() && !m_db.setSourceFilesSynced(ids))
        m_failure(tr("The backup index could not be read or written"));
    m_stored.clear();
    m_storedBytes = 0;
    m_batchStart.update();
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.setToSendCount(m_record.id, m_remainingCount);
    registry.setRemainingSendSize(m_record.id, m_remaining);
}

Poco::Int64 PeerSender::resumeOffset(const struct stat& st, const BackupDB::FILERECORD& file) {
    if (st.st_size <= P::RESUME_SIZE) return 0;
    PeerFrame ask;
    ask.fields[P::OP] = P::OP_OFFSET;
    ask.fields[P::PATH] = file.fileName;
    ask.fields[P::SIZE] = std::to_string(st.st_size);
    ask.fields[P::MTIME] = std::to_string(P::nanoseconds(st.st_mtim));
    ask.fields[P::ID] = std::to_string(file.fileId);
    Poco::Int64 have = 0;
    try {
        have = std::stoll(exchange(ask).field(P::HAVE, "0"));
    } catch (std::invalid_argument&) {
    } catch (std::out_of_range&) {
    }
    // All of it held means its last step never ended: sent anew.
    return have > 0 && have < st.st_size ? have : 0;
}

std::string PeerSender::scanSum(const struct stat& st, const BackupDB::FILERECORD& file,
                                const std::string& source) {
    if (file.checksum.size() != 8) return std::string();
    BackupDB::SOURCE_RECORD row;
    if (!m_db.getSourceRecord(source, m_record.id, row) || row.checksum != file.checksum)
        return std::string();
    // The status-change time moves with every write, also one that puts the
    // modification time back: equal, the bytes are those the scan summed. A
    // row without it (written before it was kept) is not trusted.
    const Poco::Int64 mtime =
        static_cast<Poco::Int64>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
    if (row.fileSize != st.st_size || row.changeTime < 0 ||
        row.changeTime != P::nanoseconds(st.st_ctim) ||
        row.lastModifiedTime.epochMicroseconds() != mtime) {
        return std::string();
    }
    return file.checksum;
}

bool PeerSender::keptOnDevice(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                              const std::string& source, const std::string& crc) {
    if (st.st_size > P::SAME_SIZE || m_stop) return false;
    PeerFrame ask;
    ask.fields[P::OP] = P::OP_SAME;
    ask.fields[P::PATH] = file.fileName;
    ask.fields[P::SIZE] = std::to_string(st.st_size);
    try {
        // Only a copy of the same size is summed there.
        const std::string theirs = exchange(ask).field(P::SHA);
        if (theirs.empty() || ContentHash::sha256(fd, st.st_size, &m_stop) != theirs) return false;
        struct stat now;
        if (::fstat(fd, &now) != 0 || !sameFile(st, now)) return false;
        PeerFrame request;
        request.fields[P::OP] = P::OP_KEEP;
        describe(request, 0, file.fileName, st, file.fileId, 0, 0, crc);
        request.fields[P::SHA] = theirs;
        if (exchange(request).field(P::indexed(P::DONE, 0)) != "1") return false;
    } catch (Orvana::API::PeerUnreachableException&) {
        throw;
    } catch (Poco::Exception&) {
        // A device of an earlier build knows neither request: the file is sent.
        return false;
    }
    held(Pending{source, file.fileId, st.st_size});
    return true;
}

bool PeerSender::sendLarge(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                           const std::string& source) {
    const Poco::Int64 have = resumeOffset(st, file);
    // The scan's sum spares summing the file a second time, and reading the
    // part the device already holds at all.
    const std::string scanned = scanSum(st, file, source);
    if (have == 0 && !scanned.empty() && keptOnDevice(fd, st, file, source, scanned)) return true;
    uLong crc = crc32(0L, Z_NULL, 0);
    std::string chunk;
    // The part already held counts into the checksum of the whole.
    for (Poco::Int64 at = 0; scanned.empty() && at < have; at += P::CHUNK) {
        if (m_stop) return false;
        const Poco::Int64 len = std::min<Poco::Int64>(P::CHUNK, have - at);
        if (!readAt(fd, at, len, chunk)) {
            fileFailed(source, tr("File changed while it was being copied:"));
            return false;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(len));
    }
    if (have > 0) {
        Orvana::Util::BackupLog ls;
        ls.information() << FN << " : Resuming [" << source << "] at byte " << have << std::endl;
    }
    for (Poco::Int64 at = have; at < st.st_size;) {
        if (m_stop) return false;
        const Poco::Int64 len = std::min<Poco::Int64>(P::CHUNK, st.st_size - at);
        struct stat now;
        if (!readAt(fd, at, len, chunk) || ::fstat(fd, &now) != 0 || !sameFile(st, now)) {
            fileFailed(source, tr("File changed while it was being copied:"));
            return false;
        }
        if (scanned.empty())
            crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(len));
        PeerFrame request;
        request.fields[P::OP] = P::OP_PUT;
        request.fields[P::COUNT] = "1";
        // The device checks the sum with the last chunk only.
        describe(request, 0, file.fileName, st, file.fileId, at, len,
                 scanned.empty() ? P::crcText(crc) : scanned);
        request.body.swap(chunk);
        PeerFrame reply;
        try {
            reply = exchange(request);
        } catch (Orvana::API::PeerUnreachableException&) {
            throw;
        } catch (Poco::Exception& e) {
            fileFailed(source, e.message());
            return false;
        }
        if (reply.field(P::indexed(P::DONE, 0)) == "1") {
            held(Pending{source, file.fileId, st.st_size});
            return true;
        }
        if (reply.field(P::indexed(P::HAVE, 0)) != std::to_string(at + len)) {
            fileFailed(source, reply.field(P::indexed(P::ERROR, 0), "not stored"));
            return false;
        }
        at += len;
    }
    return false;
}

void PeerSender::addSmall(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                          const std::string& source) {
    std::string data;
    struct stat now;
    if (!readAt(fd, 0, st.st_size, data) || ::fstat(fd, &now) != 0 || !sameFile(st, now)) {
        fileFailed(source, tr("File changed while it was being copied:"));
        return;
    }
    const std::size_t fieldBytes = file.fileName.size() + P::FILE_FIELD_BYTES;
    if (m_inPut.size() >= m_filesPerPut ||
        static_cast<Poco::Int64>(m_put.body.size() + data.size()) > P::CHUNK ||
        m_putFieldBytes + fieldBytes > P::PUT_FIELD_BYTES) {
        sendPut();
    }
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()),
                            static_cast<uInt>(data.size()));
    describe(m_put, m_inPut.size(), file.fileName, st, file.fileId, 0, st.st_size, P::crcText(crc));
    m_put.body += data;
    m_putFieldBytes += fieldBytes;
    m_inPut.push_back(Pending{source, file.fileId, st.st_size});
}

bool PeerSender::sendFile(const BackupDB::FILERECORD& file) {
    const std::string source = PathRules::join(file.dirName, file.fileName);
    if (!PathRules::staysInside(file.fileName)) {
        fileFailed(source, tr("File name leaves the destination"));
        return true;
    }
    // Not through a link, never blocking on a fifo swapped in.
    Fd fd(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!fd.valid() && (errno == ENOENT || errno == ELOOP || errno == ENOTDIR)) {
        m_remainingCount -= 1;  // vanished since the scan
        return true;
    }
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        fileFailed(source, std::strerror(errno));
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        m_remainingCount -= 1;
        return true;
    }
    BackupProgressRegistry::instance().setCurrentFile(m_record.id, source);
    if (st.st_size <= P::CHUNK) {
        addSmall(fd.get(), st, file, source);
        return true;
    }
    sendPut();
    return sendLarge(fd.get(), st, file, source) || !m_stop;
}

PeerSender::Outcome PeerSender::send(const std::vector<BackupDB::FILERECORD>& changes,
                                     Poco::Int64 changedSize, Poco::Int64 changedCount) {
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    const int recId = m_record.id;
    registry.setTotalSendSize(recId, changedSize);
    m_remainingCount = changedCount;
    m_remaining = changedSize;
    m_batchStart.update();
    bool failed = false, stopped = false;
    try {
        for (const BackupDB::FILERECORD& file : changes) {
            if (m_stop) {
                stopped = true;
                break;
            }
            registry.setRemainingSendSize(recId, m_remaining);
            if (!sendFile(file)) {
                stopped = true;
                break;
            }
            if (m_stored.size() >= BATCH_FILES || m_storedBytes >= BATCH_BYTES ||
                m_batchStart.elapsed() >= BATCH_TIME) {
                commit();
            }
        }
        // A stop keeps what the device already holds: committing it is quick.
        commit();
    } catch (Orvana::API::PeerUnreachableException& e) {
        lost(e);
        failed = true;
    } catch (Poco::Exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << FN << " : " << e.message() << std::endl;
        m_failure(e.message());
        failed = true;
    }
    m_interrupted = failed || stopped;
    registry.setToSendCount(recId, m_remainingCount);
    registry.setRemainingSendSize(recId, m_remaining);
    if (stopped) return STOPPED;
    return failed ? FAILED : COMPLETE;
}

void PeerSender::lost(const Orvana::API::PeerUnreachableException& e) {
    Orvana::Util::BackupLog ls;
    ls.error() << FN << " : Peer [" << m_record.targetPeerId << "] lost (" << e.message()
               << ") during rec " << m_record.id << std::endl;
    m_failure(unreachable(m_record.targetPeerId));
    m_interrupted = true;
}

void PeerSender::sendFolders(const std::vector<Folder>& folders) {
    if (m_interrupted || folders.empty()) return;
    PeerFrame request;
    size_t count = 0;
    try {
        // Children before their parents: making an entry changes its folder's time.
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
            const Poco::Int64 mtime = P::nanoseconds(folder->mtime);
            request.body += folder->relative + '\0' + std::to_string(folder->mode & 07777) + '\0' +
                            std::to_string(mtime) + '\0';
            if (++count == P::FOLDERS_PER_REQUEST ||
                static_cast<Poco::Int64>(request.body.size()) > P::CHUNK) {
                foldersRequest(request, count);
            }
        }
        if (count > 0) foldersRequest(request, count);
    } catch (Orvana::API::PeerUnreachableException& e) {
        lost(e);
    } catch (Poco::Exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << "Orvana::Backup::PeerSender::sendFolders : " << e.message() << std::endl;
        m_failure(e.message());
    }
}

void PeerSender::foldersRequest(PeerFrame& request, size_t& count) {
    request.fields[P::OP] = P::OP_FOLDERS;
    request.fields[P::COUNT] = std::to_string(count);
    const PeerFrame reply = exchange(request);
    // The folder is missing from the copy.
    if (!reply.field(P::ERROR).empty()) m_failure(reply.field(P::ERROR));
    request = PeerFrame();
    count = 0;
}

}  // namespace Backup
}  // namespace Orvana
