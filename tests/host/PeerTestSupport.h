#pragma once
// Helpers for the tests of the connections between devices: a hand-driven
// TLS connection that got past the other side's greeting, and a check that
// the other side closed a connection. Header-only; one test thread each.

#include "host/DeviceIdentity.h"
#include "host/PeerFrameStream.h"
#include "host/PeerTls.h"

#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>

#include <string>

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

}  // namespace PeerTestSupport
