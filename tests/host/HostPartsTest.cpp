// The host's parts one by one: guards, settings, the stored token and page
// address, the install layout, reply routing, the timers; failure notices: the
// --on-failure command, the desktop against a real session bus, and a notice
// message reaching both without holding anyone up.

#include <Poco/Delegate.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/DesktopNotifier.h"
#include "host/FailureHook.h"
#include "host/FailureNoticeHandler.h"
#include "host/HostGuard.h"
#include "host/HostSettings.h"
#include "host/InstallLayout.h"
#include "host/OpenFileLimit.h"
#include "host/PageAddressFile.h"
#include "host/StaticFileHandler.h"
#include "host/StoredToken.h"
#include "host/SyncProxy.h"
#include "host/TimerService.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/PoManager.h"
#include "hostapi/Service.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

using namespace Orvana::Host;
using Orvana::Misc::MessageUtil;
using std::chrono::milliseconds;
using namespace TestSupport;

namespace {

TEST(HostGuard, ForeignHostsAndPathsOutsideThePagesAreRefused) {
    TempDir dir;
    const std::string root = dir.join("ui"), page = root + "/backup/index.html";
    writeFile(page, "<html>");
    writeFile(dir.join("secret.txt"), "secret");
    ASSERT_EQ(::symlink(dir.join("secret.txt").c_str(), (root + "/backup/leak.txt").c_str()), 0);
    ASSERT_EQ(::symlink(page.c_str(), (root + "/backup/alias.html").c_str()), 0);
    for (const char* host : {"localhost", "LOCALHOST:8480", "127.8.9.1", "[::1]:8480"})
        EXPECT_TRUE(HostGuard::isLoopbackHost(host)) << host;
    for (const char* host : {"", "localhost.example.com", "127.0.0.1.nip.io", "[::1", "::1",
                             "[::2]:80", "[::1]x", "0.0.0.0"})
        EXPECT_FALSE(HostGuard::isLoopbackHost(host)) << host;
    for (const char* path : {"backup/index.html", "backup//index.html", "backup/alias.html"})
        EXPECT_EQ(StaticFileHandler::resolve(root, path), page) << path;
    for (const char* path : {"backup/../../secret.txt", "backup/./index.html", "backup/leak.txt",
                             "backup/", "", "backup\\index.html"})
        EXPECT_EQ(StaticFileHandler::resolve(root, path), "") << path;
    EXPECT_FALSE(HostGuard("secret", true).hostAllowed("evil.example"));
    EXPECT_TRUE(HostGuard("secret", false).hostAllowed("my-nas.lan"));
    EXPECT_TRUE(HostGuard("secret", true).tokenMatches("secret"));
    for (const char* wrong : {"secreT", "secret2", "secre", ""})
        EXPECT_FALSE(HostGuard("secret", true).tokenMatches(wrong)) << wrong;
    EXPECT_FALSE(HostGuard("", true).tokenMatches(""));
    EXPECT_NE(HostGuard::randomToken(), HostGuard::randomToken());
}

TEST(HostSettings, GroupIdsDependOnTheNameAlone) {
    const auto family = HostSettings::parseGroup("Family=friend@box, aunt@pc");
    ASSERT_EQ(family->getMembers().size(), 2u);
    EXPECT_EQ(family->getMembers()[1].toString(), "aunt@pc");
    // The id depends on the name alone, so stored records find their group again.
    EXPECT_EQ(HostSettings::parseGroup("Family=other@host")->getGroupID(), family->getGroupID());
    EXPECT_NE(HostSettings::parseGroup("Work=friend@box")->getGroupID(), family->getGroupID());
    for (const char* bad : {"Family", "=a@b", "Family=", "Family=notapeer", "F=a@b,x@y@z"}) {
        EXPECT_THROW(HostSettings::parseGroup(bad), Poco::SyntaxException) << bad;
    }
}

TEST(StoredToken, IsKeptPrivateUntilRenewedAndAGivenOneIsForItsRunOnly) {
    TempDir profile;
    const std::string file = profile.join(StoredToken::FILE_NAME);
    const auto resolve = [&](const std::string& given, bool renew) {
        return StoredToken::resolve(profile.path(), given, renew);
    };
    const auto mode = [&] { return snapshotTree(profile.path())[StoredToken::FILE_NAME].mode; };
    const std::string first = resolve("", false);
    EXPECT_EQ(first + "\n", readFile(file));
    EXPECT_EQ(0600u, mode());
    EXPECT_EQ("given-one", resolve("given-one", false));
    EXPECT_EQ(first, resolve("", false));
    const std::string renewed = resolve("", true);
    EXPECT_NE(first, renewed);
    // A file others may read is made private again; the token stays.
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(renewed, resolve("", false));
    EXPECT_EQ(0600u, mode());
    // A removed file, or one that holds no usable token, makes a new one.
    Poco::File(file).remove();
    const std::string afterRemoval = resolve("", false);
    EXPECT_NE(renewed, afterRemoval);
    writeFile(file, "a b<script>\n");
    const std::string afterGarbage = resolve("", false);
    EXPECT_NE(afterRemoval, afterGarbage);
    EXPECT_EQ(afterGarbage + "\n", readFile(file));
}

// Published and removed by a real host in the crash recovery test.
TEST(PageAddressFile, IsPrivateAndAnOlderObjectLeavesANewerHostsFile) {
    TempDir profile;
    std::unique_ptr<PageAddressFile> older(new PageAddressFile(profile.path(), "http://old"));
    PageAddressFile newer(profile.path(), "http://new");
    EXPECT_EQ(0600u, snapshotTree(profile.path())[PageAddressFile::FILE_NAME].mode);
    older.reset();
    EXPECT_EQ(PageAddressFile::runningAddress(profile.path()), "http://new");
}

TEST(InstallLayout, InstalledTreeIsFoundRelativeToTheProgram) {
    TempDir prefix;
    const std::string bin = prefix.join("bin/");
    Poco::File(bin).createDirectories();
    // Not installed yet: the build folder's way, the plug-in beside the program.
    EXPECT_EQ(InstallLayout::pluginPath(bin), bin + "libbackup.so");

    writeFile(prefix.join("lib/backup-host/libbackup.so"), "");
    EXPECT_EQ(InstallLayout::pluginPath(bin), prefix.join("lib/backup-host/libbackup.so"));
    EXPECT_EQ(InstallLayout::uiDir("", bin), prefix.join("share/backup-host/ui/"));
    EXPECT_EQ(InstallLayout::uiDir("/given/", bin), "/given/");
}

// A stand-in service: answers every request by sending a reply carrying the
// request's token, from another thread, as the plug-in's service thread does.
struct Answerer : Orvana::System::Service {
    std::string m_name = "svc";
    Orvana::System::MessageDispatcher* dispatcher = nullptr;
    bool answer = true;
    std::vector<std::thread> threads;
    bool init(const std::string&) override { return true; }
    const std::string& name() const override { return m_name; }
    bool startup(Orvana::System::MessageDispatcher*) override { return true; }
    bool shutdown() override { return true; }
    void onMessage(const void*, boost::shared_ptr<Orvana::Data::Message>& request) override {
        if (!answer) return;
        const std::string token = (*request)["SyncProxyService"]["Token"].getString();
        const std::string body = request->getOperation();
        threads.emplace_back([this, token, body] {
            auto reply = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
            (*reply)["SyncProxyService"]["Token"] = token;
            reply->setRawData(body.data(), body.size());
            dispatcher->sendMessage(reply);
        });
    }
    ~Answerer() override {
        for (auto& t : threads) t.join();
    }
};

TEST(SyncProxy, RepliesFindTheirRequestAndLateOnesAreDropped) {
    Orvana::System::MessageDispatcher dispatcher;
    SyncProxy proxy(dispatcher);
    dispatcher.setSink([&](const SyncProxy::MessagePtr& m) { proxy.onReply(m); });
    Answerer service;
    service.dispatcher = &dispatcher;
    auto info = boost::make_shared<Orvana::System::MessageEventInfo>();
    info->messageEvent += Poco::delegate(&service, &Answerer::onMessage);
    ASSERT_TRUE(dispatcher.registerMessageHandler(&service, info));

    SyncProxy::MessagePtr first;
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "one"), 30000, first),
              SyncProxy::REPLIED);
    EXPECT_EQ(first->getRawData(), "one");

    service.answer = false;
    SyncProxy::MessagePtr none;
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "lost"), 10, none),
              SyncProxy::TIMED_OUT);
    EXPECT_FALSE(none);

    proxy.close();
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "late"), 30000, none),
              SyncProxy::CLOSED);
    dispatcher.unRegisterMessageHandler(&service);
    dispatcher.setSink(nullptr);
}

