#pragma once
// PeerRestore: a restore of a record whose copy lies on another device. The
// items asked for are first fetched from the device (PeerBrowseClient) into
// a folder of this device's own, <plug-in data>/.backup-peer-restore/
// <record id>/<copy name>: each file is checked against the size and time
// the device reports for it all along and gets its mode and time, each
// folder its mode and time, and a version or a moment is fetched as the file
// itself. Then a RestorePass puts them in place from there with all its
// safety (temporaries, flush, rename, no link followed in the target, the
// overwrite rule); a file it replaces is kept as an earlier version beside
// the fetched copy, in <plug-in data>/.backup-peer-restore/<record id>/
// .backup-versions, as this device cannot write into the other's store. The
// fetched files are removed afterwards (also what a crash left, at the next
// restore of the record).
//
// Runs on a backup worker's thread, in place of a RestorePass (which hands
// such a job here); the stop flag and database are the worker's.

#include <Poco/Types.h>

#include <atomic>
#include <string>

#include "engine/RestoreJob.h"
#include "engine/RestorePass.h"

namespace Orvana {
namespace Backup {
namespace PeerRestore {

// True when the job's copy lies on another device.
bool fromPeer(const RestoreJob& job);

// Runs the restore; restored and failReason as RestorePass gives them.
RestorePass::Outcome run(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop,
                         Poco::Int64& restored, std::string& failReason);

// The folder a record's fetched copy and kept versions lie in.
std::string holdingFolder(const BackupDB& db, int recId);

}  // namespace PeerRestore
}  // namespace Backup
}  // namespace Orvana
