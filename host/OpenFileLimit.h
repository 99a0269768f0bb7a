#pragma once
// The host's limit of open descriptors. A backup pass holds the files it has
// copied but not yet named open until their batch is on disk, as many as a
// quarter of the soft limit allows; the usual soft limit of 1024 would make it
// flush every couple of hundred new files. The soft limit is raised towards
// the hard one at start, before any thread exists. Nothing here uses select(),
// which is what the low soft limit protects.

namespace Orvana {
namespace Host {

// Raises the soft limit to the hard one, at most to `wanted`; a limit that
// cannot be raised is left as it is (the pass then flushes more often).
void raiseOpenFileLimit(unsigned long wanted = 65536);

}  // namespace Host
}  // namespace Orvana
