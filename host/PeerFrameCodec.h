#pragma once
// PeerFrameCodec: the wire form of a PeerFrame between two devices, and its
// limits. Pure functions on bytes (no sockets), so the parser can be fuzzed
// and table-tested on its own; PeerFrameStream moves the bytes.
//
// A frame is a 16-byte head, then the field section, then the body:
//   head:   "BKF1" | field count u32 | field section size u32 | body size u32
//   field:  name size u8 | name | value size u32 | value
// Integers are big-endian. Names are [a-z0-9_]+ and come in strictly
// ascending byte order (so a frame has one encoding and no duplicates).
// The head alone tells whether a frame is within the limits, so an oversized
// one is refused before any of it is read.

#include "hostapi/PeerLink.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace Orvana {
namespace Host {
namespace PeerFrameCodec {

constexpr std::size_t HEAD_SIZE = 16;
constexpr std::size_t MAX_BODY = 16u << 20;        // bytes of file content
constexpr std::size_t MAX_FIELDS = 1024;
constexpr std::size_t MAX_FIELD_BYTES = 64u << 10;  // names and values together
constexpr std::size_t MAX_NAME = 255;
// Each field adds its two size prefixes.
constexpr std::size_t MAX_FIELD_SECTION = MAX_FIELD_BYTES + MAX_FIELDS * 5;

enum class Error {
    None,
    BadMagic,
    TooManyFields,
    FieldsTooLarge,
    BodyTooLarge,
    BadFieldName,
    FieldsOutOfOrder,
    Truncated,
    TrailingBytes,
};

struct FrameHead {
    std::uint32_t fieldCount = 0;
    std::uint32_t fieldSectionSize = 0;
    std::uint32_t bodySize = 0;
};

// A short English reason, for logs and refusals.
const char* describe(Error error);

// Reads and checks a head; `data` holds HEAD_SIZE bytes.
Error parseHead(const char* data, FrameHead& head);
// Reads the field section that `head` announced (`size` bytes).
Error parseFields(const FrameHead& head, const char* data, std::size_t size,
                  std::map<std::string, std::string>& fields);
// A whole frame in one buffer: head, fields and body, nothing after.
Error parseFrame(const std::string& bytes, Orvana::API::PeerFrame& frame);

// Whether the frame may be sent: names valid, within every limit.
Error check(const Orvana::API::PeerFrame& frame);
// Head and field section of a checked frame; the body follows it unchanged.
std::string encodeHead(const Orvana::API::PeerFrame& frame);
// The whole frame (tests and the fuzz target; the stream sends the body apart).
std::string encode(const Orvana::API::PeerFrame& frame);

}  // namespace PeerFrameCodec
}  // namespace Host
}  // namespace Orvana