TEST(TimerSchedule, TicksStayOnTheGridFromTheStart) {
    const TimerService::Clock::time_point start{};
    const auto minute =
        std::chrono::duration_cast<TimerService::Clock::duration>(std::chrono::seconds(60));
    // A tick delivered late does not move the next one: tick n is due at
    // start + n * interval, however late tick n-1 went out.
    EXPECT_EQ(TimerService::dueTime(start, minute, 3), start + 3 * minute);
    EXPECT_EQ(TimerService::tickDue(start, minute, 0, start + minute - milliseconds(1)), 0);
    EXPECT_EQ(TimerService::tickDue(start, minute, 0, start + minute), 1);
    EXPECT_EQ(TimerService::tickDue(start, minute, 1, start + minute + milliseconds(59999)), 0);
    EXPECT_EQ(TimerService::tickDue(start, minute, 1, start + 2 * minute + milliseconds(900)), 2);
    // After a long sleep only the latest tick goes out; the missed ones are skipped.
    EXPECT_EQ(TimerService::tickDue(start, minute, 2, start + 10 * minute + milliseconds(5)), 10);
}

TEST(TimerService, StopEndsAForeverTimerEvenFromItsOwnTick) {
    std::mutex mutex;
    std::vector<std::string> tags;  // guarded by mutex
    TimerService* self = nullptr;
    TimerService timers([&](const TimerService::MessagePtr& m) {
        size_t count;
        {
            std::lock_guard<std::mutex> lock(mutex);
            tags.push_back((*m)["TimerService"]["Tag"].getString());
            count = tags.size();
        }
        if (count == 2) {  // the delivery runs unlocked
            self->handle(MessageUtil::createNewTimerStopMessage("backup", "BACKUP_PERIODIC_TIMER"));
        }
    });
    self = &timers;
    timers.start();
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "zero", 0, -1));
    timers.handle(MessageUtil::createNewTimerStartMessage("backup", "none", 10, 0));
    EXPECT_EQ(timers.timerCount(), 0u);
    timers.handle(
        MessageUtil::createNewTimerStartMessage("backup", "BACKUP_PERIODIC_TIMER", 2, -1));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return tags.size() >= 2;
    }));
    timers.stop();  // joins: nothing can arrive after this
    EXPECT_EQ(timers.timerCount(), 0u);
    EXPECT_EQ(tags.size(), 2u);
    for (const std::string& tag : tags)
        EXPECT_EQ(tag.compare(0, 22, "BACKUP_PERIODIC_TIMER#"), 0) << tag;
}

