#include <Poco/Delegate.h>
#include <gtest/gtest.h>

#include <vector>

#include "hostapi/Message.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/Service.h"

using namespace Orvana::Data;
using Orvana::HostKit::MessageRecorder;
using Orvana::Misc::MessageUtil;
using namespace Orvana::System;
typedef boost::shared_ptr<Message> MessagePtr;

namespace {

// A service that records what it receives and may answer from inside its handler.
class FakeService : public Service {
public:
    explicit FakeService(const std::string& name) : m_name(name) {}
    bool init(const std::string&) override { return true; }
    const std::string& name() const override { return m_name; }
    bool startup(MessageDispatcher* dispatcher) override {
        m_dispatcher = dispatcher;
        boost::shared_ptr<MessageEventInfo> info(new MessageEventInfo);
        info->messageEvent += Poco::delegate(this, &FakeService::onMessage);
        return dispatcher->registerMessageHandler(this, info);
    }
    bool shutdown() override { return m_dispatcher->unRegisterMessageHandler(this); }
    void onMessage(const void*, MessagePtr& message) override {
        received.push_back(message->getOperation());
        if (message->getOperation() == "ping")
            m_dispatcher->sendMessage(MessageUtil::createNewMessage("SyncProxyService", "pong"));
    }

    std::vector<std::string> received;

private:
    std::string m_name;
    MessageDispatcher* m_dispatcher = nullptr;
};

}  // namespace

TEST(MessageDispatcher, RoutesToServiceOrSink) {
    MessageDispatcher dispatcher;
    MessageRecorder sink;
    dispatcher.setSink([&sink](const MessagePtr& m) { sink.record(m); });

    FakeService service("backup");
    ASSERT_TRUE(service.startup(&dispatcher));
    FakeService twin("backup");
    EXPECT_FALSE(twin.startup(&dispatcher));  // same name twice

    dispatcher.sendMessage(MessageUtil::createNewMessage("backup", "getactivity"));
    dispatcher.sendMessage(MessageUtil::createNewMessage("TimerService", "START"));
    // The handler sends from inside: the dispatcher must not hold its lock.
    dispatcher.sendMessage(MessageUtil::createNewMessage("backup", "ping"));
    EXPECT_EQ((std::vector<std::string>{"getactivity", "ping"}), service.received);
    ASSERT_EQ(2u, sink.messages().size());
    EXPECT_EQ("START", sink.messages()[0]->getOperation());
    EXPECT_EQ("pong", sink.messages()[1]->getOperation());

    EXPECT_TRUE(service.shutdown());
    EXPECT_FALSE(service.shutdown());  // no longer registered
    dispatcher.sendMessage(MessageUtil::createNewMessage("backup", "late"));
    EXPECT_EQ(2u, service.received.size());
    EXPECT_EQ(3u, sink.messages().size());  // now the sink's
}
