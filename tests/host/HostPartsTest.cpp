// The host's parts one by one: guards, settings, the stored token and page
// address, the install layout, reply routing and the timers.

#include <Poco/Delegate.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/HostGuard.h"
#include "host/HostSettings.h"
#include "host/InstallLayout.h"
#include "host/PageAddressFile.h"
#include "host/StaticFileHandler.h"
#include "host/StoredToken.h"
#include "host/SyncProxy.h"
#include "host/TimerService.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/Service.h"
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

TEST(PageAddressFile, IsPrivateWhileHeldAndGoneAfterItsOwnersStop) {
    TempDir profile;
    const std::string path = PageAddressFile::pathIn(profile.path());
    {
        PageAddressFile published(profile.path(), "http://127.0.0.1:1/x?token=secret");
        EXPECT_EQ(0600u, snapshotTree(profile.path())[PageAddressFile::FILE_NAME].mode);
        EXPECT_EQ(PageAddressFile::runningAddress(profile.path()),
                  "http://127.0.0.1:1/x?token=secret");
    }
    EXPECT_FALSE(Poco::File(path).exists());
    EXPECT_EQ(PageAddressFile::runningAddress(profile.path()), "");

    // A new host replaces the file; the older object's end must not remove it.
    std::unique_ptr<PageAddressFile> older(new PageAddressFile(profile.path(), "http://old"));
    PageAddressFile newer(profile.path(), "http://new");
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

}  // namespace
