#pragma once
// RestoreQueueItem: a restore travels through a backup worker's queue as a
// record pointer, so that a restore and the backup passes of its record run
// one after the other on the target's worker, and a stop or a worker that
// is replaced handles both alike. The job rides in the pointer's deleter:
// the queue, dropWaiting and getQueuedRecords keep working unchanged, and a
// copy of the queue keeps the job.
//
// Pure functions; any thread. The item's record is a copy of the job's.

#include "db/BackupDB.h"
#include "engine/RestoreJob.h"

namespace Orvana {
namespace Backup {
namespace RestoreQueueItem {

BackupDB::BackupRecordPtr make(const RestoreJob& job);
// The restore an item carries; null for a backup.
const RestoreJob* jobOf(const BackupDB::BackupRecordPtr& item);

}  // namespace RestoreQueueItem
}  // namespace Backup
}  // namespace Orvana
