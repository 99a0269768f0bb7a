// The copy half of a pass: copies the change table's files into the
// destination, in batches that are made durable before the index says so.
#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineHooks.h"
#include "engine/FileCopier.h"
#include "hostapi/FileUtil.h"
#include "hostapi/PoManager.h"
#include "hostapi/ProfileManager.h"

#include <Poco/DateTime.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/LogStream.h>
#include <Poco/Logger.h>
#include <Poco/Timezone.h>

#include <unordered_set>

namespace Orvana {
namespace Backup {

namespace {

std::string T(const std::string& text) { return Orvana::PoManager().getTranslation(text); }

// A batch is flushed when any limit is reached: fewer flushes make small
// files cheap, the limits bound the work a crash or a stop throws away.
const size_t BATCH_FILES = 20000;
const Poco::Int64 BATCH_BYTES = 256 * 1024 * 1024;
const Poco::Timestamp::TimeDiff BATCH_TIME = 5 * 1000 * 1000;  // microseconds

struct PendingCopy {
    std::string source;
    std::string temp;
    std::string target;
    int fileId;
};

}  // namespace

BackupActivity::CopyOutcome BackupActivity::doLocalBackup(const RecordPtr& rec,
                                                          const ChangeList& changes,
                                                          Poco::Int64 changedSize,
                                                          Poco::Int64 changedCount) {
    static const std::string fn = "Orvana::Backup::BackupActivity::doLocalBackup";
    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
    BackupProgressRegistry& registry = BackupProgressRegistry::instance();

    const std::string ownPeer = Orvana::API::ProfileManager::getPeerID().toString();
    std::string destination;
    if (!m_db->getRemotePath(rec->id, destination)) return COPY_FAILED;
    if (destination.empty() || destination[0] != '/') {
        // A relative or empty destination would land wherever the process
        // happens to run; a pass writes nowhere but its destination.
        ls.error() << fn << " : Destination [" << destination
                   << "] is not an absolute folder. Nothing copied for rec " << rec->id << std::endl;
        return COPY_FAILED;
    }
    if (!m_db->incomingRecordExists(rec->id, ownPeer)) {
        if (!m_db->addIncomingRecord(rec->id, "", ownPeer, rec->localPath, destination,
                                     Poco::Timestamp().utcTime())) {
            return COPY_FAILED;
        }
    }

    registry.setTotalSendSize(rec->id, changedSize);
    Poco::Int64 remainingCount = changedCount;
    Poco::Int64 remaining = changedSize;
    bool failed = false;
    bool stopped = false;

    std::vector<PendingCopy> batch;  // complete temporaries, not yet renamed
    std::vector<int> renamed;        // ids whose renames are not yet on disk
    Poco::Int64 batchBytes = 0;
    Poco::Timestamp batchStart;

    // One flush per batch puts the batch's data and the previous batch's
    // renames on disk; only then are those renamed files marked backed up and
    // this batch renamed over its targets. The last renames get a flush of
    // their own. A copy is never renamed before its data is on disk, and never
    // marked before its rename is.
    // The flush itself; false (logged) when the disk reported an error.
    auto syncDestination = [&]() {
        try {
            FileCopier::syncFileSystem(destination);
            EngineHooks::afterSync(rec->id, m_stopFlag);
            return true;
        } catch (Poco::Exception& e) {
            ls.error() << fn << " : Error[" << e.message() << "] flushing copies to ["
                       << destination << "]" << std::endl;
            failed = true;
            return false;
        }
    };
    auto markRenamed = [&]() {
        if (!renamed.empty() && !m_db->setSourceFilesSynced(renamed)) failed = true;
        renamed.clear();
    };
    auto flushBatch = [&](bool last) {
        if (!batch.empty()) {
            if (!syncDestination()) {
                for (const PendingCopy& copy : batch) FileCopier::discard(copy.temp);
                batch.clear();
                renamed.clear();
                return;
            }
            markRenamed();
            for (PendingCopy& copy : batch) {
                try {
                    FileCopier::commit(copy.temp, copy.target);
                    if (copy.fileId != 0) renamed.push_back(copy.fileId);
                } catch (Poco::Exception& e) {
                    ls.error() << ": " << fn << ": caught exception [" << e.message()
                               << " ] accessing file [" << copy.source << " ]. Skipping"
                               << std::endl;
                    FileCopier::discard(copy.temp);
                    failed = true;
                }
            }
            batch.clear();
            batchBytes = 0;
            batchStart.update();
        }
        if (last && !renamed.empty()) {
            if (syncDestination()) markRenamed();
            renamed.clear();
        }
    };

    // Folders known to exist in the destination during this pass: one check
    // per folder instead of one per file.
    std::unordered_set<std::string> folders;

    for (const BackupDB::FILERECORD& file : changes) {
        if (stopRequested()) {
            stopped = true;
            break;
        }
        registry.setRemainingSendSize(rec->id, remaining);

        const std::string source = joinPath(file.dirName, file.fileName);
        const std::string target = joinPath(destination, file.fileName);

        try {
            std::string folder, name;
            Orvana::Util::splitFolder(target, folder, name);
            const bool folderKnown = folders.count(folder) != 0;
            // With the folder in place the copy itself reports a vanished
            // source; otherwise no folder is made for a file that is gone.
            if (!folderKnown && !Poco::File(source).exists()) {
                ls.trace() << fn << " : File " << source
                           << " does not exist. Skipping file during rec " << file.recId << " backup"
                           << std::endl;
                remainingCount -= 1;
                continue;
            }
            registry.setCurrentFile(rec->id, source);

            if (!folderKnown) {
                Poco::File folderFile(folder);
                if (!folderFile.exists()) folderFile.createDirectories();
                folders.insert(folder);
            }

            std::string temp;
            FileCopier::Result result = FileCopier::copyToTemporary(source, folder, temp, m_stopFlag);
            if (result == FileCopier::STOPPED) {
                stopped = true;
                break;
            }
            if (result == FileCopier::SOURCE_MISSING) {
                ls.trace() << fn << " : File " << source
                           << " does not exist. Skipping file during rec " << file.recId << " backup"
                           << std::endl;
                remainingCount -= 1;
                continue;
            }
            batch.push_back(PendingCopy{source, temp, target, file.fileId});
            batchBytes += file.fileSize;

            remainingCount -= 1;
            remaining -= file.fileSize;
            registry.setToSendCount(rec->id, remainingCount);
            registry.setRemainingSendSize(rec->id, remaining);
        } catch (Poco::Exception& e) {
            ls.error() << ": " << fn << ": caught exception [" << e.message()
                       << " ] accessing file [" << source << " ]. Skipping" << std::endl;
            failed = true;
        } catch (std::exception& e) {
            ls.error() << fn << " : Error[" << e.what() << "] caught. Skipping file [" << source
                       << "]" << std::endl;
            failed = true;
        } catch (...) {
            ls.error() << fn << " : Unknown exception caught! " << std::endl;
            failed = true;
        }
        if (batch.size() >= BATCH_FILES || batchBytes >= BATCH_BYTES ||
            batchStart.elapsed() >= BATCH_TIME) {
            flushBatch(false);
        }
    }
    if (stopped) {
        // A stop must be prompt: the unflushed batch is dropped (the next
        // pass copies it again); renames already made are still recorded.
        for (const PendingCopy& copy : batch) FileCopier::discard(copy.temp);
        batch.clear();
    }
    flushBatch(true);

    if (stopped) return COPY_STOPPED;
    return failed ? COPY_FAILED : COPY_COMPLETE;
}

void BackupActivity::logTransfer(const RecordPtr& rec, const std::string& path, bool isFile,
                                 bool started) {
    Poco::Timestamp now;
    if (started) {
        m_db->setLastAttemptTime(rec->id, now.utcTime());
    } else {
        m_db->setLastSuccessTime(rec->id, now.utcTime());
    }
    const std::string kind = isFile ? "Backup of file [" : "Backup of directory [";
    const std::string text = T(kind) + path + T(started ? "] initiated." : "] completed.");
    m_db->addActivity(rec->id, started ? 0 : 1, ActivityText::now(text));
}

void BackupActivity::logTransferFailed(const RecordPtr& rec) {
    const std::string kind = rec->isFile ? "Backup of file [" : "Backup of directory [";
    m_db->addActivity(rec->id, 2, ActivityText::now(T(kind) + rec->localPath + T("] failed.")));
}

}  // namespace Backup
}  // namespace Orvana
