#pragma once
// nameThisThread: gives the calling thread a name that top -H, ps -L, gdb and
// perf show, so that a person watching a slow pass can tell the walkers, the
// index reader and the copiers apart. Linux keeps at most 15 bytes of it.
#include <pthread.h>

namespace Orvana {
namespace Backup {

inline void nameThisThread(const char* name) {
    // Only a diagnostic: a name too long or refused changes nothing else.
    (void)pthread_setname_np(pthread_self(), name);
}

}  // namespace Backup
}  // namespace Orvana
