#include "engine/EngineHooks.h"

#include <Poco/Mutex.h>

namespace Orvana {
namespace Backup {

namespace {
Poco::FastMutex g_hookMutex;
EngineHooks::RecordStep g_afterScan;      // guarded by g_hookMutex
EngineHooks::CopyChunk g_afterCopyChunk;  // guarded by g_hookMutex
EngineHooks::RecordStep g_afterSync;      // guarded by g_hookMutex
EngineHooks::ScanFault g_scanFault;       // guarded by g_hookMutex
std::atomic<bool> g_anyHook(false);       // lets the copy loop skip the lock

EngineHooks::RecordStep g_beforeRestoreCommit;  // guarded by g_hookMutex
}  // namespace

void EngineHooks::setAfterScan(RecordStep hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterScan = hook;
    g_anyHook = true;
}

void EngineHooks::setAfterCopyChunk(CopyChunk hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterCopyChunk = hook;
    g_anyHook = true;
}

void EngineHooks::setAfterSync(RecordStep hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_afterSync = hook;
    g_anyHook = true;
}

void EngineHooks::setScanFault(ScanFault hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_scanFault = hook;
    g_anyHook = true;
}

void EngineHooks::clear() {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_scanFault = nullptr;
    g_afterScan = nullptr;
    g_afterCopyChunk = nullptr;
    g_afterSync = nullptr;
    g_beforeRestoreCommit = nullptr;
    g_anyHook = false;
}

void EngineHooks::afterScan(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_afterScan;
    }
    if (hook) hook(recId, stop);
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

void EngineHooks::afterSync(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_afterSync;
    }
    if (hook) hook(recId, stop);
}

int EngineHooks::scanFault(ScanStep step, const std::string& path) {
    if (!g_anyHook) return 0;
    ScanFault hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_scanFault;
    }
    return hook ? hook(step, path) : 0;
}

void EngineHooks::setBeforeRestoreCommit(RecordStep hook) {
    Poco::FastMutex::ScopedLock lock(g_hookMutex);
    g_beforeRestoreCommit = hook;
    g_anyHook = true;
}

void EngineHooks::beforeRestoreCommit(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Poco::FastMutex::ScopedLock lock(g_hookMutex);
        hook = g_beforeRestoreCommit;
    }
    if (hook) hook(recId, stop);
}

}  // namespace Backup
}  // namespace Orvana
