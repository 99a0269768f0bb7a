#pragma once
// ContentHash: the SHA-256 of a file's bytes, for a device to prove that the
// copy it holds is the very content the sender has (a file whose time changed
// but not its bytes then travels as a few fields, not as its bytes). CRC-32
// is too weak for that proof: a same-size change with a matching sum would
// keep old content.
//
// Stateless; any thread.

#include <Poco/Types.h>

#include <atomic>
#include <string>

namespace Orvana {
namespace Backup {
namespace ContentHash {

// The SHA-256 of the first `size` bytes of the open file `fd`, as 64
// lower-case hex digits; empty when the file cannot be read or is shorter,
// or once `stop` (when given) is set: a large file takes seconds.
std::string sha256(int fd, Poco::Int64 size, const std::atomic<bool>* stop = nullptr);

}  // namespace ContentHash
}  // namespace Backup
}  // namespace Orvana
