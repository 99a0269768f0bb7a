// The scan half of a pass: walks the source, compares it with the index and
// builds the change table for the copy phase.
#include "engine/ActivityText.h"
#include "engine/BackupActivity.h"
#include "engine/BackupProgressRegistry.h"
#include "engine/FileCopier.h"
#include "hostapi/FileUtil.h"
#include "hostapi/PoManager.h"

#include <Poco/LogStream.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/Thread.h>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace Orvana {
namespace Backup {

namespace {

std::string T(const std::string& text) { return Orvana::PoManager().getTranslation(text); }

// The record's size is stored while the scan runs so that the listing sees
// it grow, but not once per file: one committed write costs a disk flush.
const Poco::Timestamp::TimeDiff SIZE_WRITE_INTERVAL = 250 * 1000;  // microseconds

Poco::Timestamp modificationTime(const struct stat& st) {
    return Poco::Timestamp(static_cast<Poco::Timestamp::TimeVal>(st.st_mtim.tv_sec) * 1000000 +
                           st.st_mtim.tv_nsec / 1000);
}

const unsigned YIELD_EVERY = 64;

// Lists one folder with the entries' types, which spares a stat per file.
class DirReader {
public:
    explicit DirReader(const std::string& path) : m_dir(::opendir(path.c_str())) {
        if (!m_dir) FileCopier::throwErrno(path, errno);
    }
    ~DirReader() { ::closedir(m_dir); }
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;

