// The host's guards and helpers: which Host headers pass, which page paths
// may be served, group ids, and how replies find their waiting request.

#include <Poco/Delegate.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <thread>

#include "host/EventNotifier.h"
#include "host/HostGuard.h"
#include "host/HostSettings.h"
#include "host/StaticFileHandler.h"
#include "host/SyncProxy.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/Service.h"
#include "support/TempDir.h"

using namespace Orvana::Host;
using Orvana::Misc::MessageUtil;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

TEST(HostGuard, OnlyLoopbackHostNamesPass) {
    for (const char* host : {"localhost", "LOCALHOST:8480", "127.0.0.1", "127.0.0.1:8480",
                             "127.8.9.1", "[::1]", "[::1]:8480"}) {
        EXPECT_TRUE(HostGuard::isLoopbackHost(host)) << host;
    }
    for (const char* host : {"", "example.com", "localhost.example.com", "127.0.0.1.nip.io",
                             "10.0.0.1:8480", "[::1", "[::2]:80", "::1", "[::1]x", "0.0.0.0"}) {
        EXPECT_FALSE(HostGuard::isLoopbackHost(host)) << host;
    }
    const HostGuard loopback("secret", true);
    EXPECT_FALSE(loopback.hostAllowed("evil.example"));
    const HostGuard open("secret", false);
    EXPECT_TRUE(open.hostAllowed("my-nas.lan"));

    EXPECT_TRUE(loopback.tokenMatches("secret"));
    for (const char* wrong : {"secreT", "secret2", "secre", ""})
        EXPECT_FALSE(loopback.tokenMatches(wrong)) << wrong;
    EXPECT_FALSE(HostGuard("", true).tokenMatches(""));
    EXPECT_NE(HostGuard::randomToken(), HostGuard::randomToken());
}

TEST(StaticFiles, NothingOutsideThePageFolderIsServed) {
    TempDir dir;
    const std::string root = dir.join("ui");
    writeFile(root + "/backup/index.html", "<html>");
    writeFile(dir.join("secret.txt"), "secret");
    ASSERT_EQ(::symlink(dir.join("secret.txt").c_str(), (root + "/backup/leak.txt").c_str()), 0);
    ASSERT_EQ(
        ::symlink((root + "/backup/index.html").c_str(), (root + "/backup/alias.html").c_str()), 0);

    EXPECT_EQ(StaticFileHandler::resolve(root, "backup/index.html"), root + "/backup/index.html");
    EXPECT_EQ(StaticFileHandler::resolve(root, "backup//index.html"), root + "/backup/index.html");
    EXPECT_EQ(StaticFileHandler::resolve(root, "backup/alias.html"), root + "/backup/index.html");
    for (const char* bad :
         {"backup/../../secret.txt", "../secret.txt", "backup/./index.html", "backup/leak.txt",
          "backup", "backup/", "", "backup\\index.html", "backup/missing.html"}) {
        EXPECT_EQ(StaticFileHandler::resolve(root, bad), "") << bad;
    }
}

TEST(HostSettings, GroupsAndDefaults) {
    const auto family = HostSettings::parseGroup("Family=friend@box, aunt@pc");
    ASSERT_EQ(family->getMembers().size(), 2u);
    EXPECT_EQ(family->getMembers()[1].toString(), "aunt@pc");
    // The id depends on the name alone, so stored records find their group again.
    EXPECT_EQ(HostSettings::parseGroup("Family=other@host")->getGroupID(), family->getGroupID());
    EXPECT_NE(HostSettings::parseGroup("Work=friend@box")->getGroupID(), family->getGroupID());
    for (const char* bad : {"Family", "=a@b", "Family=", "Family=notapeer", "F=a@b,x@y@z"}) {
        EXPECT_THROW(HostSettings::parseGroup(bad), Poco::SyntaxException) << bad;
    }

    EXPECT_EQ(HostSettings::languageFromLocale("de_DE.UTF-8"), "de");
    EXPECT_EQ(HostSettings::languageFromLocale("C.UTF-8"), "en");

    TempDir dir;
    writeFile(dir.join("ui/backup/index.html"), "");
    Poco::File(dir.join("build/sub")).createDirectories();
    EXPECT_EQ(HostSettings::findUiDir("", dir.join("build/sub/")), dir.join("ui/"));
    EXPECT_EQ(HostSettings::findUiDir("/given", dir.join("build/")), "/given");
    TempDir elsewhere;
    writeFile(elsewhere.join("CMakeCache.txt"),
              "X:BOOL=ON\nCMAKE_HOME_DIRECTORY:INTERNAL=" + dir.path() + "\n");
    EXPECT_EQ(HostSettings::findUiDir("", elsewhere.path()), dir.join("ui/"));
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

    SyncProxy::MessagePtr first, second;
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "one"), 30000, first),
              SyncProxy::REPLIED);
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "two"), 30000, second),
              SyncProxy::REPLIED);
    EXPECT_EQ(first->getRawData(), "one");
    EXPECT_EQ(second->getRawData(), "two");

    // A reply with a token nobody waits for changes nothing.
    auto stray = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
    (*stray)["SyncProxyService"]["Token"] = "forged";
    proxy.onReply(stray);

    service.answer = false;
    SyncProxy::MessagePtr none;
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "lost"), 10, none),
              SyncProxy::TIMED_OUT);
    EXPECT_FALSE(none);

    std::thread closer([&] { proxy.close(); });
    closer.join();
    EXPECT_EQ(proxy.request(MessageUtil::createNewMessage("svc", "late"), 30000, none),
              SyncProxy::CLOSED);
    dispatcher.unRegisterMessageHandler(&service);
    dispatcher.setSink(nullptr);
}

TEST(EventNotifier, SubscribersGetTheirEventsUntilTheyLeave) {
    std::vector<SyncProxy::MessagePtr> sent;
    EventNotifier events([&](const SyncProxy::MessagePtr& m) { sent.push_back(m); });
    events.handle(
        MessageUtil::createNewEventNotifierSubscribeMessage("backup", "USER_DATA_DIR_CHANGED"));
    events.handle(MessageUtil::createNewEventNotifierSubscribeMessage("backup", "PEER_DISCONNECT"));
    events.handle(MessageUtil::createNewEventNotifierSubscribeMessage("other", "PEER_DISCONNECT"));

    EXPECT_EQ(events.fire("USER_DATA_DIR_CHANGED"), 1u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]->getService(), "backup");
    EXPECT_EQ((*sent[0])["EVENT"]["EVENT_NAME"].getString(), "USER_DATA_DIR_CHANGED");
    EXPECT_GE(sent[0]->getAuthKey().authSource(), 100);

    events.handle(MessageUtil::createNewEventNotifierUnSubscribeAllMessage("backup"));
    EXPECT_EQ(events.fire("USER_DATA_DIR_CHANGED"), 0u);
    EXPECT_EQ(events.fire("PEER_DISCONNECT"), 1u);
    EXPECT_EQ(sent.back()->getService(), "other");
}

}  // namespace
