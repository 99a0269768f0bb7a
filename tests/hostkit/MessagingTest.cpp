#include <Poco/Delegate.h>
#include <gtest/gtest.h>

#include <vector>

#include "hostapi/HTTP.h"
#include "hostapi/Message.h"
#include "hostapi/MessageDispatcher.h"
#include "hostapi/MessageRecorder.h"
#include "hostapi/MessageUtil.h"
#include "hostapi/Service.h"
#include "hostapi/VariantTable.h"

using namespace Orvana::Data;
using Orvana::HostKit::MessageRecorder;
using Orvana::Misc::HTTP;
using Orvana::Misc::MessageUtil;
using Orvana::System::MessageDispatcher;
using Orvana::System::MessageEventInfo;
typedef boost::shared_ptr<Message> MessagePtr;

namespace {

// A service that records what it receives and may answer from inside its handler.
class FakeService : public Orvana::System::Service {
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

TEST(VariantTable, WalksInInsertionOrderAndEndsWithNull) {
    VariantTable table;
    EXPECT_EQ(nullptr, table.getFirstRow());
    table["zeta"]["n"] = 1;
    table["alpha"]["n"] = 2;
    table["zeta"]["n"] = 4;  // existing row, no new entry
    std::vector<std::string> keys;
    for (VariantRow* row = table.getFirstRow(); row != nullptr; row = table.getNextRow())
        keys.push_back(table.currentKey() + std::to_string((*row)["n"].getInt()));
    EXPECT_EQ((std::vector<std::string>{"zeta4", "alpha2"}), keys);
    EXPECT_EQ(nullptr, table.getNextRow());  // stays at the end

    VariantTable copy(table);
    table["alpha"]["n"] = 99;
    EXPECT_EQ(2, copy["alpha"]["n"].getInt());  // deep copy

    Message message("backup", "getactivity");
    EXPECT_FALSE(message.hasRow("HTTPRequest"));
    EXPECT_EQ("", message["HTTPRequest"]["HTTPRequest"].getString());
    EXPECT_TRUE(message.hasRow("HTTPRequest"));
    message["row"]["junk"] = "not a number";
    EXPECT_EQ(0, message["row"]["junk"].getInt64());
    const char bytes[] = {'a', '\0', 'b'};
    message.setRawData(bytes, sizeof(bytes));
    EXPECT_EQ(std::string(bytes, 3), message.getRawData());
}

TEST(MessageUtil, BuildsHostMessagesWithTheirNames) {
    struct {
        MessagePtr message;
        const char* service;
        const char* operation;
        const char* field;
        const char* value;
    } cases[] = {
        {MessageUtil::createNewTimerStartMessage("backup", "T", 60000, -1), "TimerService", "START",
         "Interval", "60000"},
        {MessageUtil::createNewTimerStopMessage("backup", "T"), "TimerService", "STOP", "Timer",
         "T"},
        {MessageUtil::createNewEventNotifierSubscribeMessage("backup", "PEER_DISCONNECT"),
         "EventNotifier", "SUBSCRIBE", "Event", "PEER_DISCONNECT"},
        {MessageUtil::createNewEventNotifierUnSubscribeAllMessage("backup"), "EventNotifier",
         "UNSUBSCRIBEALL", "Owner", "backup"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.operation);
        EXPECT_EQ(c.service, c.message->getService());
        EXPECT_EQ(c.operation, c.message->getOperation());
        EXPECT_EQ(c.value, (*c.message)[c.service][c.field].getString());
    }
    VariantRow& start = (*cases[0].message)["TimerService"];
    EXPECT_EQ("backup|T|-1", start["Owner"].getString() + "|" + start["Timer"].getString() + "|" +
                                 start["Repeat"].getString());

    MessagePtr reply = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
    MessageUtil::addHTTPResponse(reply, 200, "text/xml; charset=utf-8");
    EXPECT_EQ(200, (*reply)["HTTPResponse"]["Status"].getInt());
    EXPECT_EQ("text/xml; charset=utf-8", (*reply)["HTTPResponse"]["ContentType"].getString());
}

TEST(HTTP, XmlResultEscapesNameAndText) {
    EXPECT_EQ(
        "<result><name>a&amp;b</name><success>false</success>"
        "<text>&lt;x y=&quot;1&quot;&gt; it&apos;s</text></result>",
        HTTP::getXMLResult("a&b", false, "<x y=\"1\"> it's"));
}
