#include "engine/EngineHooks.h"

#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

namespace {
Orvana::Util::CheckedMutex g_hookMutex;
EngineHooks::RecordStep g_afterScan GUARDED_BY(g_hookMutex);
EngineHooks::CopyChunk g_afterCopyChunk GUARDED_BY(g_hookMutex);
EngineHooks::RecordStep g_afterSync GUARDED_BY(g_hookMutex);
EngineHooks::ScanFault g_scanFault GUARDED_BY(g_hookMutex);
std::atomic<bool> g_anyHook(false);  // lets the copy loop skip the lock

EngineHooks::RecordStep g_beforeRestoreCommit GUARDED_BY(g_hookMutex);

EngineHooks::CopyChunk g_afterVersionKept GUARDED_BY(g_hookMutex);
EngineHooks::FreeSpace g_freeSpace GUARDED_BY(g_hookMutex);

EngineHooks::CopyFault g_copyFault GUARDED_BY(g_hookMutex);
}  // namespace

void EngineHooks::setAfterScan(RecordStep hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_afterScan = hook;
    g_anyHook = true;
}

void EngineHooks::setAfterCopyChunk(CopyChunk hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_afterCopyChunk = hook;
    g_anyHook = true;
}

void EngineHooks::setAfterSync(RecordStep hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_afterSync = hook;
    g_anyHook = true;
}

void EngineHooks::setScanFault(ScanFault hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_scanFault = hook;
    g_anyHook = true;
}

void EngineHooks::clear() {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_scanFault = nullptr;
    g_afterScan = nullptr;
    g_afterCopyChunk = nullptr;
    g_afterSync = nullptr;
    g_beforeRestoreCommit = nullptr;
    g_afterVersionKept = nullptr;
    g_freeSpace = nullptr;
    g_copyFault = nullptr;
    g_anyHook = false;
}

void EngineHooks::afterScan(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_afterScan;
    }
    if (hook) hook(recId, stop);
}

void EngineHooks::afterCopyChunk(const std::string& source, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    CopyChunk hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_afterCopyChunk;
    }
    if (hook) hook(source, stop);
}

void EngineHooks::afterSync(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_afterSync;
    }
    if (hook) hook(recId, stop);
}

int EngineHooks::scanFault(ScanStep step, const std::string& path) {
    if (!g_anyHook) return 0;
    ScanFault hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_scanFault;
    }
    return hook ? hook(step, path) : 0;
}

void EngineHooks::setBeforeRestoreCommit(RecordStep hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_beforeRestoreCommit = hook;
    g_anyHook = true;
}

void EngineHooks::beforeRestoreCommit(int recId, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    RecordStep hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_beforeRestoreCommit;
    }
    if (hook) hook(recId, stop);
}

void EngineHooks::setAfterVersionKept(CopyChunk hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_afterVersionKept = hook;
    g_anyHook = true;
}

void EngineHooks::afterVersionKept(const std::string& target, const std::atomic<bool>& stop) {
    if (!g_anyHook) return;
    CopyChunk hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_afterVersionKept;
    }
    if (hook) hook(target, stop);
}

void EngineHooks::setFreeSpace(FreeSpace hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_freeSpace = hook;
    g_anyHook = true;
}

bool EngineHooks::freeSpace(unsigned long long& freeBytes, unsigned long long& totalBytes) {
    if (!g_anyHook) return false;
    FreeSpace hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_freeSpace;
    }
    return hook && hook(freeBytes, totalBytes);
}

void EngineHooks::setCopyFault(CopyFault hook) {
    Orvana::Util::CheckedLock lock(g_hookMutex);
    g_copyFault = hook;
    g_anyHook = true;
}

int EngineHooks::copyFault(CopyStep step, const std::string& path) {
    if (!g_anyHook) return 0;
    CopyFault hook;
    {
        Orvana::Util::CheckedLock lock(g_hookMutex);
        hook = g_copyFault;
    }
    return hook ? hook(step, path) : 0;
}

}  // namespace Backup
}  // namespace Orvana
