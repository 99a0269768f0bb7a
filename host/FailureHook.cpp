#include "host/FailureHook.h"

#include "hostapi/FileDescriptor.h"

#include <Poco/Logger.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

extern char** environ;

namespace Orvana {
namespace Host {

namespace {

const char* const VARIABLES[] = {"BACKUP_RECORD_ID", "BACKUP_SOURCE", "BACKUP_DESTINATION",
                                  "BACKUP_RESULT", "BACKUP_REASON"};

const size_t LONGEST_LINE = 4096;

Poco::Logger& logger() { return Poco::Logger::get("host"); }

// The host's environment with the notice's variables set (replacing any of
// the same name the host was started with).
std::vector<std::string> environmentFor(const FailureNotice& notice) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        bool ours = false;
        for (const char* name : VARIABLES) {
            const size_t length = std::strlen(name);
            ours = ours || (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=');
        }
        if (!ours) entries.push_back(*entry);
    }
    const std::string values[] = {std::to_string(notice.recordId), notice.source,
                                  notice.destination, notice.result, notice.reason};
    for (size_t i = 0; i < 5; ++i) entries.push_back(std::string(VARIABLES[i]) + "=" + values[i]);
    return entries;
}

// Starts /bin/sh -c command in a process group of its own, its output into
// `output`, nothing else of ours open. -1 on failure (errno set).
pid_t spawnShell(const std::string& command, const std::vector<std::string>& environment,
                 int output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    // Sockets, locks and the database stay with the host.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The host blocks its termination signals (they are waited for) and may
    // ignore SIGPIPE; the command gets the usual ones back.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

}  // namespace

FailureHook::FailureHook(std::string command, std::chrono::milliseconds limit)
    : m_command(std::move(command)), m_limit(limit) {}

FailureHook::~FailureHook() {
    m_stopping = true;
    std::map<int, std::unique_ptr<Run>> runs;
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        runs.swap(m_runs);
    }
    // Unlocked: each watcher takes the lock once more as it ends.
    for (auto& run : runs) run.second->watcher.join();
}

size_t FailureHook::running() const {
    Orvana::Util::CheckedLock lock(m_mutex);
    size_t count = 0;
    for (const auto& run : m_runs) count += run.second->ended ? 0 : 1;
    return count;
}

void FailureHook::joinEnded() {
    for (auto it = m_runs.begin(); it != m_runs.end();) {
        if (!it->second->ended) {
            ++it;
            continue;
        }
        it->second->watcher.join();
        it = m_runs.erase(it);
    }
}

bool FailureHook::run(const FailureNotice& notice) {
    const std::string record = "record " + std::to_string(notice.recordId);
    Orvana::Util::CheckedLock lock(m_mutex);
    if (m_stopping) return false;
    joinEnded();
    if (m_runs.count(notice.recordId)) {
        logger().warning("The failure command for " + record +
                         " still runs; not started again for this notice");
        return false;
    }
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        logger().error("Cannot start the failure command: " + std::string(std::strerror(errno)));
        return false;
    }
    Orvana::Util::FileDescriptor readEnd(pipe[0]), writeEnd(pipe[1]);
    const pid_t pid = spawnShell(m_command, environmentFor(notice), writeEnd.get());
    if (pid < 0) {
        logger().error("Cannot start the failure command: " + std::string(std::strerror(errno)));
        return false;
    }
    writeEnd.reset();  // only the command writes: its end is our end of file
    logger().information("Failure command started for " + record + " (process " +
                         std::to_string(pid) + ")");
    std::unique_ptr<Run> run(new Run);
    run->pid = pid;
    try {
        Run* const watched = run.get();
        run->watcher = std::thread([this, watched, id = notice.recordId, output = readEnd.get()] {
            watch(*watched, id, output);
        });
    } catch (const std::system_error& e) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        logger().error("Cannot watch the failure command; killed it: " + std::string(e.what()));
        return false;
    }
    readEnd.release();  // the watcher owns it now
    m_runs[notice.recordId] = std::move(run);
    return true;
}

void FailureHook::watch(Run& run, int recordId, int output) {
    const Orvana::Util::FileDescriptor fd(output);
    const pid_t pid = run.pid;
    const std::string prefix = "Failure command for record " + std::to_string(recordId);
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    std::string pending;
    auto logLines = [&](bool all) {
        std::string::size_type end;
        while ((end = pending.find('\n')) != std::string::npos) {
            logger().information(prefix + ": " + pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        // A command that never ends a line must not fill our memory.
        if ((all || pending.size() >= LONGEST_LINE) && !pending.empty()) {
            logger().information(prefix + ": " + pending);
            pending.clear();
        }
    };

    bool outputOpen = true, exited = false, killed = false;
    int status = 0;
    while (!exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_stopping) {
            // The group: a shell's children would otherwise live on.
            ::kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        // Short slices, so that a stop is noticed soon.
        const int wait = static_cast<int>(std::min<long long>(left.count(), 100));
        if (outputOpen) {
            pollfd entry = {fd.get(), POLLIN, 0};
            if (::poll(&entry, 1, wait) > 0) {
                char buffer[4096];
                const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
                if (got > 0) {
                    pending.append(buffer, static_cast<size_t>(got));
                    logLines(false);
                } else if (got == 0 || errno != EINTR) {
                    outputOpen = false;
                }
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 20)));
        }
        if (!outputOpen) exited = ::waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!exited) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    logLines(true);
    if (killed) {
        logger().warning(prefix + " was killed" +
                         (m_stopping ? std::string(" (the host stops)")
                                     : " after " + std::to_string(m_limit.count()) + " ms"));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        logger().warning(prefix + " ended with status " + std::to_string(WEXITSTATUS(status)));
    } else if (WIFSIGNALED(status)) {
        logger().warning(prefix + " ended by signal " + std::to_string(WTERMSIG(status)));
    } else {
        logger().information(prefix + " ended");
    }
    Orvana::Util::CheckedLock lock(m_mutex);
    run.ended = true;
}

}  // namespace Host
}  // namespace Orvana
