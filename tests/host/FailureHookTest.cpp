// The --on-failure command: its environment, its output, one at a time per
// record, and the kill after the limit or at the host's stop.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "host/FailureHook.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using Orvana::Host::FailureHook;
using Orvana::Host::FailureNotice;
using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::waitUntil;

namespace {

FailureNotice notice(int recordId, const std::string& source = "/home/me/Documents") {
    FailureNotice n;
    n.recordId = recordId;
    n.source = source;
    n.destination = "/mnt/backup";
    n.result = "failed";
    n.reason = "The device is gone";
    return n;
}

// True while the process exists and is not a zombie.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && text.size() > close + 2 && text[close + 2] != 'Z';
}

TEST(FailureHook, GetsTheNoticeInItsEnvironmentAndItsOutputIsLogged) {
    TempDir dir;
    TestSupport::LogCapture log;
    const std::string out = dir.join("env");
    // Shell syntax in a value must stay text: values never enter the command.
    const std::string source = "/home/me/it's $(touch " + dir.join("pwned") + ") `x`; \"q\"";
    {
        FailureHook hook("printf '%s|' \"$BACKUP_RECORD_ID\" \"$BACKUP_SOURCE\" "
                         "\"$BACKUP_DESTINATION\" \"$BACKUP_RESULT\" \"$BACKUP_REASON\" > " +
                         out + "; echo said on stdout; echo said on stderr >&2; exit 3");
        ASSERT_TRUE(hook.run(notice(7, source)));
        EXPECT_TRUE(waitUntil([&] { return hook.running() == 0; }, 10000));
    }
    EXPECT_EQ("7|" + source + "|/mnt/backup|failed|The device is gone|", readFile(out));
    EXPECT_FALSE(Poco::File(dir.join("pwned")).exists());
    EXPECT_TRUE(log.contains("said on stdout"));
    EXPECT_TRUE(log.contains("said on stderr"));
}

TEST(FailureHook, RunsOnceAtATimePerRecord) {
    TempDir dir;
    const std::string release = dir.join("release");
    FailureHook hook("echo x >> " + dir.join("runs-") + "$BACKUP_RECORD_ID; while [ ! -e " +
                     release + " ]; do sleep 0.02; done");
    EXPECT_TRUE(hook.run(notice(1)));
    EXPECT_FALSE(hook.run(notice(1)));  // still runs: not a second one
    EXPECT_TRUE(hook.run(notice(2)));   // another record's is its own
    EXPECT_EQ(2u, hook.running());
    TestSupport::writeFile(release, "");
    ASSERT_TRUE(waitUntil([&] { return hook.running() == 0; }, 10000));
    EXPECT_TRUE(hook.run(notice(1)));  // ended: the next notice runs it again
    ASSERT_TRUE(waitUntil([&] { return hook.running() == 0; }, 10000));
    EXPECT_EQ("x\nx\n", readFile(dir.join("runs-1")));
    EXPECT_EQ("x\n", readFile(dir.join("runs-2")));
}

TEST(FailureHook, IsKilledWithItsChildrenAfterTheLimitAndAtTheStop) {
    TempDir dir;
    // The shell's child keeps the output open: only killing the whole group
    // ends it.
    const std::string command = "sleep 30 & echo $! > " + dir.join("pid-") +
                                "$BACKUP_RECORD_ID; wait";
    const auto started = std::chrono::steady_clock::now();
    {
        FailureHook hook(command, std::chrono::milliseconds(300));
        ASSERT_TRUE(hook.run(notice(1)));
        EXPECT_TRUE(waitUntil([&] { return hook.running() == 0; }, 10000));
    }
    {
        FailureHook stopping(command);  // the usual minute
        ASSERT_TRUE(stopping.run(notice(2)));
        ASSERT_TRUE(waitUntil(
            [&] {
                return Poco::File(dir.join("pid-2")).exists() &&
                       readFile(dir.join("pid-2")).find('\n') != std::string::npos;
            },
            10000));
    }
    // Far below the sleep, and the minute of the second.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    for (const char* id : {"1", "2"}) {
        const pid_t child = std::stoi(readFile(dir.join(std::string("pid-") + id)));
        EXPECT_TRUE(waitUntil([&] { return !alive(child); }, 10000)) << id;
    }
}

}  // namespace
