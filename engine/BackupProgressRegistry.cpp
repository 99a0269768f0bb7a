#include "engine/BackupProgressRegistry.h"

#include <algorithm>

namespace Orvana {
namespace Backup {

Orvana::Util::CheckedMutex BackupProgressRegistry::registryMutex;

namespace {

// How far back the rate looks (microseconds).
const Poco::Timestamp::TimeDiff RATE_WINDOW = 5000000;

}  // namespace

BackupProgressRegistry& BackupProgressRegistry::instance() {
    // Kept until the process ends: workers may still report while statics go.
    static BackupProgressRegistry* registry = nullptr;
    Orvana::Util::CheckedLock lock(registryMutex);
    if (!registry) registry = new BackupProgressRegistry;
    return *registry;
}

const BackupProgressRegistry::Entry* BackupProgressRegistry::find(int id) const {
    std::map<int, Entry>::const_iterator it = entries.find(id);
    return it == entries.end() ? nullptr : &it->second;
}

void BackupProgressRegistry::setCurrentAction(int id, const std::string& action) {
    Orvana::Util::CheckedLock lock(registryMutex);
    entry(id).shown.currentAction = action;
}

void BackupProgressRegistry::setCurrentFile(int id, const std::string& file) {
    Orvana::Util::CheckedLock lock(registryMutex);
    entry(id).shown.currentFile = file;
}

void BackupProgressRegistry::setRemainingSendSize(int id, Poco::Int64 value) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.shown.remainingSendSize = value;
    sample(e);
}

void BackupProgressRegistry::setTotalSendSize(int id, Poco::Int64 value) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.shown.totalSendSize = value;
    // The copy phase of a pass begins: all of it is still to send, and the
    // rate counts from here, not from the scan.
    if (e.running) e.shown.remainingSendSize = value;
    e.samples.clear();
    sample(e);
}

void BackupProgressRegistry::setToSendCount(int id, Poco::Int64 value) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.shown.toSendCount = value;
    // The copy phase's first count is its number of files.
    if (e.fileTotal < 0) e.fileTotal = value;
}

void BackupProgressRegistry::setCheckedFileCount(int id, Poco::Int64 value) {
    Orvana::Util::CheckedLock lock(registryMutex);
    entry(id).shown.checkedFileCount = value;
}

void BackupProgressRegistry::noteFileChecked(int id, const std::string& action) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Snapshot& shown = entry(id).shown;
    if (shown.currentAction != action) shown.currentAction = action;
    ++shown.checkedFileCount;
}

BackupProgressRegistry::Snapshot BackupProgressRegistry::snapshot(int id) const {
    Orvana::Util::CheckedLock lock(registryMutex);
    const Entry* e = find(id);
    return e ? e->shown : Snapshot();
}

std::string BackupProgressRegistry::getCurrentAction(int id) const {
    return snapshot(id).currentAction;
}

std::string BackupProgressRegistry::getCurrentFile(int id) const {
    return snapshot(id).currentFile;
}

Poco::Int64 BackupProgressRegistry::getRemainingSendSize(int id) const {
    return snapshot(id).remainingSendSize;
}

Poco::Int64 BackupProgressRegistry::getTotalSendSize(int id) const {
    return snapshot(id).totalSendSize;
}

Poco::Int64 BackupProgressRegistry::getToSendCount(int id) const {
    return snapshot(id).toSendCount;
}

Poco::Int64 BackupProgressRegistry::getCheckedFileCount(int id) const {
    return snapshot(id).checkedFileCount;
}

void BackupProgressRegistry::markActive(int id) {
    Orvana::Util::CheckedLock lock(registryMutex);
    entry(id).shown.active = true;
}

void BackupProgressRegistry::clearActive(int id) {
    Orvana::Util::CheckedLock lock(registryMutex);
    entry(id).shown.active = false;
}

bool BackupProgressRegistry::isActive(int id) const { return snapshot(id).active; }

