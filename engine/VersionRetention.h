#pragma once
// VersionRetention: which earlier versions of one file are kept. A pure rule
// on the versions' ages, so that pruning and its tests share it.
//
// Staggered keeps every version younger than an hour, then at least an hour
// between kept versions for the first day, a day for the first 30 days and a
// week after that, and nothing older than the maximum age (0: no limit). The
// gaps are counted from the oldest kept version towards the newer ones, so a
// version kept once stays kept until it ages into a coarser step, however
// often pruning runs. "Keep the last N" keeps the N newest.
//
// Stateless; any thread.

#include <Poco/Types.h>

#include <vector>

namespace Orvana {
namespace Backup {

class VersionRetention {
public:
    enum Mode { STAGGERED, LAST };

    static const Poco::Int64 HOUR = 3600;
    static const Poco::Int64 DAY = 86400;
    static const Poco::Int64 WEEK = 7 * DAY;
    static const Poco::Int64 DAILY_UNTIL = 30 * DAY;  // exactly; not a rounded month

    Mode mode = STAGGERED;
    int maxAgeDays = 365;  // staggered only; 0 keeps versions for ever
    int keepLast = 10;     // LAST only

    // ages[i]: seconds since version i was made (a negative age, from a
    // clock set back, counts as 0). The result has one flag per version,
    // true for those kept.
    std::vector<bool> keep(const std::vector<Poco::Int64>& ages) const;

private:
    std::vector<bool> keepStaggered(const std::vector<Poco::Int64>& ages) const;
    std::vector<bool> keepNewest(const std::vector<Poco::Int64>& ages) const;
};

}  // namespace Backup
}  // namespace Orvana
