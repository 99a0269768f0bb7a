#include "engine/EngineClock.h"

#include <Poco/Mutex.h>

#include <memory>

namespace Orvana {
namespace Backup {

namespace {
Poco::FastMutex g_clockMutex;
std::unique_ptr<Poco::LocalDateTime> g_pinned;  // guarded by g_clockMutex
}  // namespace

Poco::LocalDateTime EngineClock::localNow() {
    Poco::FastMutex::ScopedLock lock(g_clockMutex);
    if (g_pinned) return *g_pinned;
    return Poco::LocalDateTime();
}

void EngineClock::pin(const Poco::LocalDateTime& moment) {
    Poco::FastMutex::ScopedLock lock(g_clockMutex);
    g_pinned.reset(new Poco::LocalDateTime(moment));
}

void EngineClock::useSystemTime() {
    Poco::FastMutex::ScopedLock lock(g_clockMutex);
    g_pinned.reset();
}

}  // namespace Backup
}  // namespace Orvana
