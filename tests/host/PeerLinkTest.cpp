// The link between devices: the frame codec (round trips, limits, damaged
// frames); devices in one process talking TLS over 127.0.0.1, and a real host
// that trusts one of them: who may talk, and what a damaged or slow one gets.

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/DeviceIdentity.h"
#include "host/PairedDevices.h"
#include "host/PeerConnector.h"
#include "host/PeerFrameCodec.h"
#include "host/PeerFrameStream.h"
#include "host/PeerListener.h"
#include "host/PeerTls.h"
#include "hostapi/PeerLink.h"
#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace {

using namespace Orvana::API;
using namespace Orvana::Host;
using Orvana::Data::PeerID;
using namespace TestSupport;
namespace Codec = PeerFrameCodec;
using Codec::Error;

std::string u32(std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string head(std::uint32_t count, std::uint32_t section, std::uint32_t body) {
    return "BKF1" + u32(count) + u32(section) + u32(body);
}

std::string field(const std::string& name, const std::string& value) {
    return std::string(1, static_cast<char>(name.size())) + name + u32(value.size()) + value;
}

PeerFrame frame(std::map<std::string, std::string> fields, std::string body) {
    PeerFrame f;
    f.fields = std::move(fields);
    f.body = std::move(body);
    return f;
}

TEST(PeerFrameCodec, DamagedFramesAreRefused) {
    const std::string one = field("op", "x");
    struct Case {
        const char* what;
        std::string bytes;
        Error expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", Error::Truncated},
        {"short head", head(0, 0, 0).substr(0, 15), Error::Truncated},
        {"other magic", "HTTP" + u32(0) + u32(0) + u32(0), Error::BadMagic},
        {"a web request", "GET / HTTP/1.1\r\n\r\n", Error::BadMagic},
        {"too many fields", head(Codec::MAX_FIELDS + 1, (Codec::MAX_FIELDS + 1) * 6, 0),
         Error::TooManyFields},
        {"field section too large", head(1, Codec::MAX_FIELD_SECTION + 1, 0),
         Error::FieldsTooLarge},
        {"body too large", head(0, 0, Codec::MAX_BODY + 1), Error::BodyTooLarge},
        {"body size at the top", head(0, 0, 0xffffffffu), Error::BodyTooLarge},
        {"count beyond the section", head(2, one.size(), 0) + one, Error::Truncated},
        {"section cut", head(1, one.size(), 0) + one.substr(0, 3), Error::Truncated},
        {"body cut", head(0, 0, 5) + "abc", Error::Truncated},
        {"bytes after", head(0, 0, 1) + "ab", Error::TrailingBytes},
        {"section longer than its fields", head(1, one.size() + 1, 0) + one + "z",
         Error::TrailingBytes},
        {"value runs past the section",
         head(1, 8, 0) + std::string(1, '\2') + "op" + u32(100) + "x", Error::Truncated},
        {"upper-case name", head(1, 7, 0) + field("Op", ""), Error::BadFieldName},
        {"empty name", head(1, 6, 0) + std::string(1, '\0') + u32(1) + "x", Error::BadFieldName},
        {"name with a slash", head(1, 7, 0) + field("a/", ""), Error::BadFieldName},
        {"duplicate names", head(2, 12, 0) + field("a", "") + field("a", ""),
         Error::FieldsOutOfOrder},
        {"names out of order", head(2, 12, 0) + field("b", "") + field("a", ""),
         Error::FieldsOutOfOrder},
    };
    for (const Case& c : cases) {
        PeerFrame parsed;
        EXPECT_EQ(c.expected, Codec::parseFrame(c.bytes, parsed)) << c.what;
    }
}

// What parses encodes back to the same bytes, up to the most a frame may
// carry; one byte or field more is refused both when sending and when reading.
TEST(PeerFrameCodec, FramesRoundTripUpToTheirLimitsAndNoFurther) {
    std::map<std::string, std::string> fields;
    const std::size_t each = Codec::MAX_FIELD_BYTES / Codec::MAX_FIELDS;
    for (std::size_t i = 0; i < Codec::MAX_FIELDS; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "f%04zu", i);
        fields[name] = std::string(each - 5, 'v');
    }
    const PeerFrame full = frame(fields, std::string(Codec::MAX_BODY, 'b'));
    ASSERT_EQ(Error::None, Codec::check(full));
    PeerFrame back;
    for (const PeerFrame& f :
         {frame({}, ""), full,
          frame({{"a_2", ""}, {"op", "store"}, {"path", std::string("a\0/\xff", 4)}},
                std::string("\0\1\2", 3))}) {
        const std::string bytes = Codec::encode(f);
        ASSERT_EQ(Error::None, Codec::parseFrame(bytes, back));
        EXPECT_EQ(f.fields, back.fields);
        EXPECT_EQ(f.body, back.body);
        EXPECT_EQ(bytes, Codec::encode(back));
    }

    PeerFrame bigBody = full;
    bigBody.body.push_back('b');
    EXPECT_EQ(Error::BodyTooLarge, Codec::check(bigBody));
    PeerFrame bigValue = full;
    bigValue.fields["f0000"].push_back('v');
    EXPECT_EQ(Error::FieldsTooLarge, Codec::check(bigValue));
    EXPECT_EQ(Error::FieldsTooLarge, Codec::parseFrame(Codec::encode(bigValue), back));
    PeerFrame manyFields = frame({}, "");
    for (std::size_t i = 0; i <= Codec::MAX_FIELDS; ++i)
        manyFields.fields["n" + std::to_string(10000 + i)] = "";
    EXPECT_EQ(Error::TooManyFields, Codec::check(manyFields));
    EXPECT_EQ(Error::TooManyFields, Codec::parseFrame(Codec::encode(manyFields), back));
    EXPECT_EQ(Error::BadFieldName, Codec::check(frame({{"Bad", ""}}, "")));
    EXPECT_EQ(Error::BadFieldName, Codec::check(frame({{std::string(256, 'a'), ""}}, "")));
}

