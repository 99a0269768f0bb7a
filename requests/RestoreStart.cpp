#include <Poco/LogStream.h>
#include <Poco/Logger.h>

#include "requests/RestoreJob.h"

namespace Orvana {
namespace Backup {

// Not wired to a worker yet: the restore pass needs the engine's copier and
// staging place. Until then a restore is accepted and does nothing.
void startRestore(BackupPlugin&, const RestoreJob& job) {
    Poco::LogStream ls(Poco::Logger::get("backup"));
    ls.warning() << "Orvana::Backup::startRestore : restore of [" << job.record.localPath
                 << "] not carried out, " << job.paths.size() << " item(s) to ["
                 << (job.target.empty() ? job.record.localPath : job.target) << "]" << std::endl;
}

}  // namespace Backup
}  // namespace Orvana
