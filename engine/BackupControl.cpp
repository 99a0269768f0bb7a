// The service's side of the engine: the schedule check, starting backups on
// the target's worker, and stopping them. Runs on the service's thread.
#include <Poco/DateTimeFormatter.h>
#include <Poco/LocalDateTime.h>

#include <algorithm>

#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineClock.h"
#include "engine/RecordSchedule.h"
#include "engine/RestoreQueueItem.h"
#include "engine/Translation.h"
#include "hostapi/BackupLog.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/PeerLink.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

using Orvana::Data::PeerID;

void BackupPlugin::onTimer(const void* /*sender*/, MessagePtr& message) {
    Orvana::Util::BackupLog ls;
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
    Orvana::Util::BackupLog ls;
    std::vector<RecordPtr> records;
    if (!m_pDB->getAllBackupRecords(records)) return;

    std::map<PeerID, std::vector<RecordPtr>> due;
    for (const RecordPtr& rec : records) {
        PeerID peer(rec->targetPeerId);
        if (!rec->enabled) continue;
        const Poco::LocalDateTime now = EngineClock::localNow();
        if (now.minute() != 0 || now.hour() != rec->backupTime) continue;
        // Another device's records run when it answers; asked only when due.
        if (!isLocalPeer(peer) && !Orvana::API::PeerLink::reachable(peer)) continue;
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
    noticeOverdue(records);
}

void BackupPlugin::noticeOverdue(const std::vector<RecordPtr>& records) {
    if (!m_pDispatcher) return;
    const Poco::LocalDateTime now = EngineClock::localNow();
    const std::string today = Poco::DateTimeFormatter::format(now, "%Y-%m-%d");
    const BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    for (const RecordPtr& stored : records) {
        BackupDB::BACKUP_RECORD rec = *stored;
        if (!RecordSchedule::isScheduled(rec) || !isLocalPeer(PeerID(rec.targetPeerId))) continue;
        registry.applyLastRun(rec);
        if (!RecordSchedule::isOverdue(rec, overdueSince(rec), now)) continue;
        // Once a day, also across restarts.
        const std::string key = "OVERDUE_NOTICE_" + std::to_string(rec.id);
        if (m_overdueNoticeDay[rec.id] == today || m_pDB->getConfigValue(m_name, key, "") == today)
            continue;
        m_overdueNoticeDay[rec.id] = today;
        m_pDB->setConfigValue(m_name, key, today);
        const std::string reason =
            rec.lastSuccessTime.epochMicroseconds() == 0
                ? tr("No backup has succeeded yet")
                : tr("No successful backup since") + " " +
                      Poco::DateTimeFormatter::format(Poco::LocalDateTime(rec.lastSuccessTime),
                                                      "%e-%b-%y %h:%M %A");
        sendFailureNotice(rec, "overdue", reason);
    }
}

Poco::Timestamp BackupPlugin::overdueSince(const BackupDB::BACKUP_RECORD& record) {
    if (record.lastSuccessTime.epochMicroseconds() != 0) return record.lastSuccessTime;
    // Never succeeded: it is late from its first run on; one that never ran
    // at all has no time to be late by.
    std::vector<BackupDB::RUN_RECORD> runs;
    if (m_pDB->getRuns(record.id, BackupDB::MAX_RUNS, runs) && !runs.empty())
        return Poco::Timestamp::fromUtcTime(runs.back().startTime);
    return Poco::Timestamp(0);
}

void BackupPlugin::sendFailureNotice(const BackupDB::BACKUP_RECORD& record,
                                     const std::string& result, const std::string& reason) {
    if (!m_pDispatcher) return;
    try {
        m_pDispatcher->sendMessage(Orvana::Misc::MessageUtil::createNewFailureNoticeMessage(
            m_name, record.id, record.localPath, record.remotePath, result, reason));
    } catch (std::exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << "Orvana::Backup::BackupPlugin::sendFailureNotice"
                   << " : Error[" << e.what() << "] telling the host that rec " << record.id << " "
                   << result << std::endl;
    }
}

void BackupPlugin::doBackup() {
    static const std::string fn = "Orvana::Backup::BackupPlugin::doBackup";
    Orvana::Util::BackupLog ls;
    std::vector<std::string> peers;
    if (!m_pDB->getTargetPeers(peers)) {
        ls.error() << fn << ": Error reading DB. Ignoring backup request" << std::endl;
        return;
    }
    for (const std::string& text : peers) {
        PeerID peer(text);
        if (!isLocalPeer(peer) && !Orvana::API::PeerLink::reachable(peer)) {
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
    std::map<PeerID, BackupActivity*>::iterator it = m_workers.find(peer);
    BackupActivity* running =
        it != m_workers.end() && it->second && it->second->activity().isRunning() ? it->second
                                                                                  : nullptr;
    // A record's backup is queued once: a second request while one waits or
    // runs would only disturb the state of the pass under way. Restores
    // always go in.
    std::vector<RecordPtr> queue;
    std::set<int> backups;
    for (const RecordPtr& rec : records) {
        if (!RestoreQueueItem::jobOf(rec)) {
            if (!backups.insert(rec->id).second) continue;
            if (running && running->hasBackupOf(rec->id)) continue;
        }
        // The active mark of a pass under way (a restore's) stays.
        if (registry.getRunKind(rec->id).empty()) registry.clearActive(rec->id);
        queue.push_back(rec);
    }
    if (queue.empty()) return;

    if (it != m_workers.end() && it->second) {
        if (running) {
            running->addRecords(queue);
            return;
        }
        // A worker whose thread has ended would hold the records for ever;
        // what it still held goes to the new one first.
        std::vector<RecordPtr> left;
        it->second->getQueuedRecords(left);
        delete it->second;
        it->second = nullptr;
        queue.insert(queue.begin(), left.begin(), left.end());
        std::set<int> seen;
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [&seen](const RecordPtr& r) {
                                       return !RestoreQueueItem::jobOf(r) &&
                                              !seen.insert(r->id).second;
                                   }),
                    queue.end());
    }
    // The service's own database file: the workers must not follow a moved
    // user data directory to a new, empty one.
    BackupActivity* worker = new BackupActivity(queue, m_name, m_pDB->filePath());
    worker->setPassListener(
        [this](const BackupDB::BACKUP_RECORD& record, const BackupDB::RUN_RECORD& run) {
            // A stop is the user's own doing; only backups are watched for.
            if (run.kind == "backup" &&
                (run.result == "failed" || run.result == "completed with errors"))
                sendFailureNotice(record, run.result, run.reason);
        });
    m_workers[peer] = worker;
    worker->start();
}

BackupActivity* BackupPlugin::workerFor(const PeerID& peer) const {
    std::map<PeerID, BackupActivity*>::const_iterator it = m_workers.find(peer);
    return it == m_workers.end() ? nullptr : it->second;
}

void BackupPlugin::stopBackupAction(const int& id) {
    Orvana::Util::BackupLog ls;
    // Whatever the target: every record's pass runs on a worker here.
    if (const BackupDB::BackupRecordPtr record = m_pDB->findBackupRecord(id)) {
        PeerID peer(record->targetPeerId);
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
    registry.resetProgress(id);
}

std::set<int> BackupPlugin::queuedRecords() const {
    const BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    std::set<int> ids;
    for (const auto& entry : m_workers) {
        if (!entry.second) continue;
        std::vector<RecordPtr> queue;
        entry.second->getPendingRecords(queue);
        for (size_t i = 0; i < queue.size(); ++i) {
            // The head waits too until its pass has begun.
            if (i > 0 || registry.getRunKind(queue[i]->id).empty()) ids.insert(queue[i]->id);
        }
    }
    return ids;
}

bool BackupPlugin::isLocalPeer(const PeerID& peer) { return BackupActivity::isLocalTarget(peer); }

}  // namespace Backup
}  // namespace Orvana
