// The service's side of the engine: the schedule check, starting backups on
// the target's worker, and stopping them. Runs on the service's thread.
#include <Poco/LocalDateTime.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>

#include <algorithm>

#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineClock.h"
#include "engine/Translation.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using Orvana::Data::PeerID;

void BackupPlugin::onTimer(const void* /*sender*/, MessagePtr& message) {
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    if (!isFromHost(message, ls)) return;
    const std::string tag = (*message)["TimerService"]["Tag"].getString();
    const std::string event = tag.substr(0, tag.find('#'));
    if (event == "BACKUP_PERIODIC_TIMER") {
        initiatePeriodicSync();
    } else {
        ls.error() << "Orvana::Backup::BackupPlugin::onTimer"
                   << " Unknown event " << tag << " received!" << std::endl;
    }
}

void BackupPlugin::initiatePeriodicSync() {
    static const std::string fn = "Orvana::Backup::BackupPlugin::initiatePeriodicSync";
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;

    std::map<PeerID, std::vector<RecordPtr>> due;
    for (const RecordPtr& rec : records) {
        PeerID peer(rec->targetPeerId);
        if (!rec->enabled || !isLocalPeer(peer)) continue;
        const Poco::LocalDateTime now = EngineClock::localNow();
        if (now.minute() != 0 || now.hour() != rec->backupTime) continue;
        if (rec->frequency == BackupDB::SCHEDULE_DAILY) {
            ls.trace() << fn << " Rec[" << rec->id << "]  marked for daily sync at time ["
                       << now.hour() << "] hours. Starting backup." << std::endl;
            due[peer].push_back(rec);
        } else if (rec->frequency == BackupDB::SCHEDULE_WEEKLY &&
                   now.dayOfWeek() == rec->backupDay) {
            ls.trace() << fn << " Rec[" << rec->id << "]  marked for weekly sync on day[ "
                       << now.dayOfWeek() << "] at time [" << now.hour()
                       << "] hours. Starting backup." << std::endl;
            due[peer].push_back(rec);
        }
    }
    for (const auto& entry : due) startBackupActivity(entry.first, entry.second);
}

void BackupPlugin::doBackup() {
    static const std::string fn = "Orvana::Backup::BackupPlugin::doBackup";
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    std::vector<std::string> peers;
    if (!m_pDB->getTargetPeers(peers)) {
        ls.error() << fn << ": Error reading DB. Ignoring backup request" << std::endl;
        return;
    }
    for (const std::string& text : peers) {
        PeerID peer(text);
        if (!isLocalPeer(peer)) {
            ls.trace() << fn << ": Peer [" << text << "] is not online. "
                       << " skipping backup to this peer " << std::endl;
            continue;
        }
        std::vector<RecordPtr> records;
        if (!m_pDB->getRecordsForPeer(text, records, true)) {
            ls.error() << fn << ": Error reading backup records. Ignoring backup request"
                       << std::endl;
            return;
        }
        startBackupActivity(peer, records);
    }
}

void BackupPlugin::backupRecord(RecordPtr record) {
    std::vector<RecordPtr> records(1, record);
    startBackupActivity(PeerID(record->targetPeerId), records);
}

void BackupPlugin::startBackupActivity(const PeerID& peer, const std::vector<RecordPtr>& records) {
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    for (const RecordPtr& rec : records) registry.clearActive(rec->id);

    std::vector<RecordPtr> queue(records);
    std::map<PeerID, BackupActivity*>::iterator it = m_workers.find(peer);
    if (it != m_workers.end() && it->second) {
        if (it->second->activity().isRunning()) {
            it->second->addRecords(records);
            return;
        }
        // A worker whose thread has ended would hold the records for ever;
        // what it still held goes to the new one first.
        std::vector<RecordPtr> left;
        it->second->getQueuedRecords(left);
        delete it->second;
        it->second = nullptr;
        queue.insert(queue.begin(), left.begin(), left.end());
    }
    // The service's own database file: the workers must not follow a moved
    // user data directory to a new, empty one.
    BackupActivity* worker = new BackupActivity(queue, m_name, m_pDB->filePath());
    m_workers[peer] = worker;
    worker->start();
}

BackupActivity* BackupPlugin::workerFor(const PeerID& peer) const {
    std::map<PeerID, BackupActivity*>::const_iterator it = m_workers.find(peer);
    return it == m_workers.end() ? nullptr : it->second;
}

void BackupPlugin::stopBackupAction(const int& id) {
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    BackupDB::BACKUP_RECORD record;
    // Whatever the target: every record's pass runs on a worker here.
    if (m_pDB->getBackupRecord(id, record)) {
        PeerID peer(record.targetPeerId);
        std::map<PeerID, BackupActivity*>::iterator it = m_workers.find(peer);
        if (it != m_workers.end() && it->second) {
            BackupActivity* worker = it->second;
            ls.trace() << "Orvana::Backup::BackupPlugin::stopBackupAction"
                       << ":  Stopping current activity for this record" << std::endl;
            // A record that only waits leaves the queue; the pass under way
            // (another record's) goes on untouched.
            const bool running = worker->dropWaiting(id);
            if (running || !worker->activity().isRunning()) {
                if (worker->activity().isRunning()) worker->stop();
                std::vector<RecordPtr> queue;
                worker->getQueuedRecords(queue);
                delete worker;
                it->second = nullptr;
                queue.erase(std::remove_if(queue.begin(), queue.end(),
                                           [id](const RecordPtr& r) { return r->id == id; }),
                            queue.end());
                if (!queue.empty()) startBackupActivity(peer, queue);
            }
        }
    }
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.setCurrentAction(id, tr("Idle"));
    registry.setCurrentFile(id, "");
    registry.setTotalSendSize(id, 0);
    registry.clearActive(id);
}

bool BackupPlugin::isLocalPeer(const PeerID& peer) { return BackupActivity::isLocalTarget(peer); }

}  // namespace Backup
}  // namespace Orvana
