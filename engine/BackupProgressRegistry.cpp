#include "engine/BackupProgressRegistry.h"

#include <algorithm>

namespace Orvana {
namespace Backup {

Poco::FastMutex BackupProgressRegistry::registryMutex;

namespace {

// Every accessor holds registryMutex for its whole duration; these two take
// it so that each setter and getter is one line.
template <typename Map, typename Value>
void store(Poco::FastMutex& mutex, Map& map, int id, const Value& value) {
    Poco::FastMutex::ScopedLock lock(mutex);
    map[id] = value;
}

// A getter never inserts: an absent entry reads as empty text or 0.
template <typename Map>
typename Map::mapped_type lookup(Poco::FastMutex& mutex, const Map& map, int id) {
    Poco::FastMutex::ScopedLock lock(mutex);
    typename Map::const_iterator it = map.find(id);
    return it == map.end() ? typename Map::mapped_type() : it->second;
}

// The same for code that already holds the mutex.
template <typename Map>
typename Map::mapped_type lookup(const Map& map, int id) {
    typename Map::const_iterator it = map.find(id);
    return it == map.end() ? typename Map::mapped_type() : it->second;
}

// How far back the rate looks (microseconds).
const Poco::Timestamp::TimeDiff RATE_WINDOW = 5000000;

}  // namespace

BackupProgressRegistry& BackupProgressRegistry::instance() {
    // Kept until the process ends: workers may still report while statics go.
    static BackupProgressRegistry* registry = nullptr;
    Poco::FastMutex::ScopedLock lock(registryMutex);
    if (!registry) registry = new BackupProgressRegistry;
    return *registry;
}

void BackupProgressRegistry::setCurrentAction(int id, const std::string& action) {
    store(registryMutex, currentAction, id, action);
}

void BackupProgressRegistry::setCurrentFile(int id, const std::string& file) {
    store(registryMutex, currentFile, id, file);
}

void BackupProgressRegistry::setRemainingSendSize(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    remainingSendSize[id] = value;
    sampleLocked(id);
}

void BackupProgressRegistry::setTotalSendSize(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    totalSendSize[id] = value;
    // The copy phase of a pass begins: all of it is still to send, and the
    // rate counts from here, not from the scan.
    if (runKind.count(id) != 0) remainingSendSize[id] = value;
    samples[id].clear();
    sampleLocked(id);
}

void BackupProgressRegistry::setToSendCount(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    toSendCount[id] = value;
    // The copy phase's first count is its number of files.
    std::map<int, Poco::Int64>::iterator total = fileTotal.find(id);
    if (total != fileTotal.end() && total->second < 0) total->second = value;
}

void BackupProgressRegistry::setCheckedFileCount(int id, Poco::Int64 value) {
    store(registryMutex, checkedFileCount, id, value);
}

void BackupProgressRegistry::noteFileChecked(int id, const std::string& action) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    std::string& current = currentAction[id];
    if (current != action) current = action;
    ++checkedFileCount[id];
}

std::string BackupProgressRegistry::getCurrentAction(int id) const {
    return lookup(registryMutex, currentAction, id);
}

std::string BackupProgressRegistry::getCurrentFile(int id) const {
    return lookup(registryMutex, currentFile, id);
}

Poco::Int64 BackupProgressRegistry::getRemainingSendSize(int id) const {
    return lookup(registryMutex, remainingSendSize, id);
}

Poco::Int64 BackupProgressRegistry::getTotalSendSize(int id) const {
    return lookup(registryMutex, totalSendSize, id);
}

Poco::Int64 BackupProgressRegistry::getToSendCount(int id) const {
    return lookup(registryMutex, toSendCount, id);
}

Poco::Int64 BackupProgressRegistry::getCheckedFileCount(int id) const {
    return lookup(registryMutex, checkedFileCount, id);
}

void BackupProgressRegistry::markActive(int id) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    active.insert(id);
}

void BackupProgressRegistry::clearActive(int id) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    active.erase(id);
}

bool BackupProgressRegistry::isActive(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return active.count(id) != 0;
}

void BackupProgressRegistry::beginPass(int id, const std::string& kind) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    runKind[id] = kind;
    bytesWritten[id] = 0;
    fileTotal[id] = -1;
    totalSendSize[id] = 0;
    remainingSendSize[id] = 0;
    toSendCount[id] = 0;
    samples.erase(id);
}

