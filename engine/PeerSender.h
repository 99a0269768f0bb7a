#pragma once
// PeerSender: the copy half of a pass whose target is another device. Sends
// the pass's changed files to the device's IncomingStore (PeerProtocol):
// small files several to a request, large ones a chunk at a time, resuming a
// large file's interrupted transfer from what the device holds. A file is
// marked backed up only once the device has confirmed that it is on disk
// (the reply to a commit).
//
// One object per pass, used on the worker's thread only. Reports failures
// through the callback (the pass's failPass) and progress in the
// BackupProgressRegistry, as the local copy does.

#include <Poco/Timestamp.h>
#include <Poco/Types.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/PeerID.h"
#include "hostapi/PeerLink.h"

namespace Orvana {
namespace Backup {

class PeerSender {
public:
    typedef std::function<void(const std::string& reason)> Failure;
    enum Outcome { COMPLETE, FAILED, STOPPED };

    PeerSender(const BackupDB::BACKUP_RECORD& record, BackupDB& db,
               const std::atomic<bool>& stop, Failure failure);

    // Announces the pass to the device; false (reported) when it cannot be
    // reached or refuses.
    bool begin();
    Outcome send(const std::vector<BackupDB::FILERECORD>& changes, Poco::Int64 changedSize,
                 Poco::Int64 changedCount);
    // A source folder the scan walked: its path as the files' (beginning
    // with the copy folder's name), its mode and modification time.
    struct Folder {
        std::string relative;
        mode_t mode;
        struct timespec mtime;
    };
    // After send: gives the device's copies of the folders (in scan order,
    // parents first) their modes and times; failures are reported.
    void sendFolders(const std::vector<Folder>& folders);
    // Tells the device the pass is over, unless send was cut off (what the
    // device holds of a file is then kept for resuming); failures only logged.
    void end();

    Poco::Int64 filesSent() const { return m_filesSent; }
    Poco::Int64 bytesSent() const { return m_bytesSent; }

    // What the user reads when the device did not answer.
    static std::string unreachable(const std::string& peer);

private:
    // A file in the request being filled, or held by the device unconfirmed.
    struct Pending {
        std::string source;
        int fileId;
        Poco::Int64 size;
    };

    // Reads one changed file and sends it, or adds it to the request being
    // filled; false when a stop cut its transfer short.
    bool sendFile(const BackupDB::FILERECORD& file);
    void addSmall(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                  const std::string& source);
    // A file too large for one request, a chunk per exchange; false when it
    // was not stored (reported, unless stopped).
    bool sendLarge(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                   const std::string& source);
    // The scan's sum of the file when the file is still as the scan found
    // it (size, modification and status-change time), else empty.
    std::string scanSum(const struct stat& st, const BackupDB::FILERECORD& file,
                        const std::string& source);
    // Where an interrupted transfer of a large file goes on (0: from the start).
    Poco::Int64 resumeOffset(const struct stat& st, const BackupDB::FILERECORD& file);
    // True when the device's copy already holds the file's bytes (proved by
    // SHA-256) and keeps it, given the file's mode and time at the next
    // commit: the bytes do not travel again.
    bool keptOnDevice(int fd, const struct stat& st, const BackupDB::FILERECORD& file,
                      const std::string& source, const std::string& crc);
    // Sends the request being filled; a refused file is reported.
    void sendPut();
    // Marks what the device holds backed up, once it says it is on disk.
    void commit();
    void held(const Pending& file);
    // A commit's reply body: the files (by their order in the batch) that
    // could not be placed, with the reason.
    static std::map<size_t, std::string> failures(const std::string& body);
    void fileFailed(const std::string& source, const std::string& why);
    void lost(const Orvana::API::PeerUnreachableException& e);
    void foldersRequest(Orvana::API::PeerFrame& request, size_t& count);

    // One exchange; a refusal of the whole request is thrown as
    // Poco::RuntimeException with the device's reason, a lost connection as
    // PeerUnreachableException.
    Orvana::API::PeerFrame exchange(Orvana::API::PeerFrame& request);

    BackupDB::BACKUP_RECORD m_record;
    Orvana::Data::PeerID m_peer;
    BackupDB& m_db;
    const std::atomic<bool>& m_stop;
    Failure m_failure;
    Poco::Int64 m_filesSent = 0;
    Poco::Int64 m_bytesSent = 0;
    // The pass's send: the request being filled, what the device holds not
    // yet on its disk, and what is left.
    Orvana::API::PeerFrame m_put;
    std::vector<Pending> m_inPut;
    std::size_t m_putFieldBytes = 0;  // of the files in m_put
    std::size_t m_filesPerPut;        // as the device's answer to "begin" allows
    std::vector<Pending> m_stored;
    Poco::Int64 m_storedBytes = 0;
    Poco::Timestamp m_batchStart;
    Poco::Int64 m_remainingCount = 0;
    Poco::Int64 m_remaining = 0;
    bool m_interrupted = false;  // send ended early: the peer was lost or the pass stopped
};

}  // namespace Backup
}  // namespace Orvana
