#pragma once
// EngineClock: the local date and time the engine reads for the schedule and
// for activity texts. Normally the system clock; tests pin it to a fixed
// moment so that the minute-0 rule can be checked without waiting.
//
// Process-wide; every call is thread-safe (g_clockMutex in the .cpp guards
// the pinned value).

#include <Poco/LocalDateTime.h>

namespace Orvana {
namespace Backup {

class EngineClock {
public:
    static Poco::LocalDateTime localNow();
    // Every later localNow() returns this moment until useSystemTime().
    static void pin(const Poco::LocalDateTime& moment);
    static void useSystemTime();
};

}  // namespace Backup
}  // namespace Orvana
