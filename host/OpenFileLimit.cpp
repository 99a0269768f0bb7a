#include "host/OpenFileLimit.h"

#include <sys/resource.h>

#include <algorithm>

namespace Orvana {
namespace Host {

void raiseOpenFileLimit(unsigned long wanted) {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t target =
        limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(limit.rlim_max, wanted);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= target) return;
    limit.rlim_cur = target;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace Host
}  // namespace Orvana
