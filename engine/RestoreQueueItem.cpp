#include "engine/RestoreQueueItem.h"

namespace Orvana {
namespace Backup {
namespace RestoreQueueItem {

namespace {

struct Carrier {
    RestoreJob job;
    void operator()(BackupDB::BACKUP_RECORD* record) const { delete record; }
};

}  // namespace

BackupDB::BackupRecordPtr make(const RestoreJob& job) {
    return BackupDB::BackupRecordPtr(new BackupDB::BACKUP_RECORD(job.record), Carrier{job});
}

const RestoreJob* jobOf(const BackupDB::BackupRecordPtr& item) {
    const Carrier* carrier = boost::get_deleter<Carrier>(item);
    return carrier ? &carrier->job : nullptr;
}

}  // namespace RestoreQueueItem
}  // namespace Backup
}  // namespace Orvana