FailureNotice notice(int recordId, const std::string& source = "/src",
                     const std::string& result = "failed") {
    return {recordId, source, "/mnt/backup", result, "The source folder is gone"};
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
    LogCapture log;
    const std::string out = dir.join("env");
    // Shell syntax in a value must stay text: values never enter the command.
    const std::string source = "/home/me/it's $(touch " + dir.join("pwned") + ") `x`; \"q\"";
    {
        FailureHook hook(
            "printf '%s|' \"$BACKUP_RECORD_ID\" \"$BACKUP_SOURCE\" "
            "\"$BACKUP_DESTINATION\" \"$BACKUP_RESULT\" \"$BACKUP_REASON\" > " +
            out + "; echo said on stdout; echo said on stderr >&2; exit 3");
        ASSERT_TRUE(hook.run(notice(7, source)));
        EXPECT_TRUE(waitUntil([&] { return hook.running() == 0; }, 10000));
    }
    EXPECT_EQ("7|" + source + "|/mnt/backup|failed|The source folder is gone|", readFile(out));
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
    writeFile(release, "");
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
    const std::string command =
        "sleep 30 & echo $! > " + dir.join("pid-") + "$BACKUP_RECORD_ID; wait";
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

// A private session bus (a real dbus-daemon that forks off) and, on a thread
// with its own connection, a stand-in desktop that owns the notification
// service and records every Notify call. The test's thread makes and
// destroys it; calls() may be read from any thread.
class Desktop {
public:
    enum Kind {
        PLAIN,     // shows the body as plain text
        MARKUP,    // reads markup in the body
        STALLED,   // takes calls and never answers
        NO_OWNER,  // nobody owns the name
    };
    struct Call {
        std::string summary, body;
        int urgency = -1;  // -1: no urgency hint
    };

    explicit Desktop(Kind kind) : m_kind(kind) {
        // Its complaints (as root it cannot raise its descriptor limit) are dropped.
        const std::string bus = "--address=unix:path=" + m_dir.join("bus");
        const std::string command =
            "dbus-daemon --session --fork --print-address=1 --print-pid=1 " + bus + " 2>/dev/null";
        FILE* out = ::popen(command.c_str(), "r");
        char address[512] = "", pid[32] = "";
        if (out && std::fgets(address, sizeof address, out) && std::fgets(pid, sizeof pid, out))
            m_daemon = std::atoi(pid);
        if (out) ::pclose(out);
        if (m_daemon > 0) m_address = Poco::trimRight(std::string(address));
        if (m_address.empty() || kind == NO_OWNER) return;
        std::atomic<int> ready{0};  // 1: the name is ours, -1: failed
        m_thread = std::thread([this, &ready] { serve(ready); });
        while (ready == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (ready < 0) m_address.clear();
    }
    ~Desktop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_daemon > 0) ::kill(m_daemon, SIGTERM);
    }
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // The bus's address; "" when dbus-daemon could not be started.
    const std::string& address() const { return m_address; }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    static int onNotify(sd_bus_message* m, void* self, sd_bus_error*) {
        Desktop& desktop = *static_cast<Desktop*>(self);
        const char *app = "", *icon = "", *summary = "", *body = "";
        uint32_t replaces = 0;
        const int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
        if (r < 0) return r;
        Call call{summary, body};
        sd_bus_message_skip(m, "as");
        sd_bus_message_enter_container(m, 'a', "{sv}");
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = "";
            uint8_t urgency = 0;
            sd_bus_message_read(m, "s", &key);
            if (std::strcmp(key, "urgency") == 0 && sd_bus_message_read(m, "v", "y", &urgency) >= 0)
                call.urgency = urgency;
            else
                sd_bus_message_skip(m, "v");
            sd_bus_message_exit_container(m);
        }
        uint32_t id = 0;
        {
            std::lock_guard<std::mutex> lock(desktop.m_mutex);
            desktop.m_calls.push_back(call);
            id = static_cast<uint32_t>(desktop.m_calls.size());
        }
        if (desktop.m_kind == STALLED) return 1;  // taken, never answered
        return sd_bus_reply_method_return(m, "u", id);
    }
    static int onCapabilities(sd_bus_message* m, void* self, sd_bus_error*) {
        if (static_cast<Desktop*>(self)->m_kind == MARKUP)
            return sd_bus_reply_method_return(m, "as", 2, "body", "body-markup");
        return sd_bus_reply_method_return(m, "as", 1, "body");
    }

    void serve(std::atomic<int>& ready) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("GetCapabilities", "", "as", onCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        const char* const name = "org.freedesktop.Notifications";
        sd_bus* bus = nullptr;
        sd_bus_slot* slot = nullptr;
        const bool ok = sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, m_address.c_str()) >= 0 &&
                        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
                        sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/Notifications", name,
                                                 vtable, this) >= 0 &&
                        sd_bus_request_name(bus, name, 0) >= 0;
        ready = ok ? 1 : -1;
        while (ok && !m_stop) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) break;
            if (r == 0) sd_bus_wait(bus, 50000);
        }
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
    }

    const Kind m_kind;
    TempDir m_dir;
    pid_t m_daemon = -1;
    std::string m_address;
    mutable std::mutex m_mutex;  // guards m_calls
    std::vector<Call> m_calls;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

