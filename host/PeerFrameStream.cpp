#include "host/PeerFrameStream.h"

#include <Poco/Net/NetException.h>

#include <vector>

namespace Orvana {
namespace Host {

POCO_IMPLEMENT_EXCEPTION(PeerFrameRefusedException, Poco::DataException, "Frame refused")

namespace PeerFrameStream {

namespace {

const std::size_t CHUNK = 256 * 1024;

// Fills size bytes; the count read before the connection ended.
std::size_t receive(Poco::Net::StreamSocket& socket, char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const std::size_t want = std::min(size - got, CHUNK);
        const int n = socket.receiveBytes(data + got, static_cast<int>(want));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void receiveAll(Poco::Net::StreamSocket& socket, char* data, std::size_t size) {
    if (receive(socket, data, size) != size)
        throw Poco::Net::ConnectionResetException("the connection ended inside a frame");
}

void send(Poco::Net::StreamSocket& socket, const char* data, std::size_t size) {
    while (size > 0) {
        const int n = socket.sendBytes(data, static_cast<int>(std::min(size, CHUNK)));
        if (n <= 0) throw Poco::Net::ConnectionResetException("the connection ended");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

bool read(Poco::Net::StreamSocket& socket, Orvana::API::PeerFrame& frame,
          const Progress& progress) {
    char head[PeerFrameCodec::HEAD_SIZE];
    // The first byte alone: until it comes the connection is idle, not slow.
    if (receive(socket, head, 1) == 0) return false;
    if (progress) progress(0);
    receiveAll(socket, head + 1, sizeof head - 1);
    PeerFrameCodec::FrameHead parsed;
    PeerFrameCodec::Error error = PeerFrameCodec::parseHead(head, parsed);
    if (error != PeerFrameCodec::Error::None)
        throw PeerFrameRefusedException(PeerFrameCodec::describe(error));
    if (progress)
        progress(PeerFrameCodec::HEAD_SIZE + parsed.fieldSectionSize + std::size_t(parsed.bodySize));

    std::vector<char> section(parsed.fieldSectionSize);
    receiveAll(socket, section.data(), section.size());
    error = PeerFrameCodec::parseFields(parsed, section.data(), section.size(), frame.fields);
    if (error != PeerFrameCodec::Error::None)
        throw PeerFrameRefusedException(PeerFrameCodec::describe(error));
    frame.body.resize(parsed.bodySize);
    receiveAll(socket, &frame.body[0], frame.body.size());
    return true;
}

void write(Poco::Net::StreamSocket& socket, const Orvana::API::PeerFrame& frame) {
    const std::string head = PeerFrameCodec::encodeHead(frame);
    send(socket, head.data(), head.size());
    send(socket, frame.body.data(), frame.body.size());
}

}  // namespace PeerFrameStream
}  // namespace Host
}  // namespace Orvana
