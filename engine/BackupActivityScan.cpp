// The scan half of a pass: walks the source, compares it with the index and
// builds the change table for the copy phase.
#include <Poco/Path.h>
#include <Poco/Thread.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstring>
#include <exception>

#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/EngineHooks.h"
#include "engine/FileCopier.h"
#include "engine/PassLabels.h"
#include "engine/PathRules.h"
#include "engine/StagingFolder.h"
#include "engine/Translation.h"
#include "engine/VersionName.h"
#include "hostapi/BackupLog.h"
#include "hostapi/FileUtil.h"

namespace Orvana {
namespace Backup {

namespace {

// The record's size is stored while the scan runs so that the listing sees
// it grow, but not once per file: one committed write costs a disk flush.
const Poco::Timestamp::TimeDiff SIZE_WRITE_INTERVAL = 250 * 1000;  // microseconds

Poco::Timestamp modificationTime(const struct stat& st) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(st.st_mtim.tv_sec) * 1000000 +
                           st.st_mtim.tv_nsec / 1000);
}

// Nanoseconds since 1970: a rewrite that puts the modification time back
// still moves this one.
Poco::Int64 changeTime(const struct stat& st) {
    return static_cast<Poco::Int64>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// True when the folder is the destination of a record: the versions folder
// in it holds what backups replaced, not a user's files.
bool isBackupDestination(BackupDB& db, const struct stat& folder) {
    std::vector<BackupDB::BackupRecordPtr> records;
    if (!db.getAllBackupRecords(records)) return false;
    for (const BackupDB::BackupRecordPtr& record : records) {
        struct stat st;
        if (PathRules::isAbsolute(record->remotePath) &&
            ::stat(PathRules::normalize(record->remotePath).c_str(), &st) == 0 &&
            st.st_dev == folder.st_dev && st.st_ino == folder.st_ino) {
            return true;
        }
    }
    return false;
}

const unsigned YIELD_EVERY = 64;

// Keeps a folder on the walk's current path for as long as it is walked.
class PathMark {
public:
    PathMark(std::set<std::pair<dev_t, ino_t>>& dirs, const std::pair<dev_t, ino_t>& id)
        : m_dirs(dirs), m_id(id), m_added(dirs.insert(id).second) {}
    ~PathMark() {
        if (m_added) m_dirs.erase(m_id);
    }

private:
    std::set<std::pair<dev_t, ino_t>>& m_dirs;
    std::pair<dev_t, ino_t> m_id;
    bool m_added;
};

}  // namespace

// Makes a folder the one whose passed rows are collected, for as long as it
// is walked; the parent's comes back on every way out.
class BackupActivity::WalkFrame {
public:
    WalkFrame(BackupActivity& owner, const std::string& folder, SourceIndexCursor::Passed* passed)
        : m_owner(owner), m_folder(owner.m_walkFolder), m_passed(owner.m_walkPassed) {
        owner.m_walkFolder = folder;
        owner.m_walkPassed = passed;
    }
    ~WalkFrame() {
        m_owner.m_walkFolder.swap(m_folder);
        m_owner.m_walkPassed = m_passed;
    }
    WalkFrame(const WalkFrame&) = delete;
    WalkFrame& operator=(const WalkFrame&) = delete;

private:
    BackupActivity& m_owner;
    std::string m_folder;
    SourceIndexCursor::Passed* m_passed;
};

// Lists the source's folders ahead of the walk for as long as its outermost
// folder is walked; the folders below use the same walk.
class BackupActivity::WalkScope {
public:
    explicit WalkScope(BackupActivity& owner) : m_owner(owner), m_owns(!owner.m_walk) {
        if (!m_owns) return;
        owner.m_lister.reset(new FolderLister(owner.m_exclude, owner.m_skipCacheDirs,
                                              owner.m_excludeRoot, owner.m_stopFlag));
        const FolderListing::FolderId destination(owner.m_destinationDev, owner.m_destinationIno);
        owner.m_walk.reset(new ParallelWalk(*owner.m_lister, ParallelWalk::walkers(),
                                            owner.m_haveDestination ? &destination : nullptr));
    }
    ~WalkScope() {
        if (!m_owns) return;
        m_owner.m_walk.reset();  // joins the walkers before their lister goes
        m_owner.m_lister.reset();
    }
    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

private:
    BackupActivity& m_owner;
    const bool m_owns;
};

std::string BackupActivity::relativeName(const std::string& path,
                                         const std::string& baseFolder) const {
    if (baseFolder.empty()) return path;
    const size_t skip = baseFolder.back() == '/' ? baseFolder.size() : baseFolder.size() + 1;
    return skip < path.size() ? path.substr(skip) : std::string();
}

void BackupActivity::noteFolderSize(const RecordPtr& rec, Poco::Int64 folderSize) {
    if (m_lastSizeWrite.elapsed() < SIZE_WRITE_INTERVAL) return;
    m_db->setRecordSize(rec->id, folderSize);
    m_lastSizeWrite.update();
}

void BackupActivity::processDirectory(const std::string& path, ScanState& scan) {
    if (stopRequested()) return;

    WalkScope scope(*this);
    std::unique_ptr<FolderListing> listing = m_walk->take(
        path, std::vector<FolderListing::FolderId>(m_dirsOnPath.begin(), m_dirsOnPath.end()));
    // A folder that cannot be opened ends the pass.
    if (listing->openError != 0) FileCopier::throwErrno(path, listing->openError);
    const struct stat& self = listing->self;
    PathMark mark(m_dirsOnPath, std::make_pair(self.st_dev, self.st_ino));
    m_folders.push_back(
        FolderAttributes{relativeName(path, scan.baseFolder), self.st_mode & 07777, self.st_mtim});
    for (const std::string& relative : listing->cacheTagged) {
        Orvana::Util::BackupLog ls;
        ls.trace() << m_name << " : " << m_excludeRoot << relative
                   << " holds a CACHEDIR.TAG. Skipping. " << std::endl;
    }
    // The entries read before a listing error are still examined, as a walk
    // that went along with the listing would have done.
    std::exception_ptr listingError;
    if (!listing->stopped) {
        int error = listing->listError;
        if (int injected = EngineHooks::scanFault(EngineHooks::LIST_FOLDER, path)) error = injected;
        try {
            if (error != 0) FileCopier::throwErrno(path, error);
        } catch (std::exception&) {
            listingError = std::current_exception();
        }
    }

    const std::string prefix = path + '/';
    // Rows of the parent's files that sort before this folder are the
    // parent's to judge.
    if (m_index) m_index->skipTo(prefix, m_walkFolder, m_walkPassed);
    SourceIndexCursor::Passed passed;
    WalkFrame frame(*this, prefix, &passed);

    const unsigned failuresBefore = m_failureCount;
    for (const ListedEntry& listed : listing->entries) {
        if (stopRequested()) break;
        // Lets other work run during a long walk, without a system call for
        // every entry. Not while walkers list ahead: this thread then mostly
        // waits for their listings, and a yield only handed its core to
        // them. Then they ran into their bound and waited for it in turn (at
        // 200,000 files, a pass with no change took 0.50 s instead of 0.40).
        if (!m_walk->listsAhead() && ++m_entriesSinceYield >= YIELD_EVERY) {
            m_entriesSinceYield = 0;
            Poco::Thread::yield();
        }
        processEntry(prefix, listed, self, scan);
    }
    if (listingError) std::rethrow_exception(listingError);
    // Only a whole listing tells that a file or a folder is gone: a stopped
    // walk or an entry that failed (and might still be there) keeps every
    // row.
    if (!stopRequested() && m_failureCount == failuresBefore && m_index)
        noteGoneRows(path, listing->entries, passed);
}

// One listed entry of the folder `prefix` names (with its '/'), whose lstat
// is `folder`. Its error line keeps its odd shape (": " before the label,
// "[... ]"), as logs are searched for it.
void BackupActivity::processEntry(const std::string& prefix, const ListedEntry& listed,
                                  const struct stat& folder, ScanState& scan) {
    const bool isFolder = !listed.key.empty() && listed.key.back() == '/';
    const std::string name(listed.key, 0, listed.key.size() - (isFolder ? 1 : 0));
    const std::string entry = prefix + name;
    try {
        if (listed.type == DT_REG) {
            // Looked up when listed, relative to the open folder.
            bool exists = listed.error == 0;
            int error = listed.error;
            if (int injected = EngineHooks::scanFault(EngineHooks::STAT_ENTRY, entry)) {
                exists = false;
                error = injected;
            }
            if (!exists && error != ENOENT) FileCopier::throwErrno(entry, error);
            examineFile(entry, exists ? &listed.st : nullptr, scan);
            return;
        }
        if (listed.error != 0) FileCopier::throwErrno(entry, listed.error);
        if (!isFolder) {
            processFile(entry, scan);
        } else if (!skipFolder(entry, name, listed.st, folder)) {
            processDirectory(entry, scan);
        }
    } catch (std::exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << ": " << PassLabels::SCAN_FOLDER << ": caught exception [" << e.what()
                   << " ] accessing file [" << entry << " ]. Skipping" << std::endl;
        m_db->addActivity(scan.rec->id, BackupDB::SEVERITY_PROBLEM,
                          ActivityText::now(tr("Exception [") + e.what() +
                                            tr("] accessing [" + entry + "]. Not backing up.")));
        // A dangling link is skipped as any link is; it misses no file.
        struct stat st;
        const bool isLink = ::lstat(entry.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        // The entry names the error's kind only; the reason entry adds the
        // system's words.
        const std::string reason = ActivityText::describe(e);
        if (!isLink) failPass(reason, reason == e.what());
    }
}

// True (logged) for a subfolder the walk leaves out; `parent` is its
// folder's lstat. "Sklpping", here and in isRegularFile, is kept as logged:
// people search for it.
bool BackupActivity::skipFolder(const std::string& entry, const std::string& name,
                                const struct stat& st, const struct stat& parent) {
    const char* why = nullptr;
    if (m_haveDestination && st.st_dev == m_destinationDev && st.st_ino == m_destinationIno) {
        // The backup's own destination: copying it would feed the backup
        // into itself on every pass.
        why = " is the backup destination. Skipping. ";
    } else if (name == StagingFolder::NAME && StagingFolder::holdsOnlyStaging(entry)) {
        // What a killed restore or pass into this tree left behind:
        // temporaries, not the user's files.
        why = " is a staging folder. Skipping. ";
    } else if (name == VersionName::FOLDER && isBackupDestination(*m_db, parent)) {
        // What passes into that destination replaced: kept, not backed up.
        why = " holds a backup's earlier versions. Skipping. ";
    } else if (m_dirsOnPath.count(std::make_pair(st.st_dev, st.st_ino))) {
        // A link back to a folder being walked would recurse without end.
        why = " is a link. Sklpping. ";
    }
    if (!why) return false;
    Orvana::Util::BackupLog ls;
    ls.trace() << m_name << " : " << entry << why << std::endl;
    return true;
}

// After a whole listing of `path`: the index rows the walk passed without
// meeting them are files and folders gone from the source.
void BackupActivity::noteGoneRows(const std::string& path, const std::vector<ListedEntry>& entries,
                                  SourceIndexCursor::Passed& passed) {
    const std::string prefix = path + '/';
    m_index->skipTo(path + char('/' + 1), prefix, &passed);
    m_removedRows.insert(m_removedRows.end(), passed.files.begin(), passed.files.end());
    // Rows under a subfolder the listing holds are that folder's to judge (it
    // may have been skipped or have failed); the others are gone.
    for (const std::string& folder : passed.folders) {
        const std::string key = folder.substr(prefix.size());  // "name/", as listed
        std::vector<ListedEntry>::const_iterator at =
            std::lower_bound(entries.begin(), entries.end(), key,
                             [](const ListedEntry& e, const std::string& k) { return e.key < k; });
        if (at == entries.end() || at->key != key) m_removedFolders.push_back(folder);
    }
}

void BackupActivity::processFile(const std::string& path, ScanState& scan) {
    // One lstat answers the link, existence, time and size questions.
    struct stat st;
    bool exists = ::lstat(path.c_str(), &st) == 0;
    int error = exists ? 0 : errno;
    if (int injected = EngineHooks::scanFault(EngineHooks::STAT_ENTRY, path)) {
        exists = false;
        error = injected;
    }
    if (!exists && error != ENOENT && error != ENOTDIR) {
        // Not vanished but unreadable: the file is missed, so the pass failed.
        Orvana::Util::BackupLog ls;
        ls.error() << ": " << PassLabels::SCAN_FILE << ": caught exception ["
                   << std::strerror(error) << " ] accessing file [" << path << " ]. Skipping"
                   << std::endl;
        failPass(path + ": " + std::strerror(error), false);
        return;
    }
    examineFile(path, exists ? &st : nullptr, scan);
}

void BackupActivity::examineFile(const std::string& path, const struct stat* info,
                                 ScanState& scan) {
    const RecordPtr& rec = scan.rec;
    if (chunkFull(scan.changes)) flushChunk(rec, scan.changes);
    try {
        if (!isRegularFile(path, info)) return;
        const struct stat& st = *info;
        const Poco::Timestamp mtime = modificationTime(st);

        // The walk comes by in path order, so the row, if any, is the
        // cursor's next one; the rows passed on the way are files gone.
        const BackupDB::SOURCE_RECORD* row =
            m_index ? m_index->find(path, m_walkFolder, m_walkPassed) : nullptr;

        const Poco::Int64 size = st.st_size;
        scan.folderSize += size;

        m_registry->noteFileChecked(rec->id, m_checkingText);
        noteFolderSize(rec, scan.folderSize);

        // The same time, size and status-change time as when last examined.
        // A row from before size and status-change time were kept is judged
        // by its time alone, and given them, so that the upgrade copies
        // nothing again.
        const Poco::Int64 ctime = changeTime(st);
        const bool same = row && row->lastModifiedTime == mtime &&
                          (row->fileSize < 0 || row->fileSize == size) &&
                          (row->changeTime < 0 || row->changeTime == ctime);
        if (same && (row->fileSize < 0 || row->changeTime < 0)) {
            BackupDB::SourceRecordPtr filled = boost::make_shared<BackupDB::SOURCE_RECORD>(*row);
            filled->fileSize = size;
            filled->changeTime = ctime;
            m_sourceRecords.emplace_hint(m_sourceRecords.end(), path, filled)->second = filled;
        }

        // Up to date: nothing to copy.
        if (same && row->synced != 0) return;

        BackupDB::FILERECORD change;
        if (same) {
            // An earlier copy did not finish: copied again, the row stays.
            change.checksum = row->checksum;
            change.fileId = row->id;
        } else if (!updateRow(path, st, row, scan, change)) {
            return;
        }
        change.dirName = scan.baseFolder;
        change.fileName = relativeName(path, scan.baseFolder);
        change.fileSize = size;
        change.recId = rec->id;
        scan.changes.push_back(std::move(change));
        scan.changedCount += 1;
        scan.changedSize += size;
    } catch (std::exception& e) {
        Orvana::Util::BackupLog ls;
        ls.error() << ": " << PassLabels::SCAN_FILE << ": caught exception [" << e.what()
                   << " ] accessing file [" << path << " ]. Skipping" << std::endl;
        failPass(ActivityText::describe(e), false);
    }
}

// False (logged where the walk logs it) for what is not a regular file, or
// when the pass stops.
bool BackupActivity::isRegularFile(const std::string& path, const struct stat* info) {
    if (!info) {
        if (stopRequested()) return false;
        Orvana::Util::BackupLog ls;
        ls.trace() << m_name << " : " << path << " does not exist. Sklpping. " << std::endl;
        return false;
    }
    if (S_ISLNK(info->st_mode)) {
        Orvana::Util::BackupLog ls;
        ls.trace() << m_name << " : " << path << " is a link. Sklpping. " << std::endl;
        return false;
    }
    if (stopRequested()) return false;
    if (!S_ISREG(info->st_mode)) {
        // Fifos, sockets and devices have no content to keep; reading a fifo
        // or a device could block or never end.
        Orvana::Util::BackupLog ls;
        ls.trace() << m_name << " : " << path << " is not a regular file. Sklpping. " << std::endl;
        return false;
    }
    return true;
}

// Queues the changed file's new index row (row: its old one, or null) and
// fills the change's checksum and id; false when its checksum could not be
// computed (the stored row then stays as it was).
bool BackupActivity::updateRow(const std::string& path, const struct stat& st,
                               const BackupDB::SOURCE_RECORD* row, ScanState& scan,
                               BackupDB::FILERECORD& change) {
    BackupDB::SourceRecordPtr entry;
    if (row) {
        entry = boost::make_shared<BackupDB::SOURCE_RECORD>(*row);
    } else {
        entry = boost::make_shared<BackupDB::SOURCE_RECORD>();
        entry->recId = scan.rec->id;
        entry->file = path;
        entry->isNew = true;
    }
    if (scan.isLocal) {
        entry->checksum.clear();
    } else {
        std::string crc;
        errno = 0;
        if (!Orvana::Util::getFileCRC(path, crc, -1, -1, &m_stopFlag)) {
            const int error = errno != 0 ? errno : EIO;
            Orvana::Util::BackupLog ls;
            ls.trace() << m_name << " Failed computing checksum for " << path << ". Skipping. "
                       << std::endl;
            // A vanished or swapped file is skipped as in the walk; any other
            // failure misses a file, and a stop is no failure.
            if (!stopRequested() && error != ENOENT && error != ELOOP && error != ENOTDIR) {
                failPass(path + ": " + std::strerror(error), false);
            }
            return false;
        }
        entry->checksum = crc;
    }
    entry->lastModifiedTime = modificationTime(st);
    entry->fileSize = st.st_size;
    entry->changeTime = changeTime(st);
    // Its old copy no longer matches: until this version is copied the entry
    // must not claim to be backed up.
    entry->synced = 0;
    change.checksum = entry->checksum;
    change.fileId = entry->id;
    // Paths come in order: each one goes in at the end.
    m_sourceRecords.emplace_hint(m_sourceRecords.end(), path, entry)->second = entry;
    return true;
}

bool BackupActivity::flushSourceRecs(const RecordPtr& rec, ChangeList& changes) {
    static const std::string fn = "Orvana::Backup::BackupActivity::flushSourceRecs";
    bool written = true;
    if (!m_sourceRecords.empty() || !m_removedRows.empty() || !m_removedFolders.empty()) {
        Orvana::Util::BackupLog ls;
        ls.trace() << fn << ": Begin flushing data to DB" << std::endl;
        written =
            m_db->flushSourceRecords(rec->id, m_sourceRecords, m_removedRows, m_removedFolders);
        if (written && (!m_removedRows.empty() || !m_removedFolders.empty())) m_rowsRemoved = true;
        ls.trace() << fn << ": End flushing data to DB" << std::endl;
    }
    if (written) assignFileIds(changes);
    m_sourceRecords.clear();
    m_removedRows.clear();
    m_removedFolders.clear();
    return written;
}

void BackupActivity::assignFileIds(ChangeList& changes) const {
    // A change without an id is a file new to the index: its row was among
    // the ones just written, and the insert gave that row its id.
    for (BackupDB::FILERECORD& change : changes) {
        if (change.fileId != 0) continue;
        const auto written = m_sourceRecords.find(PathRules::join(change.dirName, change.fileName));
        if (written != m_sourceRecords.end()) change.fileId = written->second->id;
    }
}

bool BackupActivity::chunkFull(const ChangeList& changes) const {
    const std::size_t chunk = ChangeSpool::chunkRows();
    return changes.size() >= chunk || m_sourceRecords.size() >= chunk ||
           m_removedRows.size() >= chunk;
}

void BackupActivity::flushChunk(const RecordPtr& rec, ChangeList& changes) {
    // Rows after a chunk that failed to load would look new: none is
    // written, and the end of the scan reports the read.
    if (!m_chunkFailed && !(m_index && m_index->failed())) {
        EngineHooks::scanFault(EngineHooks::INDEX_FLUSH, rec->localPath);
        if (flushSourceRecs(rec, changes)) {
            // Each new row is written before its change is kept: a copy is
            // never made that could not be marked.
            m_spool->append(changes);
            changes.clear();
            return;
        }
    }
    m_chunkFailed = true;
    m_sourceRecords.clear();
    m_removedRows.clear();
    m_removedFolders.clear();
    changes.clear();
}

}  // namespace Backup
}  // namespace Orvana
