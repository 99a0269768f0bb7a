// Two real hosts, each with its own profile and identity, on 127.0.0.1:
// --device-id, pairing through the page both ways (and kept over a restart),
// and a device made by the test that a host trusts by --trust: its exchange
// reaches the host's plug-in, while untrusted, damaged and slow counterparts
// are refused and the host goes on serving.

#include "host/DeviceIdentity.h"
#include "host/PairedDevices.h"
#include "host/PeerConnector.h"
#include "host/PeerFrameCodec.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "PeerTestSupport.h"
#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using Orvana::API::PeerFrame;
using Orvana::API::PeerUnreachableException;
using Orvana::Data::PeerID;
using Orvana::Host::DeviceIdentity;
using Orvana::Host::PairedDevices;
using Orvana::Host::PeerConnector;
using TestSupport::HostProcess;
using TestSupport::TempDir;

const std::vector<std::string> PEER_PORT = {"--peer-bind", "127.0.0.1", "--peer-port", "0"};

std::vector<std::string> args(const std::string& peer, std::vector<std::string> more = {}) {
    std::vector<std::string> all = PEER_PORT;
    all.insert(all.end(), {"--peer", peer});
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

// The devices document, or an empty object when it did not answer.
Poco::JSON::Object::Ptr devices(const HostProcess& host) {
    const HostProcess::Reply reply = host.get("/api/host/devices");
    EXPECT_EQ(200, reply.status) << reply.body;
    if (reply.status != 200) return new Poco::JSON::Object;
    return Poco::JSON::Parser().parse(reply.body).extract<Poco::JSON::Object::Ptr>();
}

HostProcess::Reply post(const HostProcess& host, const std::string& query) {
    HostProcess::Reply reply;
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(host.port()));
    session.setTimeout(Poco::Timespan(30, 0));
    Poco::Net::HTTPRequest request("POST", "/api/host/devices?" + query,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    request.set("X-Backup-Token", host.token());
    request.setContentLength(0);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    reply.status = response.getStatus();
    Poco::StreamCopier::copyToString(in, reply.body);
    return reply;
}

std::string addressOf(const HostProcess& host) {
    return "127.0.0.1:" + std::to_string(devices(host)->getValue<int>("port"));
}

// Whether host lists peer, and that it is reachable.
bool listedReachable(const HostProcess& host, const std::string& peer) {
    Poco::JSON::Array::Ptr list = devices(host)->getArray("devices");
    for (std::size_t i = 0; list && i < list->size(); ++i) {
        Poco::JSON::Object::Ptr device = list->getObject(static_cast<unsigned>(i));
        if (device->getValue<std::string>("peer") == peer)
            return device->getValue<bool>("reachable");
    }
    return false;
}

std::string deviceId(const std::string& profile) {
    const HostProcess::Exit run = HostProcess::runToExit({"--profile", profile, "--device-id"});
    EXPECT_EQ(0, run.code) << run.err;
    return Poco::trim(run.out);
}

TEST(PeerHosts, DeviceIdsAndPairingThroughThePage) {
    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    // Made at the first use, then the same; the key is private.
    const std::string idA = deviceId(pa);
    ASSERT_EQ(95u, idA.size()) << idA;
    EXPECT_EQ(idA, deviceId(pa));
    struct stat info;
    ASSERT_EQ(0, ::stat((pa + "/device-key.pem").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    HostProcess a(pa, args("alice@one"));
    HostProcess b(pb, args("alice@two"));
    const std::string idB = devices(b)->getValue<std::string>("fingerprint");
    EXPECT_EQ(idA, devices(a)->getValue<std::string>("fingerprint"));
    EXPECT_EQ(idB, deviceId(pb));  // read while B runs
    EXPECT_NE(idA, idB);
    EXPECT_EQ(0u, devices(a)->getArray("devices")->size());

    // A pairs B; B does not trust A yet, so A does not see it as reachable.
    HostProcess::Reply added =
        post(a, "action=add&peer=alice@two&fingerprint=" + idB + "&address=" + addressOf(b));
    ASSERT_EQ(200, added.status) << added.body;
    EXPECT_FALSE(listedReachable(a, "alice@two"));
    // B pairs A, the fingerprint typed in lower case without separators.
    std::string typed = Poco::toLower(idA);
    typed.erase(std::remove(typed.begin(), typed.end(), ':'), typed.end());
    ASSERT_EQ(200, post(b, "action=add&peer=alice@one&fingerprint=" + typed +
                               "&address=" + addressOf(a))
                       .status);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return listedReachable(a, "alice@two"); }, 20000));
    EXPECT_TRUE(listedReachable(b, "alice@one"));

    // Bad requests change nothing.
    EXPECT_EQ(400, post(a, "action=add&peer=alice@three&fingerprint=12:34").status);
    EXPECT_EQ(400, post(a, "action=add&peer=alice@three&fingerprint=" + idB).status);
    EXPECT_EQ(400, post(a, "action=add&peer=nobody&fingerprint=" + idA).status);
    EXPECT_EQ(404, post(a, "action=remove&peer=alice@three").status);
    EXPECT_EQ(403, a.get("/api/host/devices", false).status);
    EXPECT_EQ(1u, devices(a)->getArray("devices")->size());

    // Kept over a restart; removed on the page, B is no longer reached.
    EXPECT_EQ(0, a.terminate());
    HostProcess again(pa, args("alice@one"));
    EXPECT_TRUE(TestSupport::waitUntil([&] { return listedReachable(again, "alice@two"); }, 20000));
    ASSERT_EQ(200, post(again, "action=remove&peer=alice@two").status);
    EXPECT_EQ(0u, devices(again)->getArray("devices")->size());
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !listedReachable(b, "alice@one"); }, 20000));
}