void BackupProgressRegistry::endPass(int id, const BackupDB::RUN_RECORD& run) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    runKind.erase(id);
    if (run.kind == "backup") lastRun[id] = run;
    samples.erase(id);
}

std::string BackupProgressRegistry::getRunKind(int id) const {
    return lookup(registryMutex, runKind, id);
}

bool BackupProgressRegistry::getLastRun(int id, BackupDB::RUN_RECORD& run) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    std::map<int, BackupDB::RUN_RECORD>::const_iterator it = lastRun.find(id);
    if (it == lastRun.end()) return false;
    run = it->second;
    return true;
}

void BackupProgressRegistry::forgetRun(int id) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    lastRun.erase(id);
}

void BackupProgressRegistry::forgetRuns() {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    lastRun.clear();
}

void BackupProgressRegistry::applyLastRun(BackupDB::BACKUP_RECORD& record) const {
    BackupDB::RUN_RECORD run;
    if (!getLastRun(record.id, run) || run.kind != "backup" || run.result == "stopped") return;
    const Poco::Timestamp start = Poco::Timestamp::fromUtcTime(run.startTime);
    if (start > record.lastAttemptTime) record.lastAttemptTime = start;
    const Poco::Timestamp end = Poco::Timestamp::fromUtcTime(run.endTime);
    if (run.result == "completed" && end > record.lastSuccessTime) record.lastSuccessTime = end;
}

void BackupProgressRegistry::addBytesWritten(int id, Poco::Int64 bytes) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    bytesWritten[id] += bytes;
    sampleLocked(id);
}

Poco::Int64 BackupProgressRegistry::bytesDoneLocked(int id) const {
    const Poco::Int64 total = lookup(totalSendSize, id);
    // Files count as sent only once committed, in batches; the bytes written
    // so far tell how far the copy really is.
    Poco::Int64 done = std::max(total - lookup(remainingSendSize, id), lookup(bytesWritten, id));
    return std::max<Poco::Int64>(0, std::min(done, total));
}

void BackupProgressRegistry::sampleLocked(int id) {
    if (runKind.count(id) == 0) return;
    std::deque<std::pair<Poco::Timestamp, Poco::Int64>>& list = samples[id];
    const Poco::Timestamp now;
    const Poco::Int64 done = bytesDoneLocked(id);
    // One sample per tenth of a second is plenty (the first one stays, it is
    // where the copy began); keep a window of RATE_WINDOW and the one sample
    // before it.
    if (list.size() > 1 && now - list.back().first < 100000) {
        list.back().second = done;
    } else {
        list.push_back(std::make_pair(now, done));
    }
    while (list.size() > 2 && now - list[1].first > RATE_WINDOW) list.pop_front();
}

BackupProgressRegistry::Progress BackupProgressRegistry::getProgress(int id) const {
    Progress p;
    Poco::FastMutex::ScopedLock lock(registryMutex);
    if (runKind.count(id) == 0) return p;
    const Poco::Int64 total = lookup(totalSendSize, id);
    p.bytesDone = bytesDoneLocked(id);
    p.bytesToGo = total - p.bytesDone;
    p.filesToGo = lookup(toSendCount, id);
    const Poco::Int64 files = lookup(fileTotal, id);
    p.filesDone = files > p.filesToGo ? files - p.filesToGo : 0;

    std::map<int, std::deque<std::pair<Poco::Timestamp, Poco::Int64>>>::const_iterator it =
        samples.find(id);
    if (it != samples.end() && !it->second.empty()) {
        const Poco::Timestamp now;
        // The newest sample at least RATE_WINDOW old, else the oldest one.
        std::pair<Poco::Timestamp, Poco::Int64> base = it->second.front();
        for (const auto& sample : it->second) {
            if (now - sample.first >= RATE_WINDOW) base = sample;
        }
        const Poco::Timestamp::TimeDiff elapsed = now - base.first;
        // Too short a time says nothing yet.
        if (elapsed >= 500000) p.rate = (p.bytesDone - base.second) * 1000000 / elapsed;
    }
    return p;
}

void BackupProgressRegistry::resetProgress(int id) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    currentFile[id] = std::string();
    totalSendSize[id] = 0;
    remainingSendSize[id] = 0;
    toSendCount[id] = 0;
    bytesWritten[id] = 0;
    active.erase(id);
    runKind.erase(id);
    samples.erase(id);
}

}  // namespace Backup
}  // namespace Orvana
