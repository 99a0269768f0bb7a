// Two real hosts, each with its own profile and identity, on 127.0.0.1:
// --device-id, pairing through the page both ways (and kept over a restart),
// and a device made by the test that a host trusts by --trust: its exchange
// reaches the host's plug-in, while untrusted and slow counterparts are
// refused and the host goes on serving.

#include "host/DeviceIdentity.h"
#include "host/PairedDevices.h"
#include "host/PeerConnector.h"

#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
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
using PeerTestSupport::devices;
using PeerTestSupport::peerAddress;
using PeerTestSupport::peerOptions;
using TestSupport::HostProcess;
using TestSupport::TempDir;

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

TEST(PeerHosts, DeviceIdsAndPairingThroughThePage) {
    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    // Made at the first use, then the same; the key is private.
    const std::string idA = HostProcess::deviceId(pa);
    ASSERT_EQ(95u, idA.size()) << idA;
    EXPECT_EQ(idA, HostProcess::deviceId(pa));
    struct stat info;
    ASSERT_EQ(0, ::stat((pa + "/device-key.pem").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    HostProcess a(pa, peerOptions("alice@one"));
    HostProcess b(pb, peerOptions("alice@two"));
    const std::string idB = devices(b)->getValue<std::string>("fingerprint");
    EXPECT_EQ(idA, devices(a)->getValue<std::string>("fingerprint"));
    EXPECT_EQ(idB, HostProcess::deviceId(pb));  // read while B runs
    EXPECT_NE(idA, idB);
    EXPECT_EQ(0u, devices(a)->getArray("devices")->size());

    // A pairs B; B does not trust A yet, so A does not see it as reachable.
    HostProcess::Reply added =
        a.post("/api/host/devices?action=add&peer=alice@two&fingerprint=" + idB +
               "&address=" + peerAddress(b));
    ASSERT_EQ(200, added.status) << added.body;
    EXPECT_FALSE(listedReachable(a, "alice@two"));
    // B pairs A, the fingerprint typed in lower case without separators.
    std::string typed = Poco::toLower(idA);
    typed.erase(std::remove(typed.begin(), typed.end(), ':'), typed.end());
    ASSERT_EQ(200, b.post("/api/host/devices?action=add&peer=alice@one&fingerprint=" + typed +
                          "&address=" + peerAddress(a))
                       .status);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return listedReachable(a, "alice@two"); }, 20000));
    EXPECT_TRUE(listedReachable(b, "alice@one"));

    // Bad requests change nothing.
    EXPECT_EQ(400,
              a.post("/api/host/devices?action=add&peer=alice@three&fingerprint=12:34").status);
    EXPECT_EQ(400,
              a.post("/api/host/devices?action=add&peer=alice@three&fingerprint=" + idB).status);
    EXPECT_EQ(400, a.post("/api/host/devices?action=add&peer=nobody&fingerprint=" + idA).status);
    EXPECT_EQ(404, a.post("/api/host/devices?action=remove&peer=alice@three").status);
    EXPECT_EQ(403, a.get("/api/host/devices", false).status);
    EXPECT_EQ(1u, devices(a)->getArray("devices")->size());

    // Kept over a restart; removed on the page, B is no longer reached.
    EXPECT_EQ(0, a.terminate());
    HostProcess again(pa, peerOptions("alice@one"));
    EXPECT_TRUE(TestSupport::waitUntil([&] { return listedReachable(again, "alice@two"); }, 20000));
    ASSERT_EQ(200, again.post("/api/host/devices?action=remove&peer=alice@two").status);
    EXPECT_EQ(0u, devices(again)->getArray("devices")->size());
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !listedReachable(b, "alice@one"); }, 20000));
}

// A device of the test's own, trusted by a host through --trust.
struct TestDevice {
    TestDevice()
        : identity(DeviceIdentity::loadOrCreate(dir.path())),
          devices(dir.path()),
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
    HostProcess b(
        dir.join("b"),
        peerOptions(host.toString(), {"--trust", "tester@lab=" + tester.identity.fingerprint()}));
    const std::string address = peerAddress(b);
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
