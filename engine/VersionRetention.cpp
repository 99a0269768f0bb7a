#include "engine/VersionRetention.h"

#include <algorithm>
#include <numeric>

namespace Orvana {
namespace Backup {

const Poco::Int64 VersionRetention::HOUR;
const Poco::Int64 VersionRetention::DAY;
const Poco::Int64 VersionRetention::WEEK;
const Poco::Int64 VersionRetention::DAILY_UNTIL;

namespace {

// Oldest first; equal ages keep their input order.
std::vector<size_t> oldestFirst(const std::vector<Poco::Int64>& ages) {
    std::vector<size_t> order(ages.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&ages](size_t a, size_t b) { return ages[a] > ages[b]; });
    return order;
}

// The least gap to the next older kept version for a version of this age.
Poco::Int64 stepFor(Poco::Int64 age) {
    if (age < VersionRetention::HOUR) return 0;
    if (age < VersionRetention::DAY) return VersionRetention::HOUR;
    if (age < VersionRetention::DAILY_UNTIL) return VersionRetention::DAY;
    return VersionRetention::WEEK;
}

}  // namespace

std::vector<bool> VersionRetention::keep(const std::vector<Poco::Int64>& ages) const {
    std::vector<Poco::Int64> clamped(ages);
    for (Poco::Int64& age : clamped) age = std::max<Poco::Int64>(age, 0);
    return mode == LAST ? keepNewest(clamped) : keepStaggered(clamped);
}

std::vector<bool> VersionRetention::keepStaggered(const std::vector<Poco::Int64>& ages) const {
    std::vector<bool> kept(ages.size(), false);
    const Poco::Int64 maxAge = static_cast<Poco::Int64>(std::max(maxAgeDays, 0)) * DAY;
    bool anyKept = false;
    Poco::Int64 lastKept = 0;  // age of the newest version kept so far
    for (size_t i : oldestFirst(ages)) {
        const Poco::Int64 age = ages[i];
        if (maxAge != 0 && age > maxAge) continue;
        if (anyKept && lastKept - age < stepFor(age)) continue;
        kept[i] = true;
        anyKept = true;
        lastKept = age;
    }
    return kept;
}

std::vector<bool> VersionRetention::keepNewest(const std::vector<Poco::Int64>& ages) const {
    std::vector<bool> kept(ages.size(), false);
    std::vector<size_t> order = oldestFirst(ages);
    const size_t count = static_cast<size_t>(std::max(keepLast, 0));
    for (size_t n = 0; n < count && n < order.size(); ++n) kept[order[order.size() - 1 - n]] = true;
    return kept;
}

}  // namespace Backup
}  // namespace Orvana
