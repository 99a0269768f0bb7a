#pragma once
// What the engine's tests of backups to another device share: the names of
// the two devices, the protocol's types and a file's CRC as a put carries it.
// The storing side runs in the test's own process and takes it for
// SOURCE_PEER; records back up to TARGET.

#include <zlib.h>

#include <string>

#include "engine/IncomingStore.h"
#include "engine/PeerProtocol.h"
#include "hostapi/HostControl.h"

namespace EngineTest {

using Orvana::API::PeerFrame;
using Orvana::Backup::IncomingStore;
using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;
namespace P = Orvana::Backup::PeerProtocol;

const char* const TARGET = "friend@peerhost";
const char* const SOURCE_PEER = "user@otherhost";

inline std::string crcOf(const std::string& data) {
    return P::crcText(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

}  // namespace EngineTest
