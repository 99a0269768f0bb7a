#include "requests/BackupCopyLocation.h"

#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {
namespace BackupCopyLocation {

std::string of(const BackupDB::BACKUP_RECORD& record) {
    // Passes copy each file to destination + its path relative to the
    // folder that holds the source, so the copy starts with the base name.
    std::string folder, baseName;
    Orvana::Util::splitFolder(record.localPath, folder, baseName);
    const std::string& destination = record.remotePath;
    if (destination.empty()) return baseName;
    const char last = destination[destination.size() - 1];
    if (last == '/' || last == '\\') return destination + baseName;
    return destination + "/" + baseName;
}

}  // namespace BackupCopyLocation
}  // namespace Backup
}  // namespace Orvana
