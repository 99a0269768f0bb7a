#pragma once
// startRestore: the hand-over of a checked RestoreJob from the restorefiles
// request to the engine. The restore itself must run on a worker thread and
// never on the service thread, and must wait for a backup pass of the same
// record (and a backup for a restore).
//
// Called on the service thread only (it may then touch the service's
// workers). The job is copied; the caller keeps nothing shared.

#include "engine/RestoreJob.h"

namespace Orvana {
namespace Backup {

class BackupPlugin;

// Queues the restore on the worker of the record's target, behind whatever
// it already holds (a backup of the record included).
void startRestore(BackupPlugin& service, const RestoreJob& job);

}  // namespace Backup
}  // namespace Orvana