// A device of the test's own, trusted by a host through --trust.
struct TestDevice {
    TestDevice() : identity(DeviceIdentity::loadOrCreate(dir.path())), devices(dir.path()),
                   connector(identity, devices) {}
    TempDir dir;
    DeviceIdentity identity;
    PairedDevices devices;
    PeerConnector connector;
};

std::string refusal(TestDevice& device, const PeerID& peer) {
    try {
        device.connector.exchange(peer, PeerFrame(), 20);
        return "";
    } catch (PeerUnreachableException& e) {
        return e.message();
    }
}

TEST(PeerHosts, TheHostServesTrustedDevicesOnlyAndSurvivesHostileOnes) {
    ::signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    TestDevice tester, stranger;
    const PeerID host("alice@two");
    HostProcess b(dir.join("b"),
                  args(host.toString(), {"--trust", "tester@lab=" + tester.identity.fingerprint()}));
    const std::string address = addressOf(b);
    const std::string fingerprint = devices(b)->getValue<std::string>("fingerprint");
    for (TestDevice* device : {&tester, &stranger}) {
        device->devices.trust(host, fingerprint);
        device->devices.setAddress(host, address);
    }

    // The exchange reaches the plug-in (or the host's answer for a missing
    // one): any reply proves the path.
    const PeerFrame reply = tester.connector.exchange(host, PeerFrame(), 20);
    EXPECT_FALSE(reply.fields.empty());
    EXPECT_EQ("the device does not trust this one", refusal(stranger, host));
    // A device at B's address that is not the one trusted for that peer.
    tester.devices.trust(PeerID("alice@else"), stranger.identity.fingerprint());
    tester.devices.setAddress(PeerID("alice@else"), address);
    EXPECT_EQ("the device's certificate is not the trusted one",
              refusal(tester, PeerID("alice@else")));

    // Damaged frames close their connection.
    namespace Codec = Orvana::Host::PeerFrameCodec;
    for (const std::string& bytes :
         {Codec::encodeHead(PeerFrame()).replace(12, 4, std::string("\x7f\xff\xff\xff", 4)),
          std::string("GET /ui/backup/index.html HTTP/1.1\r\nHost: x\r\n\r\n")}) {
        Poco::Net::SecureStreamSocket socket =
            PeerTestSupport::acceptedConnection(tester.identity, address);
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_TRUE(PeerTestSupport::closedByPeer(socket));
    }

    // Slow-loris: more idle connections than the host serves at once, each
    // sending nothing past a byte of a handshake. They are cut, and the host
    // serves the trusted device again (the page all the while).
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.emplace_back(new Poco::Net::StreamSocket(Poco::Net::SocketAddress(address)));
        idle.back()->sendBytes("\x16", 1);
    }
    EXPECT_EQ(200, b.get("/api/host/plugin").status);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return refusal(tester, host).empty(); }, 60000));
    for (auto& socket : idle) {
        socket->setReceiveTimeout(Poco::Timespan(30, 0));
        EXPECT_TRUE(PeerTestSupport::closedByPeer(*socket));
    }
    EXPECT_EQ(0, b.terminate());
}

}  // namespace