// True when a read ends without data or with a reset; false when it timed out.
bool closedByPeer(Poco::Net::StreamSocket& socket) {
    char byte;
    try {
        return socket.receiveBytes(&byte, 1) <= 0;
    } catch (Poco::TimeoutException&) {
        return false;
    } catch (Poco::Exception&) {
        return true;
    }
}

// One device: profile, identity, pairing, listener on a free port, connector.
struct Device {
    explicit Device(const std::string& id, PeerListener::Limits limits = PeerListener::Limits())
        : peer(id),
          identity(DeviceIdentity::loadOrCreate(dir.path())),
          devices(dir.path()),
          listener(identity, devices, limits),
          connector(identity, devices) {
        listener.bind("127.0.0.1", 0);
        listener.start();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(listener.port()); }
    // Trusts the other device and knows where it is.
    void pairWith(const Device& other) {
        devices.trust(other.peer, other.identity.fingerprint());
        devices.setAddress(other.peer, other.address());
    }

    TempDir dir;
    PeerID peer;
    DeviceIdentity identity;
    PairedDevices devices;
    PeerListener listener;
    PeerConnector connector;
};

class PeerLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        PeerLink::setHandler([this](const PeerID& from, const PeerFrame& request) {
            ++handled;
            return frame({{"from", from.toString()}, {"op", request.field("op")}}, request.body);
        });
    }
    void TearDown() override { PeerLink::setHandler(nullptr); }

    static PeerFrame request(const std::string& op, const std::string& body = "") {
        return frame({{"op", op}}, body);
    }

    // The reason of the exchange's refusal; "" when it went through.
    static std::string refusal(Device& from, const PeerID& to) {
        try {
            from.connector.exchange(to, request("ping"), 20);
            return "";
        } catch (PeerUnreachableException& e) {
            return e.message();
        }
    }

    // A TLS connection by hand that got past the other side's greeting.
    static Poco::Net::SecureStreamSocket rawConnection(const Device& from, const Device& to) {
        Poco::Net::SecureStreamSocket socket(PeerTls::clientContext(from.identity));
        socket.connect(Poco::Net::SocketAddress(to.address()), Poco::Timespan(5, 0));
        socket.setReceiveTimeout(Poco::Timespan(10, 0));
        PeerFrame greeting;
        EXPECT_TRUE(PeerFrameStream::read(socket, greeting));
        EXPECT_EQ("1", greeting.field("accepted"));
        return socket;
    }

    std::atomic<int> handled{0};
};