    int fd() const { return ::dirfd(m_dir); }
    // The next entry other than "." and ".."; false at the end.
    bool next(std::string& name, unsigned char& type) {
        while (struct dirent* e = ::readdir(m_dir)) {
            if (e->d_name[0] == '.' &&
                (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) {
                continue;
            }
            name = e->d_name;
            type = e->d_type;
            return true;
        }
        return false;
    }

private:
    DIR* m_dir;
};

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

std::string BackupActivity::joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder[folder.size() - 1];
    if (last == '\\' || last == '/') return folder + name;
    return folder + Poco::Path::separator() + name;
}

void BackupActivity::noteFolderSize(const RecordPtr& rec, Poco::Int64 folderSize) {
    if (m_lastSizeWrite.elapsed() < SIZE_WRITE_INTERVAL) return;
    m_db->setRecordSize(rec->id, folderSize);
    m_lastSizeWrite.update();
}

void BackupActivity::processDirectory(const std::string& path, const std::string& baseFolder,
                                      const RecordPtr& rec, ChangeList& changes, Poco::Int64& folderSize,
                                      Poco::Int64& changedCount, Poco::Int64& changedSize,
                                      bool isLocal) {
    static const std::string fn = "Orvana::Backup::BackupActivity::processDirectory";
    if (stopRequested()) return;

    DirReader reader(path);  // a folder that cannot be opened ends the pass
    struct stat self;
    if (::fstat(reader.fd(), &self) != 0) FileCopier::throwErrno(path, errno);
    PathMark mark(m_dirsOnPath, std::make_pair(self.st_dev, self.st_ino));

    std::string name;
    unsigned char type = DT_UNKNOWN;
    while (reader.next(name, type)) {
        if (stopRequested()) break;
        // Lets other work run during a long walk, without a system call for
        // every entry.
        if (++m_entriesSinceYield >= YIELD_EVERY) {
            m_entriesSinceYield = 0;
            Poco::Thread::yield();
        }
        const std::string entry = path + Poco::Path::separator() + name;
        try {
            // A regular file is known from the folder listing; anything else
            // (a link may point at a folder) needs the stat.
            struct stat st;
            if (type == DT_REG) {
                // Looked up relative to the open folder: one path step, not all.
                const bool exists = ::fstatat(reader.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
                if (!exists && errno != ENOENT) FileCopier::throwErrno(entry, errno);
                examineFile(entry, exists ? &st : nullptr, baseFolder, rec, changes,
                            folderSize, changedCount, changedSize, isLocal);
                continue;
            }
            if (::stat(entry.c_str(), &st) != 0) FileCopier::throwErrno(entry, errno);
            if (S_ISDIR(st.st_mode)) {
                if (m_haveDestination && st.st_dev == m_destinationDev &&
                    st.st_ino == m_destinationIno) {
                    // The backup's own destination: copying it would feed the
                    // backup into itself on every pass.
                    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
                    ls.trace() << m_name << " : " << entry
                               << " is the backup destination. Skipping. " << std::endl;
                    continue;
                }
                if (m_dirsOnPath.count(std::make_pair(st.st_dev, st.st_ino))) {
                    // A link back to a folder being walked would recurse without end.
                    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
                    ls.trace() << m_name << " : " << entry << " is a link. Sklpping. " << std::endl;
                    continue;
                }
                processDirectory(entry, baseFolder, rec, changes, folderSize, changedCount,
                                 changedSize, isLocal);
            } else {
                processFile(entry, baseFolder, rec, changes, folderSize, changedCount,
                            changedSize, isLocal);
            }
        } catch (std::exception& e) {
            Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
            ls.error() << ": " << fn << ": caught exception [" << e.what() << " ] accessing file ["
                       << entry << " ]. Skipping" << std::endl;
            m_db->addActivity(rec->id, 2,
                              ActivityText::now(T("Exception [") + e.what() +
                                                T("] accessing [" + entry + "]. Not backing up.")));
        }
    }
}

void BackupActivity::processFile(const std::string& path, const std::string& baseFolder,
                                 const RecordPtr& rec, ChangeList& changes, Poco::Int64& folderSize, Poco::Int64& changedCount,
                                 Poco::Int64& changedSize, bool isLocal) {
    // One lstat answers the link, existence, time and size questions.
    struct stat st;
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    const int error = errno;
    if (!exists && error != ENOENT && error != ENOTDIR) {
        Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
        ls.error() << ": " << "Orvana::Backup::BackupActivity::processFile" << ": caught exception ["
                   << std::strerror(error) << " ] accessing file [" << path << " ]. Skipping"
                   << std::endl;
        return;
    }
    examineFile(path, exists ? &st : nullptr, baseFolder, rec, changes, folderSize,
                changedCount, changedSize, isLocal);
}

void BackupActivity::examineFile(const std::string& path, const struct stat* info,
                                 const std::string& baseFolder, const RecordPtr& rec,
                                 ChangeList& changes, Poco::Int64& folderSize, Poco::Int64& changedCount,
                                 Poco::Int64& changedSize, bool isLocal) {
    static const std::string fn = "Orvana::Backup::BackupActivity::processFile";
    try {
        if (!info) {
            if (stopRequested()) return;
            Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
            ls.trace() << m_name << " : " << path << " does not exist. Sklpping. " << std::endl;
            return;
        }
        const struct stat& st = *info;
        if (S_ISLNK(st.st_mode)) {
            Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
            ls.trace() << m_name << " : " << path << " is a link. Sklpping. " << std::endl;
            return;
        }
        if (stopRequested()) return;
        if (!S_ISREG(st.st_mode)) {
            // Fifos, sockets and devices have no content to keep; reading a
            // fifo or a device could block or never end.
            Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
            ls.trace() << m_name << " : " << path << " is not a regular file. Sklpping. "
                       << std::endl;
            return;
        }

        const Poco::Timestamp mtime = modificationTime(st);

        BackupDB::SourceRecordPtr entry;
        BackupDB::SourceRecordMap::iterator found = m_sourceRecords.find(path);
        if (found != m_sourceRecords.end()) {
            entry = found->second;
            entry->isNew = false;
        } else {
            entry.reset(new BackupDB::SOURCE_RECORD);
            entry->recId = rec->id;
            entry->file = path;
            entry->isNew = true;
        }

        const Poco::Int64 size = st.st_size;
        folderSize += size;

        m_registry->noteFileChecked(rec->id, m_checkingText);
        noteFolderSize(rec, folderSize);

        const bool unchangedUnsynced = entry->lastModifiedTime == mtime && entry->synced == 0 &&
                                       found != m_sourceRecords.end();
        if (entry->lastModifiedTime != mtime || found == m_sourceRecords.end()) {
            if (isLocal) {
                entry->checksum.clear();
            } else {
                std::string crc;
                if (!Orvana::Util::getFileCRC(path, crc, -1, -1, &m_stopFlag)) {
                    Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
                    ls.trace() << m_name << " Failed computing checksum for " << path
                               << ". Skipping. " << std::endl;
                    if (found != m_sourceRecords.end()) m_sourceRecords.erase(found);
                    return;
                }
                entry->checksum = crc;
            }
            entry->lastModifiedTime = mtime;
            // Its old copy no longer matches: until this version is copied the
            // entry must not claim to be backed up.
            entry->synced = 0;
        } else if (entry->synced != 0) {
            m_sourceRecords.erase(found);
            return;
        }

        m_sourceRecords[path] = entry;

        std::string relative;
        if (baseFolder.empty()) {
            relative = path;
        } else {
            char last = baseFolder[baseFolder.size() - 1];
            size_t skip = (last == '\\' || last == '/') ? baseFolder.size() : baseFolder.size() + 1;
            relative = skip < path.size() ? path.substr(skip) : std::string();
        }
        changes.emplace_back();
        BackupDB::FILERECORD& row = changes.back();
        row.dirName = baseFolder;
        row.fileName.swap(relative);
        row.checksum = entry->checksum;
        row.fileSize = size;
        row.recId = rec->id;
        row.fileId = entry->id;
        changedCount += 1;
        changedSize += size;

        if (unchangedUnsynced) m_sourceRecords.erase(path);
    } catch (std::exception& e) {
        Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
        ls.error() << ": " << fn << ": caught exception [" << e.what() << " ] accessing file ["
                   << path << " ]. Skipping" << std::endl;
    }
}

void BackupActivity::flushSourceRecs(const RecordPtr& rec) {
    static const std::string fn = "Orvana::Backup::BackupActivity::flushSourceRecs";
    if (!m_sourceRecords.empty()) {
        Poco::LogStream ls(Poco::Logger::get("backup"), Poco::Message::PRIO_INFORMATION);
        ls.trace() << fn << ": Begin flushing data to DB" << std::endl;
        m_db->flushSourceRecords(rec->id, m_sourceRecords);
        ls.trace() << fn << ": End flushing data to DB" << std::endl;
    }
    m_sourceRecords.clear();
}

void BackupActivity::assignFileIds(ChangeList& changes) {
    for (BackupDB::FILERECORD& row : changes) {
        if (row.fileId != 0) continue;
        BackupDB::SourceRecordMap::const_iterator it =
            m_sourceRecords.find(joinPath(row.dirName, row.fileName));
        if (it != m_sourceRecords.end()) row.fileId = it->second->id;
    }
}

}  // namespace Backup
}  // namespace Orvana
