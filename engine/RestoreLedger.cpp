#include "engine/RestoreLedger.h"

#include <Poco/NumberParser.h>
#include <Poco/URI.h>
#include <fcntl.h>

#include <map>
#include <sstream>

#include "db/BackupDB.h"
#include "engine/StagingFolder.h"
#include "hostapi/BackupLog.h"
#include "hostapi/CheckedMutex.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

namespace {

const char* const KEY = "backup";
const char* const NAME = "RESTORES_UNDER_WAY";

// Guards the ledger's row: its read-modify-write, within the process.
Orvana::Util::CheckedMutex g_ledgerMutex;

typedef std::map<int, std::string> Entries;  // record id -> root

// One line per restore: the record id, a tab and the root, URI-encoded so
// that no name can break the lines.
Entries read(BackupDB& db) REQUIRES(g_ledgerMutex) {
    Entries entries;
    std::istringstream lines(db.getConfigValue(KEY, NAME, ""));
    std::string line;
    while (std::getline(lines, line)) {
        const std::string::size_type tab = line.find('\t');
        int id = 0;
        if (tab == std::string::npos || !Poco::NumberParser::tryParse(line.substr(0, tab), id))
            continue;
        std::string root;
        Poco::URI::decode(line.substr(tab + 1), root);
        entries[id] = root;
    }
    return entries;
}

void write(BackupDB& db, const Entries& entries) REQUIRES(g_ledgerMutex) {
    std::string value;
    for (const auto& e : entries) {
        std::string root;
        Poco::URI::encode(e.second, "", root);
        value += std::to_string(e.first) + "\t" + root + "\n";
    }
    if (!db.setConfigValue(KEY, NAME, value)) {
        Orvana::Util::BackupLog::logger().error(
            "Orvana::Backup::RestoreLedger : restores under way could not be noted");
    }
}

}  // namespace

std::string RestoreLedger::stagingKey(int recId) { return "restore-" + std::to_string(recId); }

void RestoreLedger::begin(BackupDB& db, int recId, const std::string& root) {
    Orvana::Util::CheckedLock lock(g_ledgerMutex);
    Entries entries = read(db);
    entries[recId] = root;
    write(db, entries);
}

void RestoreLedger::end(BackupDB& db, int recId) {
    Orvana::Util::CheckedLock lock(g_ledgerMutex);
    Entries entries = read(db);
    if (entries.erase(recId) != 0) write(db, entries);
}

void RestoreLedger::sweepLeftovers(BackupDB& db) {
    Orvana::Util::CheckedLock lock(g_ledgerMutex);
    const Entries entries = read(db);
    if (entries.empty()) return;
    for (const auto& e : entries) {
        // The root as the restore opened it: through the user's own links.
        Orvana::Util::FileDescriptor root(
            ::open(e.second.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root.valid()) StagingFolder::removeAt(root.get(), stagingKey(e.first));
        Orvana::Util::BackupLog ls;
        ls << "Orvana::Backup::RestoreLedger : swept what an interrupted restore of"
           << " rec " << e.first << " left in [" << e.second << "]" << std::endl;
    }
    write(db, Entries());
}

}  // namespace Backup
}  // namespace Orvana