void BackupProgressRegistry::beginPass(int id, const std::string& kind) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.running = true;
    e.runKind = kind;
    e.bytesWritten = 0;
    e.fileTotal = -1;
    e.shown.totalSendSize = 0;
    e.shown.remainingSendSize = 0;
    e.shown.toSendCount = 0;
    e.samples.clear();
}

void BackupProgressRegistry::endPass(int id, const BackupDB::RUN_RECORD& run) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.running = false;
    e.runKind.clear();
    if (run.kind == "backup") {
        e.hasLastRun = true;
        e.lastRun = run;
    }
    e.samples.clear();
}

std::string BackupProgressRegistry::getRunKind(int id) const {
    Orvana::Util::CheckedLock lock(registryMutex);
    const Entry* e = find(id);
    return e ? e->runKind : std::string();
}

bool BackupProgressRegistry::getLastRun(int id, BackupDB::RUN_RECORD& run) const {
    Orvana::Util::CheckedLock lock(registryMutex);
    const Entry* e = find(id);
    if (!e || !e->hasLastRun) return false;
    run = e->lastRun;
    return true;
}

void BackupProgressRegistry::forgetRun(int id) {
    Orvana::Util::CheckedLock lock(registryMutex);
    std::map<int, Entry>::iterator it = entries.find(id);
    if (it == entries.end()) return;
    it->second.hasLastRun = false;
    it->second.lastRun = BackupDB::RUN_RECORD();
}

void BackupProgressRegistry::forgetRuns() {
    Orvana::Util::CheckedLock lock(registryMutex);
    for (auto& idAndEntry : entries) {
        idAndEntry.second.hasLastRun = false;
        idAndEntry.second.lastRun = BackupDB::RUN_RECORD();
    }
}

void BackupProgressRegistry::clear() {
    Orvana::Util::CheckedLock lock(registryMutex);
    entries.clear();
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
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.bytesWritten += bytes;
    sample(e);
}

Poco::Int64 BackupProgressRegistry::bytesDone(const Entry& e) {
    const Poco::Int64 total = e.shown.totalSendSize;
    // Files count as sent only once committed, in batches; the bytes written
    // so far tell how far the copy really is.
    Poco::Int64 done = std::max(total - e.shown.remainingSendSize, e.bytesWritten);
    return std::max<Poco::Int64>(0, std::min(done, total));
}

void BackupProgressRegistry::sample(Entry& e) {
    if (!e.running) return;
    std::deque<std::pair<Poco::Timestamp, Poco::Int64>>& list = e.samples;
    const Poco::Timestamp now;
    const Poco::Int64 done = bytesDone(e);
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
    Orvana::Util::CheckedLock lock(registryMutex);
    const Entry* e = find(id);
    if (!e || !e->running) return p;
    const Poco::Int64 total = e->shown.totalSendSize;
    p.bytesDone = bytesDone(*e);
    p.bytesToGo = total - p.bytesDone;
    p.filesToGo = e->shown.toSendCount;
    const Poco::Int64 files = e->fileTotal;
    p.filesDone = files > p.filesToGo ? files - p.filesToGo : 0;

    if (!e->samples.empty()) {
        const Poco::Timestamp now;
        // The newest sample at least RATE_WINDOW old, else the oldest one.
        std::pair<Poco::Timestamp, Poco::Int64> base = e->samples.front();
        for (const auto& s : e->samples) {
            if (now - s.first >= RATE_WINDOW) base = s;
        }
        const Poco::Timestamp::TimeDiff elapsed = now - base.first;
        // Too short a time says nothing yet.
        if (elapsed >= 500000) p.rate = (p.bytesDone - base.second) * 1000000 / elapsed;
    }
    return p;
}

void BackupProgressRegistry::resetProgress(int id) {
    Orvana::Util::CheckedLock lock(registryMutex);
    Entry& e = entry(id);
    e.shown.currentFile = std::string();
    e.shown.totalSendSize = 0;
    e.shown.remainingSendSize = 0;
    e.shown.toSendCount = 0;
    e.bytesWritten = 0;
    e.shown.active = false;
    e.running = false;
    e.runKind.clear();
    e.samples.clear();
}

}  // namespace Backup
}  // namespace Orvana
