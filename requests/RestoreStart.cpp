#include "requests/RestoreStart.h"

#include "engine/RestoreQueueItem.h"
#include "service/BackupMain.h"

namespace Orvana {
namespace Backup {

void startRestore(BackupPlugin& service, const RestoreJob& job) {
    // On the target's worker, behind any backup of the record already queued.
    service.startBackupActivity(
        Orvana::Data::PeerID(job.record.targetPeerId),
        std::vector<BackupDB::BackupRecordPtr>(1, RestoreQueueItem::make(job)));
}

}  // namespace Backup
}  // namespace Orvana
