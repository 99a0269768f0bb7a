#pragma once
// RestoreJob and startRestore: the hand-over from the restorefiles request to
// the engine. The request checks every field on the service thread, replies,
// and then passes a job here; the restore itself must run on a worker thread
// and never on the service thread, and must wait for a backup pass of the
// same record (and a backup for a restore).
//
// startRestore is called on the service thread only (it may then touch the
// service's workers). The job is copied; the caller keeps nothing shared.

#include <string>
#include <vector>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

class BackupPlugin;

struct RestoreJob {
    enum Overwrite {
        NEVER,    // a file that exists at the target is left as it is
        CHANGED,  // replaced when its size or modification time differs
        ALWAYS
    };

    BackupDB::BACKUP_RECORD record;
    std::string copyRoot;  // the record's copy: a folder, or the one file of a file record
    // Items to restore, relative to copyRoot, checked to be folders or files
    // reached without links; "" is the whole copy. For a file record the one
    // item is "" (the file itself).
    std::vector<std::string> paths;
    std::string target;  // an existing absolute folder; "" means the record's source location
    Overwrite overwrite = NEVER;
};

// Queues the restore on the worker of the record's target, behind whatever
// it already holds (a backup of the record included).
void startRestore(BackupPlugin& service, const RestoreJob& job);

}  // namespace Backup
}  // namespace Orvana
