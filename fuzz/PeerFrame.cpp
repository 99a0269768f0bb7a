// Fuzzes the parser of the frames that other devices send: any input must be
// refused or parsed, never read out of bounds, and what parses must be within
// the limits and encode back to exactly the same bytes (one encoding per
// frame, so two readers can never disagree about a frame).

#include "host/PeerFrameCodec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace Codec = Orvana::Host::PeerFrameCodec;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "peer frame fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Orvana::API::PeerFrame frame;
    const Codec::Error error = Codec::parseFrame(bytes, frame);
    if (error != Codec::Error::None) return 0;
    check(Codec::check(frame) == Codec::Error::None, "a parsed frame is over the limits");
    check(Codec::encode(frame) == bytes, "a parsed frame encodes to other bytes");
    return 0;
}
