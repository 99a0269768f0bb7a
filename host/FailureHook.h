#pragma once
// FailureHook: runs the command given with --on-failure for a failure notice,
// through /bin/sh -c, with the notice in its environment (BACKUP_RECORD_ID,
// BACKUP_SOURCE, BACKUP_DESTINATION, BACKUP_RESULT, BACKUP_REASON: values
// never go into the command text, so no name can inject shell code). Its
// standard output and error are logged line by line on the "host" logger.
//
// At most one command runs per record: a notice for a record whose command
// still runs is skipped. A command (its whole process group) is killed when
// it runs longer than the limit, or when the object is destroyed.
//
// run() may be called from any thread and returns at once; each command is
// watched by a thread of its own, owned here and joined by the destructor.

#include "host/FailureNotice.h"
#include "hostapi/CheckedMutex.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace Orvana {
namespace Host {

class FailureHook {
public:
    FailureHook(std::string command, std::chrono::milliseconds limit = std::chrono::seconds(60));
    ~FailureHook();
    FailureHook(const FailureHook&) = delete;
    FailureHook& operator=(const FailureHook&) = delete;

    // Starts the command for the notice; false when one for its record still
    // runs or it could not be started (logged).
    bool run(const FailureNotice& notice);
    // How many commands run now.
    size_t running() const;

private:
    struct Run {
        pid_t pid = -1;
        std::thread watcher;
        bool ended = false;  // guarded by the hook's m_mutex
    };

    // Logs the command's output until it ends or the limit; reaps it. Owns
    // `output`.
    void watch(Run& run, int recordId, int output);
    void joinEnded() REQUIRES(m_mutex);

    const std::string m_command;
    const std::chrono::milliseconds m_limit;
    std::atomic<bool> m_stopping{false};
    mutable Orvana::Util::CheckedMutex m_mutex;
    std::map<int, std::unique_ptr<Run>> m_runs GUARDED_BY(m_mutex);  // record id -> its command
};

}  // namespace Host
}  // namespace Orvana
