#pragma once
// EngineHooks: fault seams for tests. A worker calls each hook, when one is
// installed, at a fixed point of its pass; tests use them to make files
// vanish between scan and copy or to hold a copy in mid-file until a stop
// arrives. Nothing is installed in production.
//
// Process-wide; thread-safe (g_hookMutex in the .cpp guards the functions;
// a hook runs on the worker's thread without that lock held).

#include <atomic>
#include <functional>
#include <string>

namespace Orvana {
namespace Backup {

class EngineHooks {
public:
    typedef std::function<void(int recId, const std::atomic<bool>& stop)> RecordStep;
    typedef std::function<void(const std::string& source, const std::atomic<bool>& stop)> CopyChunk;

    // After the scan's index write, before the copy phase.
    static void setAfterScan(RecordStep hook);
    // After every chunk written into a temporary copy.
    static void setAfterCopyChunk(CopyChunk hook);
    // After every flush of the destination's file system.
    static void setAfterSync(RecordStep hook);
    static void clear();

    static void afterScan(int recId, const std::atomic<bool>& stop);
    static void afterCopyChunk(const std::string& source, const std::atomic<bool>& stop);
    static void afterSync(int recId, const std::atomic<bool>& stop);
};

}  // namespace Backup
}  // namespace Orvana