// Identities and pairings are kept in the profile: the key privately, the
// same fingerprint at the next start, a pairing read back; a fingerprint typed
// in lower case without separators pairs as well.
TEST_F(PeerLinkTest, PairedDevicesExchangeFramesBothWaysWithTheProvenSender) {
    Device a("alice@one"), b("alice@two");
    EXPECT_EQ(0600u, snapshotTree(a.dir.path())[DeviceIdentity::KEY_FILE].mode);
    EXPECT_EQ(a.identity.fingerprint(), DeviceIdentity::loadOrCreate(a.dir.path()).fingerprint());
    b.pairWith(a);
    EXPECT_EQ(a.peer.toString(),
              PairedDevices(b.dir.path()).trustedWith(a.identity.fingerprint()).toString());
    std::string typed = Poco::toLower(b.identity.fingerprint());
    typed.erase(std::remove(typed.begin(), typed.end(), ':'), typed.end());
    a.devices.trust(b.peer, typed);
    a.devices.setAddress(b.peer, b.address());
    EXPECT_TRUE(a.connector.reachable(b.peer));

    std::string body(5 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    const PeerFrame reply = a.connector.exchange(b.peer, request("store", body), 10);
    EXPECT_EQ("alice@one", reply.field("from"));  // B's name for A, not anything A sent
    EXPECT_EQ("store", reply.field("op"));
    EXPECT_EQ(body, reply.body);
    // A second one on the kept connection, and the other way round.
    EXPECT_EQ("again", a.connector.exchange(b.peer, request("again"), 10).field("op"));
    EXPECT_EQ("alice@two", b.connector.exchange(a.peer, request("x"), 10).field("from"));
    EXPECT_EQ(3, handled.load());

    // Without the plug-in's handler the request still gets its answer.
    PeerLink::setHandler(nullptr);
    EXPECT_EQ("no backup service", a.connector.exchange(b.peer, request("x"), 10).field("error"));
}

TEST_F(PeerLinkTest, UntrustedCertificatesAreRefusedInBothDirections) {
    Device a("alice@one"), b("alice@two"), c("mallory@three");
    EXPECT_EQ("not paired", refusal(a, b.peer));

    // B does not trust A: A learns it from B's greeting.
    a.pairWith(b);
    EXPECT_EQ("the device does not trust this one", refusal(a, b.peer));
    EXPECT_FALSE(a.connector.reachable(b.peer));

    // A expects B's fingerprint at an address where C answers.
    b.pairWith(a);
    c.pairWith(a);
    a.devices.setAddress(b.peer, c.address());
    EXPECT_EQ("the device's certificate is not the trusted one", refusal(a, b.peer));
    EXPECT_EQ(0, handled.load());

    // Back at B's address it works; then B withdraws its trust, and the
    // connection A keeps is no longer served.
    a.devices.setAddress(b.peer, b.address());
    EXPECT_EQ("", refusal(a, b.peer));
    EXPECT_EQ(1, handled.load());
    b.devices.remove(a.peer);
    EXPECT_EQ("the device does not trust this one", refusal(a, b.peer));
    EXPECT_EQ(1, handled.load());

    // A fingerprint names one device only, and must be one.
    b.devices.trust(c.peer, c.identity.fingerprint());
    EXPECT_THROW(b.devices.trust(PeerID("other@two"), c.identity.fingerprint()),
                 Poco::InvalidArgumentException);
    EXPECT_THROW(b.devices.trust(PeerID("alice@three"), "12:34"), Poco::InvalidArgumentException);
}

TEST_F(PeerLinkTest, OversizedAndMalformedFramesCloseTheConnection) {
    Device a("alice@one"), b("alice@two");
    a.pairWith(b);
    b.pairWith(a);

    // A request over the limits is not sent at all.
    PeerFrame big = request("store", std::string(Codec::MAX_BODY + 1, 'x'));
    EXPECT_THROW(a.connector.exchange(b.peer, big, 10), PeerUnreachableException);

    // The head alone announces too much: closed without waiting for the rest;
    // and a field name the protocol does not allow (the codec's own tests
    // hold every kind of damage).
    std::string bad = Codec::encode(request("x"));
    bad[17] = 'O';
    for (const std::string& bytes :
         {Codec::encodeHead(request("x")).replace(12, 4, std::string("\x01\x00\x00\x01", 4)),
          bad}) {
        Poco::Net::SecureStreamSocket socket = rawConnection(a, b);
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_TRUE(closedByPeer(socket)) << bytes.size();
    }

    EXPECT_EQ(0, handled.load());
    EXPECT_EQ("", refusal(a, b.peer));
}

TEST_F(PeerLinkTest, SlowClientsAreCutAndTheListenerKeepsServing) {
    PeerListener::Limits quick;
    quick.handshakeSeconds = 1;
    quick.idleSeconds = 1;
    quick.maxConnections = 4;
    Device a("alice@one"), b("alice@two", quick);
    a.pairWith(b);
    b.pairWith(a);

    // More silent or dribbling connections than B serves at once, each
    // sending a byte now and then, never a whole handshake.
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.emplace_back(new Poco::Net::StreamSocket(Poco::Net::SocketAddress(b.address())));
        slow.back()->setReceiveTimeout(Poco::Timespan(0, 100000));
    }
    // One at a time, so the others lie idle meanwhile: each is cut all the
    // same, and the one being fed is not kept open by its bytes.
    for (auto& socket : slow) {
        EXPECT_TRUE(waitUntil(
            [&] {
                try {
                    socket->sendBytes("\x16", 1);
                } catch (Poco::Exception&) {
                }
                return closedByPeer(*socket);
            },
            30000));
    }
    EXPECT_EQ("", refusal(a, b.peer));

    // After the handshake a frame that comes too slowly is cut as well.
    Poco::Net::SecureStreamSocket socket = rawConnection(a, b);
    socket.setReceiveTimeout(Poco::Timespan(0, 100000));
    const std::string frame = Codec::encode(request("slow", std::string(100, 'x')));
    bool cut = false;
    for (std::size_t i = 0; i < frame.size() && !cut; ++i) {
        try {
            socket.sendBytes(&frame[i], 1);
        } catch (Poco::Exception&) {
            cut = true;
        }
        if (!cut) cut = closedByPeer(socket);
    }
    EXPECT_TRUE(cut);
    EXPECT_EQ(1, handled.load());
    EXPECT_EQ("", refusal(a, b.peer));
}

