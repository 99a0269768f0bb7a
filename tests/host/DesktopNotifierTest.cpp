// Failure notices on the desktop, against a real session bus: what the
// notification says (translated, escaped for a desktop that reads markup),
// that a missing or stalled desktop costs only a log line, and that a notice
// message reaches both the desktop and the --on-failure command without
// holding up the thread that delivers it.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "NotificationBus.h"
#include "host/DesktopNotifier.h"
#include "host/FailureNoticeHandler.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/PoManager.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using Orvana::Host::DesktopNotifier;
using Orvana::Host::FailureHook;
using Orvana::Host::FailureNotice;
using Orvana::Host::FailureNoticeHandler;
using TestSupport::NotificationBus;
using TestSupport::waitUntil;

namespace {

const auto kUntranslated = [](const std::string& text) { return text; };

FailureNotice notice(const std::string& source, const std::string& result = "failed") {
    FailureNotice n;
    n.recordId = 4;
    n.source = source;
    n.destination = "/mnt/backup";
    n.result = result;
    n.reason = "The source folder is gone";
    return n;
}

std::multiset<std::string> lines(const std::string& path) {
    std::multiset<std::string> all;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) all.insert(line);
    return all;
}

class DesktopNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NotificationBus::daemonInstalled()) GTEST_SKIP() << "dbus-daemon is not installed";
    }
};

TEST_F(DesktopNotifierTest, ShowsTheSourceAndReasonAsTheDesktopReadsThem) {
    for (const auto desktop : {NotificationBus::PLAIN, NotificationBus::MARKUP}) {
        NotificationBus bus(desktop);
        ASSERT_FALSE(bus.address().empty());
        const DesktopNotifier notifier(bus.address(), kUntranslated);
        // A file name need not be UTF-8; the bus takes only UTF-8.
        EXPECT_TRUE(notifier.notify(notice("/home/me/R&D <old> \xff")));
        EXPECT_TRUE(notifier.notify(notice("/home/me/Docs", "overdue")));
        const auto calls = bus.calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ("Backup failed", calls[0].summary);
        EXPECT_EQ(desktop == NotificationBus::MARKUP
                      ? "/home/me/R&amp;D &lt;old&gt; \xEF\xBF\xBD\nThe source folder is gone"
                      : "/home/me/R&D <old> \xEF\xBF\xBD\nThe source folder is gone",
                  calls[0].body);
        EXPECT_EQ(2, calls[0].urgency);
        EXPECT_EQ("Backup overdue", calls[1].summary);
        EXPECT_EQ(1, calls[1].urgency);
    }

    // The titles in the user's language.
    Orvana::Util::PoManager texts;
    texts.setLanguage("de");
    ASSERT_TRUE(texts.addPoVfs(std::string(BACKUP_BUILD_DIR) + "/translations.zip", "backup"));
    NotificationBus bus(NotificationBus::PLAIN);
    const DesktopNotifier notifier(
        bus.address(), [&texts](const std::string& text) { return texts.getTranslation(text); });
    for (const char* result : {"failed", "completed with errors", "overdue"})
        EXPECT_TRUE(notifier.notify(notice("/src", result)));
    const auto calls = bus.calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("Sicherung fehlgeschlagen", calls[0].summary);
    EXPECT_EQ("Sicherung mit Fehlern abgeschlossen", calls[1].summary);
    EXPECT_EQ("Sicherung überfällig", calls[2].summary);
}

TEST_F(DesktopNotifierTest, NoBusNoDesktopOrAStalledOneOnlyFail) {
    const auto timeout = std::chrono::milliseconds(300);
    EXPECT_FALSE(DesktopNotifier("unix:path=/nonexistent/bus", kUntranslated, timeout)
                     .notify(notice("/src")));
    NotificationBus nobody(NotificationBus::NO_OWNER);
    ASSERT_FALSE(nobody.address().empty());
    EXPECT_FALSE(DesktopNotifier(nobody.address(), kUntranslated, timeout).notify(notice("/src")));
    NotificationBus stalled(NotificationBus::STALLED);
    ASSERT_FALSE(stalled.address().empty());
    EXPECT_FALSE(DesktopNotifier(stalled.address(), kUntranslated, timeout).notify(notice("/src")));
    EXPECT_EQ(1u, stalled.calls().size());
}

TEST_F(DesktopNotifierTest, ANoticeMessageReachesDesktopAndCommandWithoutWaitingForThem) {
    TestSupport::TempDir dir;
    NotificationBus stalled(NotificationBus::STALLED);
    ASSERT_FALSE(stalled.address().empty());
    const std::string out = dir.join("hook");
    const auto started = std::chrono::steady_clock::now();
    {
        FailureNoticeHandler handler(
            std::unique_ptr<DesktopNotifier>(
                new DesktopNotifier(stalled.address(), kUntranslated, std::chrono::seconds(2))),
            std::unique_ptr<FailureHook>(new FailureHook(
                "echo \"$BACKUP_RECORD_ID $BACKUP_RESULT $BACKUP_REASON\" >> " + out)));
        for (int id : {1, 2, 3}) {
            handler.handle(Orvana::Misc::MessageUtil::createNewFailureNoticeMessage(
                "backup", id, "/src" + std::to_string(id), "/dst", "completed with errors",
                "2 files could not be copied"));
        }
        // The three would take six seconds at the desktop alone.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_TRUE(waitUntil([&] { return stalled.calls().size() == 3; }, 20000));
        EXPECT_TRUE(waitUntil([&] { return lines(out).size() == 3; }, 10000));
    }
    // The records' commands may run side by side.
    EXPECT_EQ((std::multiset<std::string>{"1 completed with errors 2 files could not be copied",
                                          "2 completed with errors 2 files could not be copied",
                                          "3 completed with errors 2 files could not be copied"}),
              lines(out));
}

}  // namespace
