#include <Poco/Delegate.h>
#include <Poco/Thread.h>
#include <gtest/gtest.h>

#include <atomic>
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
    EXPECT_TRUE(dispatcher.isRegistered("backup"));
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

TEST(MessageRecorder, WaitsForAMessageFromAnotherThread) {
    MessageRecorder recorder;
    EXPECT_FALSE(recorder.waitForReply("t1", 10));
    Poco::Thread thread;
    struct Sender : Poco::Runnable {
        MessageRecorder* recorder;
        void run() override {
            Poco::Thread::sleep(50);
            MessagePtr other = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
            (*other)["SyncProxyService"]["Token"] = "t0";
            recorder->record(other);
            MessagePtr reply = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
            (*reply)["SyncProxyService"]["Token"] = "t1";
            recorder->record(reply);
        }
    } sender;
    sender.recorder = &recorder;
    thread.start(sender);
    MessagePtr reply = recorder.waitForReply("t1", 30000);
    thread.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ("t1", (*reply)["SyncProxyService"]["Token"].getString());
    recorder.clear();
    EXPECT_TRUE(recorder.messages().empty());
}

TEST(VariantTable, WalksInInsertionOrderAndEndsWithNull) {
    VariantTable table;
    EXPECT_EQ(nullptr, table.getFirstRow());
    table["zeta"]["n"] = 1;
    table["alpha"]["n"] = 2;
    table["mid"]["n"] = 3;
    table["zeta"]["n"] = 4;  // existing row, no new entry

    std::vector<std::string> keys;
    std::vector<int> values;
    for (VariantRow* row = table.getFirstRow(); row != nullptr; row = table.getNextRow()) {
        keys.push_back(table.currentKey());
        values.push_back((*row)["n"].getInt());
    }
    EXPECT_EQ((std::vector<std::string>{"zeta", "alpha", "mid"}), keys);
    EXPECT_EQ((std::vector<int>{4, 2, 3}), values);
    EXPECT_EQ(nullptr, table.getNextRow());  // stays at the end

    VariantTable copy(table);
    table["alpha"]["n"] = 99;
    EXPECT_EQ(2, copy["alpha"]["n"].getInt());  // deep copy
    EXPECT_EQ(3u, copy.size());
}

TEST(Message, RowsOnAccessAndRawBytes) {
    Message message("backup", "getactivity");
    EXPECT_FALSE(message.hasRow("HTTPRequest"));
    EXPECT_EQ("", message["HTTPRequest"]["HTTPRequest"].getString());
    EXPECT_TRUE(message.hasRow("HTTPRequest"));
    VariantRow& row = message["row"];
    row["text"] = "42";
    row["big"] = Poco::Int64(1) << 40;
    row["junk"] = "not a number";
    EXPECT_EQ(42, row["text"].getInt());
    EXPECT_EQ("1099511627776", row["big"].getString());
    EXPECT_EQ(0, row["junk"].getInt64());
    EXPECT_EQ((std::vector<std::string>{"text", "big", "junk"}), row.names());
    const char bytes[] = {'a', '\0', 'b'};
    message.setRawData(bytes, sizeof(bytes));
    EXPECT_EQ(std::string(bytes, 3), message.getRawData());
}

TEST(MessageUtil, BuildsHostMessagesWithTheirNames) {
    MessagePtr timer = MessageUtil::createNewTimerStartMessage("backup", "T", 60000, -1);
    EXPECT_EQ("TimerService", timer->getService());
    EXPECT_EQ("START", timer->getOperation());
    VariantRow& t = (*timer)["TimerService"];
    EXPECT_EQ("backup", t["Owner"].getString());
    EXPECT_EQ("T", t["Timer"].getString());
    EXPECT_EQ(60000, t["Interval"].getInt64());
    EXPECT_EQ(-1, t["Repeat"].getInt());

    MessagePtr stop = MessageUtil::createNewTimerStopMessage("backup", "T");
    EXPECT_EQ("STOP", stop->getOperation());
    EXPECT_EQ("T", (*stop)["TimerService"]["Timer"].getString());

    MessagePtr sub =
        MessageUtil::createNewEventNotifierSubscribeMessage("backup", "PEER_DISCONNECT");
    EXPECT_EQ("EventNotifier", sub->getService());
    EXPECT_EQ("SUBSCRIBE", sub->getOperation());
    EXPECT_EQ("PEER_DISCONNECT", (*sub)["EventNotifier"]["Event"].getString());

    MessagePtr unsub = MessageUtil::createNewEventNotifierUnSubscribeAllMessage("backup");
    EXPECT_EQ("UNSUBSCRIBEALL", unsub->getOperation());
    EXPECT_EQ("backup", (*unsub)["EventNotifier"]["Owner"].getString());

    MessagePtr reply = MessageUtil::createNewMessage("SyncProxyService", "SYNC");
    MessageUtil::addHTTPResponse(reply, 200, "text/xml; charset=utf-8");
    EXPECT_EQ(200, (*reply)["HTTPResponse"]["Status"].getInt());
    EXPECT_EQ("text/xml; charset=utf-8", (*reply)["HTTPResponse"]["ContentType"].getString());
}

TEST(HTTP, XmlResultEscapesNameAndText) {
    EXPECT_EQ("<result><name>op</name><success>true</success><text></text></result>",
              HTTP::getXMLResult("op", true, ""));
    EXPECT_EQ(
        "<result><name>a&amp;b</name><success>false</success>"
        "<text>&lt;x y=&quot;1&quot;&gt; it&apos;s</text></result>",
        HTTP::getXMLResult("a&b", false, "<x y=\"1\"> it's"));
}
