#pragma once
// RestoreLedger: the folders that restores under way are writing into, kept
// in the plug-in's configuration store (key "backup", name
// "RESTORES_UNDER_WAY"), so that the staging folder of a restore whose
// process was killed is swept at the next start instead of staying in the
// user's folder for good.
//
// Any thread: workers note their restores through their own connections;
// g_ledgerMutex (in the .cpp) serialises the read-modify-write of the one
// row within the process, and only one process runs per profile.

#include <string>

namespace Orvana {
namespace Backup {

class BackupDB;

namespace RestoreLedger {

// The staging key of the record's restores (StagingFolder).
std::string stagingKey(int recId);

// Before the restore of recId stages anything below root; end() once
// its staging folder is gone. Failures are logged: the restore goes on.
void begin(BackupDB& db, int recId, const std::string& root);
void end(BackupDB& db, int recId);

// At start, before any restore runs: removes the staging folder of
// every restore still noted, and the notes.
void sweepLeftovers(BackupDB& db);

}  // namespace RestoreLedger

}  // namespace Backup
}  // namespace Orvana
