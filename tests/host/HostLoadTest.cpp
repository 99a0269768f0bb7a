// End-to-end: the real host under many clients at once and under clients
// that open a connection and never finish their request (loopback only).

#include <Poco/Exception.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/HostProcess.h"
#include "support/TempDir.h"

using TestSupport::HostProcess;
using TestSupport::TempDir;
using Reply = HostProcess::Reply;

namespace {

TEST(HostLoad, TwoHundredSimultaneousClientsEachGetTheirAnswer) {
    TempDir dir;
    HostProcess host(dir.join("profile"));
    ASSERT_GT(host.port(), 0) << host.banner();
    const int clients = 200;
    std::promise<void> go;  // all start together, so the server sees them at once
    const std::shared_future<void> started = go.get_future().share();
    std::vector<std::string> failures(clients);  // one slot per thread
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i, started] {  // its own copy: one object is not shared
            started.wait();
            // Through the plug-in, not only the host: the full path of a request.
            const Reply reply = host.get("/api/backup/getactivity");
            if (reply.status != 200 || reply.body.find("<getactivity>") == std::string::npos)
                failures[i] = std::to_string(reply.status) + " " + reply.body;
        });
    }
    go.set_value();
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) EXPECT_EQ("", failure);
    EXPECT_EQ(host.terminate(), 0);
}

TEST(HostLoad, IdleHalfSentConnectionsNeitherBlockOthersNorStayOpen) {
    TempDir dir;
    HostProcess host(dir.join("profile"));
    ASSERT_GT(host.port(), 0) << host.banner();
    const Poco::Net::SocketAddress address("127.0.0.1", static_cast<Poco::UInt16>(host.port()));
    // A request head without its closing blank line: the server waits for more.
    const std::string halfHead = "GET /api/backup/getactivity HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::vector<Poco::Net::StreamSocket> idle(100);
    for (Poco::Net::StreamSocket& socket : idle) {
        socket.connect(address);
        socket.sendBytes(halfHead.data(), static_cast<int>(halfHead.size()));
    }

    // Every other request is answered while they wait (the client's own
    // timeout bounds it).
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(host.get("/api/backup/getactivity", true, "", 8).status, 200);

    // The server closes each of them (at most an error status, never an
    // answer to the unfinished request), without the client doing anything.
    for (Poco::Net::StreamSocket& socket : idle) {
        socket.setReceiveTimeout(Poco::Timespan(60, 0));
        std::string received;
        char buffer[1024];
        try {
            for (int n; (n = socket.receiveBytes(buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<size_t>(n));
        } catch (Poco::TimeoutException&) {
            ADD_FAILURE() << "an idle connection was still open after 60 s";
            break;
        } catch (Poco::Exception&) {
            // A reset is a close too.
        }
        EXPECT_EQ(received.find(" 200 "), std::string::npos) << received;
    }
    EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
