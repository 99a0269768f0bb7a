#pragma once
// BackupProgressRegistry: process-wide progress of every record's backup pass,
// keyed by record id. Workers write it, the record listing reads it.
//
// One object per process, created on first use and kept until exit. Every
// operation takes registryMutex for its whole duration. Lock order: a
// worker's queue mutex before registryMutex, never the reverse. Entries are
// never removed from the maps (only the active set loses members); getters
// never insert and read an absent entry as empty text, 0 or not active.

#include <Poco/Mutex.h>
#include <Poco/Types.h>

#include <map>
#include <set>
#include <string>

namespace Orvana {
namespace Backup {

class BackupProgressRegistry {
public:
    static BackupProgressRegistry& instance();

    void setCurrentAction(int id, const std::string& action);
    void setCurrentFile(int id, const std::string& file);
    void setRemainingSendSize(int id, Poco::Int64 value);
    void setTotalSendSize(int id, Poco::Int64 value);
    void setToSendCount(int id, Poco::Int64 value);
    void setCheckedFileCount(int id, Poco::Int64 value);
    // A scan's step for one file: sets the action and counts the file, under
    // one lock.
    void noteFileChecked(int id, const std::string& action);

    std::string getCurrentAction(int id) const;
    std::string getCurrentFile(int id) const;
    Poco::Int64 getRemainingSendSize(int id) const;
    Poco::Int64 getTotalSendSize(int id) const;
    Poco::Int64 getToSendCount(int id) const;
    Poco::Int64 getCheckedFileCount(int id) const;

    void markActive(int id);
    void clearActive(int id);
    bool isActive(int id) const;

private:
    BackupProgressRegistry() {}
    static Poco::FastMutex registryMutex;  // guards everything below and creation

    std::map<int, std::string> currentAction;
    std::map<int, std::string> currentFile;
    std::map<int, Poco::Int64> remainingSendSize;
    std::map<int, Poco::Int64> totalSendSize;
    std::map<int, Poco::Int64> toSendCount;
    std::map<int, Poco::Int64> checkedFileCount;
    std::set<int> active;
};

}  // namespace Backup
}  // namespace Orvana
