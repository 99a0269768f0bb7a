#pragma once
// CopyPool: the few threads that copy the bytes of a batch's files while the
// worker thread goes on with the next file. Only the copying (and the links
// of a flushed batch, CopyBatch::linkAll) runs here: the worker gives jobs
// in order and takes their outcomes back in the same order (CopyBatch), so
// log lines, counters and marks stay where one thread would put them.
//
// Owned by one pass (CopyBatch); submit, done and wait are called by the
// owner's thread only. A job must watch the pass's stop flag itself; the
// destructor waits for running jobs and drops queued ones unrun. Each pool
// thread reports its writes for the pass's record (CopyProgress).

#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

class CopyPool {
public:
    static const unsigned DEFAULT_THREADS = 2;
    static const unsigned MAX_THREADS = 4;

    class Task {
    public:
        explicit Task(std::function<void()> run) : m_run(std::move(run)) {}

    private:
        friend class CopyPool;
        std::function<void()> m_run;
        bool m_done = false;  // guarded by the pool's m_mutex
    };

    // threads: clamped to 1..MAX_THREADS.
    CopyPool(int recId, unsigned threads);
    ~CopyPool();
    CopyPool(const CopyPool&) = delete;
    CopyPool& operator=(const CopyPool&) = delete;

    unsigned threads() const { return static_cast<unsigned>(m_threads.size()); }
    std::shared_ptr<Task> submit(std::function<void()> run);
    bool done(const Task& task);
    void wait(const Task& task);

private:
    void serve();

    const int m_recId;
    Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_work;      // a task queued, or m_quit
    Orvana::Util::CheckedCondition m_finished;  // a task done
    std::deque<std::shared_ptr<Task>> m_queue GUARDED_BY(m_mutex);
    bool m_quit GUARDED_BY(m_mutex) = false;
    std::vector<std::thread> m_threads;
};

}  // namespace Backup
}  // namespace Orvana