const auto kUntranslated = [](const std::string& text) { return text; };

std::multiset<std::string> lines(const std::string& path) {
    std::multiset<std::string> all;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) all.insert(line);
    return all;
}

class DesktopNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
            GTEST_SKIP() << "dbus-daemon is not installed";
    }
};

TEST_F(DesktopNotifierTest, ShowsTheSourceAndReasonAsTheDesktopReadsThem) {
    for (const auto desktop : {Desktop::PLAIN, Desktop::MARKUP}) {
        Desktop bus(desktop);
        ASSERT_FALSE(bus.address().empty());
        const DesktopNotifier notifier(bus.address(), kUntranslated);
        // A file name need not be UTF-8; the bus takes only UTF-8.
        EXPECT_TRUE(notifier.notify(notice(4, "/home/me/R&D <old> \xff")));
        EXPECT_TRUE(notifier.notify(notice(4, "/home/me/Docs", "overdue")));
        const auto calls = bus.calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ("Backup failed", calls[0].summary);
        EXPECT_EQ(desktop == Desktop::MARKUP
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
    const DesktopNotifier german(
        "", [&texts](const std::string& text) { return texts.getTranslation(text); });
    EXPECT_EQ("Sicherung fehlgeschlagen", german.title(notice(4)));
    EXPECT_EQ("Sicherung mit Fehlern abgeschlossen",
              german.title(notice(4, "/src", "completed with errors")));
    EXPECT_EQ("Sicherung überfällig", german.title(notice(4, "/src", "overdue")));
}

// No bus, no desktop or a stalled one: the notice fails, and a notice message
// still reaches desktop and command without waiting for them.
TEST_F(DesktopNotifierTest, NoDesktopOrAStalledOneFailsAndHoldsUpNoNoticeMessage) {
    TempDir dir;
    const auto timeout = std::chrono::milliseconds(300);
    EXPECT_FALSE(
        DesktopNotifier("unix:path=/nonexistent/bus", kUntranslated, timeout).notify(notice(4)));
    Desktop nobody(Desktop::NO_OWNER), stalled(Desktop::STALLED);
    ASSERT_FALSE(nobody.address().empty());
    EXPECT_FALSE(DesktopNotifier(nobody.address(), kUntranslated, timeout).notify(notice(4)));
    ASSERT_FALSE(stalled.address().empty());
    EXPECT_FALSE(DesktopNotifier(stalled.address(), kUntranslated, timeout).notify(notice(4)));
    const std::string out = dir.join("hook");
    const auto started = std::chrono::steady_clock::now();
    {
        FailureNoticeHandler handler(
            std::unique_ptr<DesktopNotifier>(
                new DesktopNotifier(stalled.address(), kUntranslated, std::chrono::seconds(2))),
            std::unique_ptr<FailureHook>(new FailureHook(
                "echo \"$BACKUP_RECORD_ID $BACKUP_RESULT $BACKUP_REASON\" >> " + out)));
        for (int id : {1, 2, 3}) {
            handler.handle(MessageUtil::createNewFailureNoticeMessage(
                "backup", id, "/src" + std::to_string(id), "/dst", "completed with errors",
                "2 files could not be copied"));
        }
        // The three would take six seconds at the desktop alone.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_TRUE(waitUntil([&] { return stalled.calls().size() == 1 + 3; }, 20000));
        EXPECT_TRUE(waitUntil([&] { return lines(out).size() == 3; }, 10000));
    }
    // The records' commands may run side by side.
    EXPECT_EQ((std::multiset<std::string>{"1 completed with errors 2 files could not be copied",
                                          "2 completed with errors 2 files could not be copied",
                                          "3 completed with errors 2 files could not be copied"}),
              lines(out));
}

// Raised to the hard limit or the amount asked for, whichever is lower;
// never lowered.
TEST(OpenFileLimit, RaisesTheSoftLimitTowardsTheHardOneOnly) {
    struct rlimit before;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &before));
    ASSERT_GE(before.rlim_max, rlim_t(300));
    struct rlimit low = before;
    low.rlim_cur = 200;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    Orvana::Host::raiseOpenFileLimit(250);
    struct rlimit now;
    ::getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(rlim_t(250), now.rlim_cur);
    Orvana::Host::raiseOpenFileLimit(220);
    ::getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(rlim_t(250), now.rlim_cur);
    Orvana::Host::raiseOpenFileLimit(before.rlim_max == RLIM_INFINITY ? 1 << 20
                                                                      : before.rlim_max + 1);
    ::getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(before.rlim_max == RLIM_INFINITY ? rlim_t(1 << 20) : before.rlim_max, now.rlim_cur);
    ::setrlimit(RLIMIT_NOFILE, &before);
}

}  // namespace
