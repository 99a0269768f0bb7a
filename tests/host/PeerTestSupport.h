#pragma once
// Helpers for the tests of the connections between devices: a hand-driven
// TLS connection that got past the other side's greeting, a check that the
// other side closed a connection, and what the tests of two real hosts share.
// Header-only; one test thread each.

#include "host/DeviceIdentity.h"
#include "host/PeerFrameStream.h"
#include "host/PeerTls.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/TreeSnapshot.h"

namespace PeerTestSupport {

inline Poco::Net::SecureStreamSocket acceptedConnection(
    const Orvana::Host::DeviceIdentity& identity, const std::string& address) {
    Poco::Net::SecureStreamSocket socket(Orvana::Host::PeerTls::clientContext(identity));
    socket.connect(Poco::Net::SocketAddress(address), Poco::Timespan(5, 0));
    socket.setReceiveTimeout(Poco::Timespan(10, 0));
    Orvana::API::PeerFrame greeting;
    EXPECT_TRUE(Orvana::Host::PeerFrameStream::read(socket, greeting));
    EXPECT_EQ("1", greeting.field("accepted"));
    return socket;
}

// True when a read ends without data or with a reset; false when it timed out.
inline bool closedByPeer(Poco::Net::StreamSocket& socket) {
    char byte;
    try {
        return socket.receiveBytes(&byte, 1) <= 0;
    } catch (Poco::TimeoutException&) {
        return false;
    } catch (Poco::Exception&) {
        return true;
    }
}

// A host's options to serve devices on 127.0.0.1 as `peer` (port 0: any free one).
inline std::vector<std::string> peerOptions(const std::string& peer,
                                            const std::vector<std::string>& more = {},
                                            int port = 0) {
    std::vector<std::string> all = {"--peer-bind",        "127.0.0.1", "--peer-port",
                                    std::to_string(port), "--peer",    peer};
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

// The host's devices document; an empty object when it did not answer.
inline Poco::JSON::Object::Ptr devices(const TestSupport::HostProcess& host) {
    const TestSupport::HostProcess::Reply reply = host.get("/api/host/devices");
    EXPECT_EQ(200, reply.status) << reply.body;
    if (reply.status != 200) return new Poco::JSON::Object;
    return Poco::JSON::Parser().parse(reply.body).extract<Poco::JSON::Object::Ptr>();
}

// Where the host listens for devices, "127.0.0.1:port".
inline std::string peerAddress(const TestSupport::HostProcess& host) {
    return "127.0.0.1:" + std::to_string(devices(host)->getValue<int>("port"));
}

// The files of a tree, without its folders.
inline std::map<std::string, TestSupport::TreeNode> files(const std::string& root) {
    std::map<std::string, TestSupport::TreeNode> out;
    for (const auto& e : TestSupport::snapshotTree(root, false))
        if (e.second.kind != 'd') out.insert(e);
    return out;
}

// The number of runs a status document with history lists.
inline int runsIn(const std::string& status) {
    int runs = 0;
    for (auto at = status.find("<run>"); at != std::string::npos; at = status.find("<run>", at + 1))
        ++runs;
    return runs;
}

}  // namespace PeerTestSupport
