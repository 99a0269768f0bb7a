// End-to-end: the real backup-host with the real plug-in, driven over HTTP as
// the page drives it; what makes a host this device's one host; many clients.

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace TestSupport;
using Exit = HostProcess::Exit;
using Reply = HostProcess::Reply;

namespace {

const auto element = HostProcess::element;

TEST(HostProcess, GuardsTheApiAndServesThePage) {
    TempDir dir;
    HostProcess host(dir.join("profile"), {"--lang", "de"});
    EXPECT_NE(host.banner().find("/ui/backup/index.html?token=" + std::string(HostProcess::TOKEN)),
              std::string::npos);

    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", false).status, 403);
    // A page from a foreign name that resolves here (DNS rebinding) is refused,
    // token or not.
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "attacker.example:8480").status, 403);
    EXPECT_EQ(host.get("/api/backup/getallbackuprecs", true, "localhost:1").status, 200);

    const Reply page = host.get("/ui/backup/index.html", false);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(host.get("/ui/backup/%2e%2e/%2e%2e/CMakeLists.txt", false).status, 404);

    const Reply answer =
        host.post("/texts", R"(["Back up now","not in any catalogue","Stopped by you {when}"])",
                  "application/json", "POST", false);
    ASSERT_EQ(200, answer.status) << answer.body;
    const auto json = Poco::JSON::Parser().parse(answer.body).extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ("de", json->getValue<std::string>("lang"));
    const auto german = json->getObject("texts");
    EXPECT_EQ("Jetzt sichern", german->getValue<std::string>("Back up now"));
    EXPECT_EQ("Von Ihnen angehalten {when}",
              german->getValue<std::string>("Stopped by you {when}"));
    EXPECT_EQ("not in any catalogue", german->getValue<std::string>("not in any catalogue"));
    auto texts = [&](const std::string& body, const std::string& method = "POST") {
        return host.post("/texts", body, "application/json", method, false).status;
    };
    EXPECT_EQ(400, texts(R"({"not":"a list"})"));
    EXPECT_EQ(400, texts("[1, 2]"));
    EXPECT_EQ(400, texts("not json"));
    EXPECT_EQ(405, texts("", "GET"));
    EXPECT_EQ(413, texts("[\"" + std::string(300 * 1024, 'x') + "\"]"));

    EXPECT_EQ(host.terminate(), 0);
}

// The plug-in's notice of a failed pass reaches the host's handler: the
// command given with --on-failure runs with the record's details.
TEST(HostProcess, AFailedBackupRunsTheFailureCommand) {
    TempDir dir;
    const std::string source = dir.join("gone");
    const std::string target = dir.join("target");
    Poco::File(source).createDirectories();
    Poco::File(target).createDirectories();
    const std::string seen = dir.join("seen.txt");
    HostProcess host(dir.join("profile"),
                     {"--lang", "en", "--on-failure",
                      "printf '%s|%s|%s' \"$BACKUP_RECORD_ID\" \"$BACKUP_RESULT\" "
                      "\"$BACKUP_SOURCE\" > '" +
                          seen + "'"});
    const std::string recid = host.addRecord(source, target);
    Poco::File(source).remove(true);

    ASSERT_EQ(element(host.api("synconerecord", {{"recid", recid}}).body, "success"), "true");
    EXPECT_TRUE(waitUntil([&] {
        return Poco::File(seen).exists() && readFile(seen) == recid + "|failed|" + source;
    })) << "no failure command ran, or not with the record's details";
    EXPECT_EQ(host.terminate(), 0);
}

// groupname of the only record in the listing; "" when the listing failed.
std::string groupOfTheRecord(const HostProcess& host) {
    const Reply listing = host.api("getallbackuprecs");
    EXPECT_EQ(listing.status, 200);
    EXPECT_NE(element(listing.body, "recid"), "") << listing.body;
    return element(listing.body, "groupname");
}

