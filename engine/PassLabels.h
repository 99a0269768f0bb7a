#pragma once
// PassLabels: the labels that open a backup pass's log lines. Each names the
// function that wrote its lines before the pass was split into steps; the
// texts are kept as they were, since users and tests search logs for them.
// Constants only; any thread.

namespace Orvana {
namespace Backup {
namespace PassLabels {

// The pass as a whole: its checks, the end of its scan, its outcome.
constexpr const char* PASS = "Orvana::Backup::BackupActivity::process";
// One entry of a folder the scan walks.
constexpr const char* SCAN_FOLDER = "Orvana::Backup::BackupActivity::processDirectory";
// One file the scan examines.
constexpr const char* SCAN_FILE = "Orvana::Backup::BackupActivity::processFile";
// The copy into a destination on this device, and the folders made after it.
constexpr const char* COPY = "Orvana::Backup::BackupActivity::doLocalBackup";

}  // namespace PassLabels
}  // namespace Backup
}  // namespace Orvana
