#pragma once
// RestoreJob: what the restorefiles request hands to the engine once it has
// checked every field on the service thread. A plain value: each holder has
// its own copy, so it needs no lock. The restorefiles handler queues it on
// the target's worker as a RestoreQueueItem (see BackupActivity).

#include <Poco/Timestamp.h>

#include <string>
#include <vector>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {

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
    // An earlier state instead of the current copy: the stamp of a version of
    // the one file in paths, or each file as it was at a moment (VersionLookup).
    std::string version;
    bool atMoment = false;
    Poco::Timestamp moment;
};

}  // namespace Backup
}  // namespace Orvana
