#pragma once
// RestorePass: puts items of a record's copy back, to the record's source
// location or into another folder. The copy is walked through descriptors
// opened without following links, so a link planted in the copy leads
// nowhere; files go through FileCopier into a staging folder at the target
// and are renamed into place batch by batch after one flush, keeping their
// permission bits and times. Folders the pass creates get the copy's modes
// and times. Nothing is written outside the target: an entry of the target
// tree that is a link or not a folder where one is needed is left alone.
//
// Runs on a backup worker's thread (BackupActivity::process), one pass per
// object. The database is the worker's connection; the stop flag is the
// worker's. No locks of its own; progress goes to BackupProgressRegistry.

#include <Poco/Types.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/RestoreJob.h"

namespace Orvana {
namespace Backup {

class BackupDB;

class RestorePass {
public:
    enum Outcome { DONE, FAILED, STOPPED };

    RestorePass(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop);

    // Writes the activity entries of the pass (none more after a stop).
    Outcome run();
    // After run(): files put back, and the first failure's text ("" none).
    Poco::Int64 restoredCount() const { return m_restored; }
    const std::string& failReason() const { return m_failReason; }

private:
    // A folder of the target tree with its copy's mode and time: a folder the
    // pass made gets both, one it wrote into gets its time back.
    struct Folder {
        std::string target;
        mode_t mode;
        struct timespec mtime;
        bool created;
        bool written = false;
    };
    static const std::size_t NO_FOLDER = static_cast<std::size_t>(-1);
    struct File {
        std::size_t folder;        // index into m_copyFolders
        std::size_t targetFolder;  // index into m_folders, or NO_FOLDER
        std::string name;
        std::string target;
        Poco::Int64 size;
    };

    bool stopRequested() const { return m_stop.load(std::memory_order_relaxed); }
    void fail(const std::string& reason);
    bool prepareRoot();
    // Descriptors of the copy's folders, reached without following links
    // inside the copy; the caller closes them. openCopyFolder throws.
    int openCopyBase() const;
    int openCopyFolder(const std::vector<std::string>& names) const;
    void planItem(std::vector<std::string> names);
    // Walks an open folder of the copy (and closes it).
    void planFolder(int fd, const std::vector<std::string>& names, const std::string& target,
                    std::size_t targetFolder);
    void planFile(std::size_t folder, std::size_t targetFolder, const std::string& name,
                  const struct stat& copy, const std::string& target);
    // Makes target a folder of the target tree and notes it in m_folders
    // (index in index); false (failed) when something else, a link
    // included, is in its place.
    bool ensureFolder(const std::string& target, const struct stat& copy, std::size_t& index);
    // False when stopped.
    bool copyFiles(const std::string& staging);
    void applyFolderAttributes();

    BackupDB& m_db;
    const RestoreJob& m_job;
    const std::atomic<bool>& m_stop;
    std::string m_copyBase;  // the copy folder; a file record's: the folder holding its file
    std::string m_root;      // the target folder the pass writes below
    std::vector<std::vector<std::string>> m_copyFolders;  // names below m_copyBase
    std::vector<Folder> m_folders;
    std::size_t m_rootFolder = NO_FOLDER;  // m_root as a folder of the copy
    std::vector<File> m_files;             // to be written, in walk order
    Poco::Int64 m_totalBytes = 0;
    Poco::Int64 m_restored = 0;
    Poco::Int64 m_left = 0;
    bool m_failed = false;
    std::string m_failReason;
};

}  // namespace Backup
}  // namespace Orvana
