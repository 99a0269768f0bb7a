#include "engine/EngineClock.h"

#include <memory>

#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

namespace {
Orvana::Util::CheckedMutex g_clockMutex;
std::unique_ptr<Poco::LocalDateTime> g_pinned GUARDED_BY(g_clockMutex);
}  // namespace

Poco::LocalDateTime EngineClock::localNow() {
    Orvana::Util::CheckedLock lock(g_clockMutex);
    if (g_pinned) return *g_pinned;
    return Poco::LocalDateTime();
}

void EngineClock::pin(const Poco::LocalDateTime& moment) {
    Orvana::Util::CheckedLock lock(g_clockMutex);
    g_pinned.reset(new Poco::LocalDateTime(moment));
}

void EngineClock::useSystemTime() {
    Orvana::Util::CheckedLock lock(g_clockMutex);
    g_pinned.reset();
}

}  // namespace Backup
}  // namespace Orvana
