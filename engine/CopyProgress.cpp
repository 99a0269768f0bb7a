#include "engine/CopyProgress.h"

#include "engine/BackupProgressRegistry.h"

namespace Orvana {
namespace Backup {

namespace {
const int NO_RECORD = -1;
thread_local int t_record = NO_RECORD;
}  // namespace

CopyProgress::Scope::Scope(int recId) : m_previous(t_record) { t_record = recId; }

CopyProgress::Scope::~Scope() { t_record = m_previous; }

void CopyProgress::written(Poco::Int64 bytes) {
    if (t_record != NO_RECORD && bytes > 0)
        BackupProgressRegistry::instance().addBytesWritten(t_record, bytes);
}

}  // namespace Backup
}  // namespace Orvana