TEST_F(PeerLinkTest, ARealHostServesTrustedDevicesOnlyAndSurvivesHostileOnes) {
    Device tester("tester@lab"), stranger("mallory@three");
    const PeerID host("alice@two");
    TempDir dir;
    HostProcess b(dir.join("b"),
                  {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", host.toString(),
                   "--trust", "tester@lab=" + tester.identity.fingerprint()});
    const HostProcess::Reply reply = b.get("/api/host/devices");
    ASSERT_EQ(200, reply.status) << reply.body;
    const auto doc = Poco::JSON::Parser().parse(reply.body).extract<Poco::JSON::Object::Ptr>();
    const std::string address = "127.0.0.1:" + std::to_string(doc->getValue<int>("port"));
    for (Device* device : {&tester, &stranger}) {
        device->devices.trust(host, doc->getValue<std::string>("fingerprint"));
        device->devices.setAddress(host, address);
    }

    // The exchange reaches the plug-in (or the host's answer for a missing
    // one): any reply proves the path.
    EXPECT_FALSE(tester.connector.exchange(host, PeerFrame(), 20).fields.empty());
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
    // A fingerprint names one device only; only a paired device is removed.
    EXPECT_EQ(400, b.post("/api/host/devices?action=add&peer=other@lab&fingerprint=" +
                          tester.identity.fingerprint())
                       .status);
    EXPECT_EQ(404, b.post("/api/host/devices?action=remove&peer=other@lab").status);
    EXPECT_TRUE(waitUntil([&] { return refusal(tester, host).empty(); }, 60000));
    for (auto& socket : idle) {
        socket->setReceiveTimeout(Poco::Timespan(30, 0));
        EXPECT_TRUE(closedByPeer(*socket));
    }
    EXPECT_EQ(0, b.terminate());
}

}  // namespace
