#pragma once
// EngineHooks: fault seams for tests. A worker calls each hook, when one is
// installed, at a fixed point of its pass; tests use them to make files
// vanish between scan and copy or to hold a copy in mid-file until a stop
// arrives. Nothing is installed in production.
//
// Process-wide; thread-safe (g_hookMutex in the .cpp guards the installed
// hooks; a hook runs on the worker's thread without that lock held).

#include <atomic>
#include <functional>
#include <string>

namespace Orvana {
namespace Backup {

class EngineHooks {
public:
    typedef std::function<void(int recId, const std::atomic<bool>& stop)> RecordStep;
    typedef std::function<void(const std::string& source, const std::atomic<bool>& stop)> CopyChunk;
    // Points of the scan where a test may make the step fail.
    enum ScanStep {
        LIST_FOLDER,  // a folder listing ends: a non-zero result is its errno
        STAT_ENTRY,   // an entry's lstat: a non-zero result is its errno
        OPEN_FOLDER,  // a folder is opened to be listed, possibly on a walker
                      // thread ahead of the scan: a non-zero result is its errno
        INDEX_LOAD,   // before the index is read (the hook may break the database)
        INDEX_FLUSH,  // before the index is written
        INDEX_READ_AHEAD  // before a chunk of the index is read on the read-ahead
                          // thread (path: the row it starts after): a non-zero
                          // result fails that read
    };
    typedef std::function<int(ScanStep step, const std::string& path)> ScanFault;

    // After the scan's index write, before the copy phase.
    static void setAfterScan(RecordStep hook);
    // After every chunk written into a temporary copy.
    static void setAfterCopyChunk(CopyChunk hook);
    // After every flush of the destination's file system.
    static void setAfterSync(RecordStep hook);
    // At each ScanStep.
    static void setScanFault(ScanFault hook);
    static void clear();

    static void afterScan(int recId, const std::atomic<bool>& stop);
    static void afterCopyChunk(const std::string& source, const std::atomic<bool>& stop);
    static void afterSync(int recId, const std::atomic<bool>& stop);
    // The errno to fail this step with; 0 (no hook or no fault) lets it run.
    static int scanFault(ScanStep step, const std::string& path);

    // In a restore, after a batch is flushed and before it is moved into
    // place: the moment when a user's files may appear or folders be swapped.
    static void setBeforeRestoreCommit(RecordStep hook);
    static void beforeRestoreCommit(int recId, const std::atomic<bool>& stop);

    // After a file of the copy was kept as a version and before its new copy
    // is renamed over it (target: the file's path); a hook that throws cuts
    // the step off there, as a crash would.
    static void setAfterVersionKept(CopyChunk hook);
    static void afterVersionKept(const std::string& target, const std::atomic<bool>& stop);
    // The free-space figure pruning reads instead of the file system's.
    typedef std::function<bool(unsigned long long& freeBytes, unsigned long long& totalBytes)>
        FreeSpace;
    static void setFreeSpace(FreeSpace hook);
    // False (nothing filled in) when no hook is installed.
    static bool freeSpace(unsigned long long& freeBytes, unsigned long long& totalBytes);

    // Points of a file's copy where a test may make the step fail.
    enum CopyStep {
        ANONYMOUS_FILE,  // making an unnamed file: a non-zero result is its errno
        COPY_RANGE,      // the kernel-side copy: non-zero falls back to read and write
        FLUSH            // a batch's flush: a non-zero result is its errno
    };
    typedef std::function<int(CopyStep step, const std::string& path)> CopyFault;
    static void setCopyFault(CopyFault hook);
    // The errno to fail this step with; 0 lets it run. Any thread.
    static int copyFault(CopyStep step, const std::string& path);
};

}  // namespace Backup
}  // namespace Orvana
