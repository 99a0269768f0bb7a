#include "engine/BackupActivity.h"

#include "engine/ActivityText.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineHooks.h"
#include "hostapi/FileUtil.h"
#include "hostapi/PoManager.h"
#include "hostapi/ProfileManager.h"

#include <Poco/Exception.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>

#include <sys/stat.h>

namespace Orvana {
namespace Backup {

namespace {

std::string T(const std::string& text) { return Orvana::PoManager().getTranslation(text); }

}  // namespace

BackupActivity::BackupActivity(const std::vector<RecordPtr>& records, const std::string& name)
    : m_pool(new Poco::ThreadPool(1, 1)),
      m_activity(this, &BackupActivity::run),
      m_db(new BackupDB(name)),
      m_queue(records),
      m_name(name),
      m_stopFlag(false),
      m_registry(&BackupProgressRegistry::instance()) {}

BackupActivity::~BackupActivity() {
    // The pool thread must be done with this object before its members go.
    if (m_activity.isRunning()) stop();
    m_pool->joinAll();
}

void BackupActivity::start() { m_activity.start(*m_pool); }

void BackupActivity::addRecords(const std::vector<RecordPtr>& records) {
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    Poco::FastMutex::ScopedLock lock(m_queueMutex);
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    for (const RecordPtr& rec : records) {
        ls.trace() << m_name << ": Adding record " << rec->id << " to backup queue" << std::endl;
        registry.setCurrentAction(rec->id, T("Queued"));
        m_queue.push_back(rec);
    }
    m_workAvailable.signal();
}

void BackupActivity::getQueuedRecords(std::vector<RecordPtr>& records) {
    Poco::FastMutex::ScopedLock lock(m_queueMutex);
    records.clear();
    records.insert(records.end(), m_queue.begin(), m_queue.end());
}

void BackupActivity::stop() {
    {
        Poco::FastMutex::ScopedLock lock(m_queueMutex);
        m_stopFlag = true;
        m_activity.stop();
        m_workAvailable.signal();
    }
    for (;;) {
        try {
            m_activity.wait(10000);
            break;
        } catch (Poco::TimeoutException&) {
        }
    }
    // wait() can return while the pool thread is still inside the Activity's
    // wrapper; joining the pool closes that window.
    m_pool->joinAll();
}

void BackupActivity::run() {
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    for (;;) {
        if (stopRequested()) break;
        m_queueMutex.lock();
        if (!m_queue.empty()) {
            m_queueMutex.unlock();
            if (stopRequested()) break;
            ls.trace() << m_name << ": Got work! " << std::endl;
            {
                Poco::FastMutex::ScopedLock lock(m_queueMutex);
                BackupProgressRegistry& registry = BackupProgressRegistry::instance();
                for (const RecordPtr& rec : m_queue) registry.setCurrentAction(rec->id, T("Queued"));
            }
            process();
            continue;
        }
        ls.trace() << m_name << ": Waiting for work! " << std::endl;
        if (stopRequested()) {
            m_queueMutex.unlock();
            break;
        }
        m_workAvailable.wait(m_queueMutex);
        m_queueMutex.unlock();
        if (stopRequested()) break;
    }
    ls.trace() << m_name << ": Exiting main activity run loop" << std::endl;
}

bool BackupActivity::isLocalTarget(const Orvana::Data::PeerID& peer) {
    Orvana::Data::PeerID own = Orvana::API::ProfileManager::getPeerID();
    return own.isValid() && peer == own;
}

void BackupActivity::loadSourceRecs(const RecordPtr& rec) { m_db->getSourceRecords(rec->id, m_sourceRecords); }

void BackupActivity::process() {
    static const std::string fn = "Orvana::Backup::BackupActivity::process";
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    ls.trace() << fn << " : Initiating sync activity " << std::endl;

    RecordPtr rec;
    {
        Poco::FastMutex::ScopedLock lock(m_queueMutex);
        if (m_queue.empty()) return;
        rec = m_queue.front();
    }
    const bool isLocal = isLocalTarget(Orvana::Data::PeerID(rec->targetPeerId));
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();

    try {
        if (stopRequested()) return;
        registry.setCheckedFileCount(rec->id, 0);
        m_checkingText = T("Checking");
        registry.setCurrentAction(rec->id, m_checkingText);
        m_db->addActivity(rec->id, 0, ActivityText::now(T("Scanning for changes")));

        ChangeList changes;
        Poco::Int64 folderSize = 0, changedCount = 0, changedSize = 0;
        loadSourceRecs(rec);

        // The destination's identity, so that a destination inside the source
        // is not backed up into itself.
        m_haveDestination = false;
        std::string destination;
        struct stat st;
        if (m_db->getRemotePath(rec->id, destination) && !destination.empty() &&
            ::stat(destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            m_haveDestination = true;
            m_destinationDev = st.st_dev;
            m_destinationIno = st.st_ino;
        }
        m_dirsOnPath.clear();
        m_lastSizeWrite.update();

        std::string baseFolder, lastName;
        Orvana::Util::splitFolder(rec->localPath, baseFolder, lastName);
        if (rec->isFile) {
            processFile(rec->localPath, baseFolder, rec, changes, folderSize, changedCount,
                        changedSize, isLocal);
        } else {
            processDirectory(rec->localPath, baseFolder, rec, changes, folderSize,
                             changedCount, changedSize, isLocal);
        }

        flushSourceRecs(rec);
        m_db->setRecordSize(rec->id, folderSize);
        if (stopRequested()) return;
        EngineHooks::afterScan(rec->id, m_stopFlag);

        if (changedCount == 0) {
            ls.trace() << fn << " : No change detected. Nothing to sync" << std::endl;
            m_db->addActivity(rec->id, 0, ActivityText::now(T("No change detected, Nothing to backup")));
        } else {
            // Any row of a file new to the index lacks its id until the flush
            // has stored it; without the id its copy could never be marked.
            bool missingIds = false;
            for (const BackupDB::FILERECORD& row : changes) {
                if (row.fileId == 0) {
                    missingIds = true;
                    break;
                }
            }
            if (missingIds) {
                loadSourceRecs(rec);
                assignFileIds(changes);
                m_sourceRecords.clear();
            }
            m_db->addActivity(rec->id, 0,
                              ActivityText::now(std::to_string(changedCount) +
                                                T(" file(s) needs to be backed up")));
            registry.markActive(rec->id);
            registry.setCurrentAction(rec->id, T("Backing up"));
            logTransfer(rec, rec->localPath, rec->isFile, true);
            CopyOutcome outcome = doLocalBackup(rec, changes, changedSize, changedCount);
            if (outcome == COPY_COMPLETE) {
                logTransfer(rec, rec->localPath, rec->isFile, false);
            } else if (outcome == COPY_FAILED) {
                logTransferFailed(rec);
            }
            registry.clearActive(rec->id);
            registry.setCurrentFile(rec->id, "");
        }
        registry.setCurrentAction(rec->id, T("Idle"));
    } catch (std::exception& e) {
        ls.error() << fn << " : Error[" << e.what() << "] caught for [" << rec->localPath << "]"
                   << " ! " << std::endl;
        resetProgressAfterFailure(rec);
    } catch (...) {
        ls.error() << fn << " : Unknown exception caught! " << std::endl;
        resetProgressAfterFailure(rec);
    }

    if (stopRequested()) return;
    ls.trace() << m_name << " Record " << rec->id << " processing complete" << std::endl;
    Poco::FastMutex::ScopedLock lock(m_queueMutex);
    if (!m_queue.empty()) m_queue.erase(m_queue.begin());
}

void BackupActivity::resetProgressAfterFailure(const RecordPtr& rec) {
    // A failed pass must not look busy, and the user must see that it failed.
    m_sourceRecords.clear();
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();
    registry.clearActive(rec->id);
    registry.setCurrentFile(rec->id, "");
    registry.setCurrentAction(rec->id, T("Idle"));
    if (!stopRequested()) logTransferFailed(rec);
}

}  // namespace Backup
}  // namespace Orvana
