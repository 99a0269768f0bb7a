#pragma once
// PeerFrameStream: reads and writes PeerFrames on a connected socket (TLS
// between devices; any StreamSocket in tests). The head is checked before
// anything else is read, so a frame over the limits costs its 16 bytes only.
// Plain functions; one thread per socket at a time.

#include "host/PeerFrameCodec.h"
#include "hostapi/PeerLink.h"

#include <Poco/Exception.h>
#include <Poco/Net/StreamSocket.h>

#include <cstddef>
#include <functional>

namespace Orvana {
namespace Host {

// The other side sent something that is not a frame within the limits; the
// connection cannot be trusted to be in step any more and is closed.
POCO_DECLARE_EXCEPTION(, PeerFrameRefusedException, Poco::DataException)

namespace PeerFrameStream {

// Called when a frame starts to arrive (size 0) and again once its head tells
// its whole size, so the caller can set a deadline for it.
typedef std::function<void(std::size_t frameSize)> Progress;

// Reads one frame; false when the connection ended before a frame began.
// Throws PeerFrameRefusedException, Poco::TimeoutException and the socket's
// exceptions (an end inside a frame: Poco::Net::ConnectionResetException).
bool read(Poco::Net::StreamSocket& socket, Orvana::API::PeerFrame& frame,
          const Progress& progress = Progress());
// Writes a frame that PeerFrameCodec::check accepted.
void write(Poco::Net::StreamSocket& socket, const Orvana::API::PeerFrame& frame);

}  // namespace PeerFrameStream
}  // namespace Host
}  // namespace Orvana
