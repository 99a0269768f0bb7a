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

#include <Poco/Types.h>

#include <atomic>
#include <functional>
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
    // Tells the device the pass is over, unless send was cut off (what the
    // device holds of a file is then kept for resuming); failures only logged.
    void end();

    Poco::Int64 filesSent() const { return m_filesSent; }
    Poco::Int64 bytesSent() const { return m_bytesSent; }

    // What the user reads when the device did not answer.
    static std::string unreachable(const std::string& peer);

private:

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
    bool m_interrupted = false;  // send ended early: the peer was lost or the pass stopped
};

}  // namespace Backup
}  // namespace Orvana