TEST(HostIdentity, KeepsThePeerIdAndTokenOverRestartsUnlessOthersAreAskedFor) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("source");
    const std::string target = dir.join("target");
    Poco::File(source).createDirectories();
    Poco::File(target).createDirectories();
    std::string firstToken;
    {
        HostProcess host(profile, {"--lang", "en"}, {{"USER", "first"}}, "");
        ASSERT_FALSE(host.addRecord(source, target).empty());
        EXPECT_EQ(groupOfTheRecord(host), "Local");
        EXPECT_EQ(host.terminate(), 0);
        firstToken = host.token();
    }
    const std::string firstPeer = readFile(profile + "/peer-id");
    EXPECT_EQ(firstPeer.rfind("first@", 0), 0u) << firstPeer;

    // Another login name (as after renaming the machine) derives another
    // default; the stored id wins and the record stays this device's own.
    // The page's token is replaced only when asked to.
    std::string token;
    {
        HostProcess host(profile, {"--lang", "en", "--new-token"}, {{"USER", "second"}}, "");
        EXPECT_EQ(groupOfTheRecord(host), "Local");
        EXPECT_EQ(host.terminate(), 0);
        token = host.token();
    }
    EXPECT_EQ(readFile(profile + "/peer-id"), firstPeer);
    EXPECT_NE(firstToken, token);

    // --peer overrides and is kept for the next start without it; the record
    // stored for the old id is then no longer local, and is still listed.
    for (const bool givenPeer : {true, false}) {
        std::vector<std::string> args = {"--lang", "en"};
        if (givenPeer) args.insert(args.end(), {"--peer", "other@elsewhere"});
        HostProcess host(profile, args, {}, "");
        EXPECT_EQ(groupOfTheRecord(host), "Non existent group") << "given: " << givenPeer;
        EXPECT_EQ(host.terminate(), 0);
        EXPECT_EQ(token, host.token());
    }
    EXPECT_EQ(readFile(profile + "/peer-id"), "other@elsewhere\n");
}

TEST(HostIdentity, AHostOnABusyProfileOrPortStopsWithOneLine) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    HostProcess first(profile);
    const std::string port = std::to_string(first.port());

    const Exit sameProfile = HostProcess::runToExit({"--profile", profile, "--port", "0"});
    EXPECT_EQ(sameProfile.code, 1);
    EXPECT_EQ(sameProfile.err,
              "backup-host: profile " + profile + " is in use by another backup-host\n");

    const Exit samePort = HostProcess::runToExit({"--profile", dir.join("other"), "--port", port});
    EXPECT_EQ(samePort.code, 1);
    EXPECT_EQ(samePort.err, "backup-host: port " + port + " on 127.0.0.1 is already in use\n");

    // The first host kept every connection: none went to a second listener.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(first.get("/api/host/plugin").status, 200);

    // The lock goes with the host: the profile can be used again at once.
    EXPECT_EQ(first.terminate(), 0);
    HostProcess next(profile);
    EXPECT_EQ(next.terminate(), 0);

    // A listener that itself allows sharing the port: only the host's own
    // refusal to share keeps the two apart.
    Poco::Net::ServerSocket other;
    other.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, true);
    other.listen();
    const std::string shared = std::to_string(other.address().port());
    const Exit result = HostProcess::runToExit({"--profile", dir.join("third"), "--port", shared});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "backup-host: port " + shared + " on 127.0.0.1 is already in use\n");
}

TEST(HostLoad, ManyClientsAreAnsweredWhileIdleHalfSentOnesAreCut) {
    TempDir dir;
    HostProcess host(dir.join("profile"));
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

    // Two hundred clients at once, through the plug-in: each gets its answer.
    const int clients = 200;
    std::promise<void> go;  // all start together, so the server sees them at once
    const std::shared_future<void> started = go.get_future().share();
    std::vector<std::string> failures(clients);  // one slot per thread
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i, started] {  // its own copy: one object is not shared
            started.wait();
            const Reply reply = host.get("/api/backup/getactivity");
            if (reply.status != 200 || reply.body.find("<getactivity>") == std::string::npos)
                failures[i] = std::to_string(reply.status) + " " + reply.body;
        });
    }
    go.set_value();
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) EXPECT_EQ("", failure);

    // The server closes each idle one (at most an error status, never an
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
