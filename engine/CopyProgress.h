#pragma once
// CopyProgress: lets the copy of one large file show in its pass's progress.
// A worker names the record its thread works for with a Scope around the
// pass; FileCopier reports every chunk it writes, which lands in
// BackupProgressRegistry for that record. Outside a Scope a report goes
// nowhere.
//
// Thread-local: each thread reports for its own pass only; no locks of its
// own (the registry takes its mutex).

#include <Poco/Types.h>

namespace Orvana {
namespace Backup {

namespace CopyProgress {

class Scope {
public:
    explicit Scope(int recId);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    int m_previous;
};

void written(Poco::Int64 bytes);

}  // namespace CopyProgress

}  // namespace Backup
}  // namespace Orvana
