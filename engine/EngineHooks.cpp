#include "engine/EngineHooks.h"

#include <Poco/Mutex.h>

namespace Orvana {
namespace Backup {

namespace {
Poco::FastMutex g_hookMutex;
EngineHooks::ScanDone g_afterScan;       // guarded by g_hookMutex
EngineHooks::CopyChunk g_afterCopyChunk;  // guarded by g_hookMutex
std::atomic<bool> g_anyHook(false);      // lets the copy loop skip the lock
}  // namespace

void EngineHooks::setAfterScan(ScanDone hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterScan = hook;
    g_anyHook = true;
}

void EngineHooks::setAfterCopyChunk(CopyChunk hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterCopyChunk = hook;
    g_anyHook = true;
}

void EngineHooks::clear() {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterScan = nullptr;
    g_afterCopyChunk = nullptr;
    g_anyHook = false;
}

void EngineHooks::afterScan(int recId) {
    if (!g_anyHook) return;
    ScanDone hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_afterScan;
    }
    if (hook) hook(recId);
}

void EngineHooks::afterCopyChunk(const std::string& source, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    CopyChunk hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_afterCopyChunk;
    }
    if (hook) hook(source, stop);
}

}  // namespace Backup
}  // namespace Orvana
