#include "engine/BackupProgressRegistry.h"

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
    store(registryMutex, remainingSendSize, id, value);
}

void BackupProgressRegistry::setTotalSendSize(int id, Poco::Int64 value) {
    store(registryMutex, totalSendSize, id, value);
}

void BackupProgressRegistry::setToSendCount(int id, Poco::Int64 value) {
    store(registryMutex, toSendCount, id, value);
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

}  // namespace Backup
}  // namespace Orvana
