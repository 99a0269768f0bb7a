#pragma once
// IncomingStore: the storing side of backups that other devices send here
// (the operations of PeerProtocol). A peer's copies lie in
// <store location>/<peer>/<copy folder>; a peer reaches only its own folder
// there, every path is taken apart and opened step by step without following
// a link, and each file is written to a temporary, checked against the
// sender's CRC-32, and at the record's next commit flushed and only then
// renamed over the old copy (which becomes an earlier version). Interrupted transfers of a file stay in the
// peer's staging folder until the sender resumes them or ends its pass.
//
// Owns its own database connection (m_db, guarded by m_dbMutex). handle() is
// called on the host's listener threads, several at once: requests for the
// same peer and record are serialised by a lock of their own (m_recordLocks);
// requests of different records run side by side. Lock order: a record's
// lock, then m_usageMutex, m_pendingMutex, m_sumsMutex or m_dbMutex, never
// two of the latter.

#include <Poco/Types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/CheckedMutex.h"
#include "hostapi/FileDescriptor.h"
#include "hostapi/PeerLink.h"

namespace Orvana {
namespace Backup {

class CopyTree;

class IncomingStore {
public:
    // name: the service's name (its configuration key); dbFile: the
    // service's database file.
    IncomingStore(const std::string& name, const std::string& dbFile);

    // Answers one request of the peer `from` (proved by its certificate).
    // Never throws: every failure is a refusal with its reason.
    Orvana::API::PeerFrame handle(const Orvana::Data::PeerID& from,
                                  const Orvana::API::PeerFrame& request);

    // The per-peer quota in bytes (configuration "PEER_QUOTA_BYTES"; 0 or
    // absent: none) and the default store location, as the service sees them.
    Poco::Int64 quota();
    std::string storeLocation();

    // The folder name of a peer below the store location: its identifier in
    // lower case, or empty when that cannot be a folder name.
    static std::string peerFolder(const Orvana::Data::PeerID& peer);

    // One file's fields of a put, as read from the request.
    struct PutEntry {
        size_t index = 0;  // i of its fields
        std::string path;
        Poco::Int64 size = 0, mtime = 0, mode = 0, id = 0, offset = 0, len = 0;
        std::string crc;
        const char* data = nullptr;  // its bytes in the request's body
        std::string temp;            // once complete and checked: its temporary
        bool keep = false;           // the copy holds these bytes: only mode and time change
    };

private:
    struct Target;

    Orvana::API::PeerFrame begin(const std::string& peer, const Orvana::API::PeerFrame& request);
    Orvana::API::PeerFrame put(const Target& target, const Orvana::API::PeerFrame& request);
    Orvana::API::PeerFrame commit(const Target& target, const Orvana::API::PeerFrame& request);
    Orvana::API::PeerFrame offset(const Target& target, const Orvana::API::PeerFrame& request);
    Orvana::API::PeerFrame end(const Target& target);
    // "same" and "keep": whether the copy at a path already holds the bytes.
    Orvana::API::PeerFrame same(const Target& target, const Orvana::API::PeerFrame& request);
    Orvana::API::PeerFrame keep(const Target& target, const Orvana::API::PeerFrame& request);
    // "list", "versions" and "read" of the peer's own copy (PeerBrowseAnswers).
    Orvana::API::PeerFrame browse(const std::string& peer, int rec, const std::string& op,
                                  const Orvana::API::PeerFrame& request);
    // Gives the copies of folders their modes and times, made when missing.
    Orvana::API::PeerFrame folders(const Target& target, const Orvana::API::PeerFrame& request);

    // The incoming backup that `begin` opened for the peer's record.
    void openTarget(const std::string& peer, int rec, Target& target);
    // What the files of one put share: the record's staging folder, the quota.
    struct PutContext {
        Orvana::Util::FileDescriptor staging;
        Poco::Int64 quota;
    };
    // One file of a put; fills done_i, have_i or error_i of the reply.
    // A complete file, checked, is added to `complete`.
    void putFile(const Target& target, const PutContext& context,
                 const Orvana::API::PeerFrame& request, size_t i, size_t& bodyAt,
                 Orvana::API::PeerFrame& reply, std::vector<PutEntry>& complete);
    // Complete files of a record, checked, that the next commit places.
    void addPending(const Target& target, const PutEntry& entry);
    std::vector<PutEntry> takePending(const std::string& peer, int rec);
    // The staging file of a put's entry, opened to continue it or made anew
    // (within the quota; else refusal says why and nothing is opened).
    Orvana::Util::FileDescriptor openPartial(const Target& target, int stagingFd,
                                             Poco::Int64 quota, const std::string& name,
                                             const PutEntry& entry, std::string& refusal);
    void writePart(const Target& target, int fd, const PutEntry& entry);
    // Records the placed files' rows in one transaction; a file whose row
    // is not written gets an error in the reply, so the sender sends it again.
    void recordPlaced(const Target& target, const std::vector<PutEntry>& placed,
                      const std::vector<size_t>& indexes, Orvana::API::PeerFrame& reply);
    // The CRC-32 of the bytes a chunked transfer wrote since this start, by
    // its temporary's path, so that its last chunk is checked without
    // reading the file back. takeSum removes the entry and says whether sum
    // covers the bytes before offset.
    bool takeSum(const std::string& temp, Poco::Int64 offset, unsigned long& sum);
    void keepSum(const std::string& temp, Poco::Int64 bytes, unsigned long sum);
    std::shared_ptr<Orvana::Util::CheckedMutex> recordLock(const std::string& peer, int rec);
    // Bytes held for the peer, counted once per start.
    Poco::Int64 usage(const std::string& peer, int peerFd);
    void addUsage(const std::string& peer, Poco::Int64 bytes);

    std::string m_name;
    Orvana::Util::CheckedMutex m_dbMutex;
    BackupDB m_db GUARDED_BY(m_dbMutex);
    Orvana::Util::CheckedMutex m_locksMutex;
    std::map<std::string, std::shared_ptr<Orvana::Util::CheckedMutex>> m_recordLocks
        GUARDED_BY(m_locksMutex);
    Orvana::Util::CheckedMutex m_usageMutex;
    std::map<std::string, Poco::Int64> m_usage GUARDED_BY(m_usageMutex);  // by peer folder
    // A record's complete files waiting for its commit, in the order they came.
    struct Pending {
        std::map<Poco::UInt64, PutEntry> byOrder;
        std::map<std::string, Poco::UInt64> orderOf;  // by temporary
        Poco::UInt64 next = 0;
    };
    Orvana::Util::CheckedMutex m_pendingMutex;
    // By "<peer folder>/<rec>".
    std::map<std::string, Pending> m_pending GUARDED_BY(m_pendingMutex);
    Orvana::Util::CheckedMutex m_sumsMutex;
    // By temporary's path: bytes summed, their CRC-32.
    std::map<std::string, std::pair<Poco::Int64, unsigned long>> m_sums GUARDED_BY(m_sumsMutex);
};

}  // namespace Backup
}  // namespace Orvana
