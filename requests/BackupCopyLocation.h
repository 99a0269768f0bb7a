#pragma once
// BackupCopyLocation: where a record's copy lies on this device, the folder
// (or, for a file record, the one file) that passes write into. Pure text
// function on the stored record; any thread.
//
// Kept apart so that it can be replaced by the engine's own computation of
// the same place; both must agree or browse and restore would look elsewhere
// than passes write.

#include <string>

#include "db/BackupDB.h"

namespace Orvana {
namespace Backup {
namespace BackupCopyLocation {

// The record's destination + the source's base name.
std::string of(const BackupDB::BACKUP_RECORD& record);

}  // namespace BackupCopyLocation
}  // namespace Backup
}  // namespace Orvana
