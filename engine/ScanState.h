#pragma once
// ScanState: what one backup pass carries from its scan to its copy and its
// report: the record, where its copy goes (this device's folder or a peer),
// the source's base folder, the changed files not yet spooled and the
// running totals. Made by BackupActivity::backupPass for each pass and used
// by its steps on the worker's thread only; nothing in it is shared.

#include <Poco/Types.h>

#include <memory>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "engine/PeerSender.h"

namespace Orvana {
namespace Backup {

struct ScanState {
    ScanState(const BackupDB::BackupRecordPtr& rec, bool isLocal) : rec(rec), isLocal(isLocal) {}

    const BackupDB::BackupRecordPtr rec;
    const bool isLocal;                  // the copy stays on this device
    std::string destination;             // this device's copy folder (isLocal)
    std::unique_ptr<PeerSender> sender;  // a copy for another device goes there
    std::string baseFolder;              // the source's folder; change names are relative to it
    // Changed files whose index rows are not yet written, in walk order.
    std::vector<BackupDB::FILERECORD> changes;
    Poco::Int64 folderSize = 0;    // bytes of every regular file seen
    Poco::Int64 changedCount = 0;  // files to copy
    Poco::Int64 changedSize = 0;   // their bytes
    bool ready = false;            // no failure yet keeps the pass from copying
    bool stopped = false;          // the copy ended on a stop
};

}  // namespace Backup
}  // namespace Orvana
