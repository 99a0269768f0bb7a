#include "engine/CopyPool.h"

#include <algorithm>

#include "engine/CopyProgress.h"
#include "engine/ThreadName.h"

namespace Orvana {
namespace Backup {

const unsigned CopyPool::DEFAULT_THREADS;
const unsigned CopyPool::MAX_THREADS;

CopyPool::CopyPool(int recId, unsigned threads) : m_recId(recId) {
    threads = std::max(1u, std::min(threads, MAX_THREADS));
    for (unsigned i = 0; i < threads; ++i)
        m_threads.emplace_back([this] {
            nameThisThread("backup-copy");
            serve();
        });
}

CopyPool::~CopyPool() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_quit = true;
        m_queue.clear();
    }
    m_work.notifyAll();
    for (std::thread& thread : m_threads) thread.join();
}

std::shared_ptr<CopyPool::Task> CopyPool::submit(std::function<void()> run) {
    std::shared_ptr<Task> task = std::make_shared<Task>(std::move(run));
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_queue.push_back(task);
    }
    m_work.notifyOne();
    return task;
}

bool CopyPool::done(const Task& task) {
    Orvana::Util::CheckedLock lock(m_mutex);
    return task.m_done;
}

void CopyPool::wait(const Task& task) {
    Orvana::Util::CheckedLock lock(m_mutex);
    while (!task.m_done) m_finished.wait(m_mutex);
}

void CopyPool::serve() {
    CopyProgress::Scope progress(m_recId);
    Orvana::Util::CheckedLock lock(m_mutex);
    for (;;) {
        while (!m_quit && m_queue.empty()) m_work.wait(m_mutex);
        if (m_quit) return;
        std::shared_ptr<Task> task = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        task->m_run();  // catches its own exceptions
        task->m_run = nullptr;
        lock.lock();
        task->m_done = true;
        m_finished.notifyAll();
    }
}

}  // namespace Backup
}  // namespace Orvana
