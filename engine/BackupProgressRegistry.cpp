#include "engine/BackupProgressRegistry.h"

namespace Orvana {
namespace Backup {

Poco::FastMutex BackupProgressRegistry::registryMutex;

namespace {

template <typename Map>
typename Map::mapped_type lookup(const Map& map, int id) {
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
    Poco::FastMutex::ScopedLock lock(registryMutex);
    currentAction[id] = action;
}

void BackupProgressRegistry::setCurrentFile(int id, const std::string& file) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    currentFile[id] = file;
}

void BackupProgressRegistry::setRemainingSendSize(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    remainingSendSize[id] = value;
}

void BackupProgressRegistry::setTotalSendSize(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    totalSendSize[id] = value;
}

void BackupProgressRegistry::setToSendCount(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    toSendCount[id] = value;
}

void BackupProgressRegistry::setCheckedFileCount(int id, Poco::Int64 value) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    checkedFileCount[id] = value;
}

void BackupProgressRegistry::noteFileChecked(int id, const std::string& action) {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    std::string& current = currentAction[id];
    if (current != action) current = action;
    ++checkedFileCount[id];
}

std::string BackupProgressRegistry::getCurrentAction(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(currentAction, id);
}

std::string BackupProgressRegistry::getCurrentFile(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(currentFile, id);
}

Poco::Int64 BackupProgressRegistry::getRemainingSendSize(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(remainingSendSize, id);
}

Poco::Int64 BackupProgressRegistry::getTotalSendSize(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(totalSendSize, id);
}

Poco::Int64 BackupProgressRegistry::getToSendCount(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(toSendCount, id);
}

Poco::Int64 BackupProgressRegistry::getCheckedFileCount(int id) const {
    Poco::FastMutex::ScopedLock lock(registryMutex);
    return lookup(checkedFileCount, id);
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
