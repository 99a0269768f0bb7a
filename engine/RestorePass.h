#pragma once
// RestorePass: puts items of a record's copy back, to the record's source
// location or into another folder. The copy is walked through descriptors
// opened without following links, so a link planted in the copy leads
// nowhere; files go through a CopyBatch (a staging folder at the target, or
// unnamed files for free names) and are put in place batch by batch after
// one flush, keeping their permission bits and times. Folders the pass creates get the copy's modes
// and times. Nothing is written outside the target: an entry of the target
// tree that is a link or not a folder where one is needed is left alone,
// and as the target's folders are reached through descriptors only, one
// swapped for a link while the pass runs cannot lead it outside either.
// "never" takes a name only while it is free (RenameNoReplace), and
// "changed" looks at the target once more when it commits. A file it
// replaces is first kept as a version of the record (VersionsFolder). A stop removes
// the folders the pass made and left empty.
//
// Runs on a backup worker's thread (BackupActivity::process), one pass per
// object. The database is the worker's connection; the stop flag is the
// worker's. No locks of its own; progress goes to BackupProgressRegistry.

#include <Poco/Types.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/CopyBatch.h"
#include "engine/RestoreJob.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class BackupDB;
class VersionLookup;

class RestorePass {
public:
    enum Outcome { DONE, FAILED, STOPPED };

    RestorePass(BackupDB& db, const RestoreJob& job, const std::atomic<bool>& stop);
    ~RestorePass();

    // Writes the activity entries of the pass (none more after a stop).
    Outcome run();
    // After run(): files put back, and the first failure's text ("" none).
    Poco::Int64 restoredCount() const { return m_restored; }
    const std::string& failReason() const { return m_failReason; }

private:
    // A folder of the target tree. The pass reaches it from the root through
    // its parents, never by a path, and checks that it is still the folder it
    // made or found (device and inode): one swapped for a link or another
    // folder meanwhile is "lost", and nothing is written through it.
    struct Folder {
        std::size_t parent;  // NO_FOLDER for the root itself
        std::string name;    // in the parent
        std::string target;  // the path, for messages
        mode_t mode;         // the copy's
        struct timespec mtime;
        bool attributes;  // a folder of the copy: takes its mode (if made) and time
        bool created;
        dev_t dev;
        ino_t ino;
        bool written = false;
        bool lost = false;  // swapped, or removed again after a stop
    };
    static const std::size_t NO_FOLDER = static_cast<std::size_t>(-1);
    static const std::size_t ROOT = 0;  // m_folders[ROOT] is m_root
    struct File {
        std::size_t folder;        // index into m_copyFolders
        std::size_t targetFolder;  // index into m_folders
        std::string name;
        std::string target;
        Poco::Int64 size;
        struct timespec mtime;  // the copy's, for "changed"
        std::string keptName;   // read from this version instead of the copy ("" none)
    };

    bool stopRequested() const { return m_stop.load(std::memory_order_relaxed); }
    void fail(const std::string& reason);
    // Opens (and if need be makes) m_root and notes it as m_folders[ROOT].
    bool prepareRoot();
    // Sets m_copyBase and m_root; false (told) when the root lies in the copy.
    bool choosePlaces();
    // Makes the missing m_root and the folders missing above it, and opens it.
    bool makeRoot(bool folderCopy);
    void planAll();
    // Descriptors of the copy's folders, reached without following links
    // inside the copy; openCopyFolder throws.
    Orvana::Util::FileDescriptor openCopyBase() const;
    Orvana::Util::FileDescriptor openCopyFolder(const std::vector<std::string>& names) const;
    void planItem(std::vector<std::string> names);
    void planFolder(Orvana::Util::FileDescriptor copy, const std::vector<std::string>& names,
                    int target, std::size_t targetFolder);
    void planFile(std::size_t folder, int target, std::size_t targetFolder, const std::string& name,
                  const struct stat& copy);
    // Which file answers for a file of the copy: the copy (true, keptName
    // "") or a version the job asks for (its stat in st). False (told) when
    // the job's version is not there.
    bool chooseSource(std::size_t folder, const std::string& name, struct stat& st,
                      std::string& keptName);
    // Makes `name` a folder inside the open target folder `parent` and notes
    // it; invalid (failed) when something else, a link included, is there.
    Orvana::Util::FileDescriptor ensureFolder(int parent, std::size_t parentFolder,
                                              const std::string& name, const struct stat& copy,
                                              std::size_t& index);
    // Folder `index` opened afresh and checked; invalid when lost.
    Orvana::Util::FileDescriptor openTarget(std::size_t index);
    // The same, kept open while the same folder is asked for again; -1 when lost.
    int targetFolder(std::size_t index);
    // Notes the pass in the ledger, prepares the staging folder and copies;
    // false when stopped.
    bool stageAndCopy(bool& staged);
    // False when stopped.
    bool copyFiles(int stagingFd, const std::string& staging);
    struct CopyRun;
    void startCopy(CopyRun& run, std::size_t item);
    // Takes finished copies back until no more than `leave` are under way.
    void takeBack(CopyRun& run, std::size_t leave);
    void flushBatch(CopyRun& run);
    std::string copyPath(const File& file) const;
    // The activity entries of a pass that was not stopped.
    Outcome report();
    void commit(CopyBatch::Copy& copy, CopyBatch& batch);
    // Where a file a commit is about to replace is kept as a version of the
    // record (throws Poco::Exception when the store cannot be opened).
    CopyBatch::Versions versionsOf(const File& file);
    // A stop takes away the folders it made that stayed empty; the folders
    // kept get the copy's modes and times.
    void finishFolders(bool stopped);

    BackupDB& m_db;
    const RestoreJob& m_job;
    const std::atomic<bool>& m_stop;
    std::string m_copyBase;  // the copy folder; a file record's: the folder holding its file
    std::string m_root;      // the target folder the pass writes below
    Orvana::Util::FileDescriptor m_rootFd;
    std::vector<std::string> m_madeAbove;  // folders made on the way to a missing m_root
    std::vector<std::vector<std::string>> m_copyFolders;  // names below m_copyBase
    std::vector<Folder> m_folders;
    std::size_t m_openIndex = NO_FOLDER;  // targetFolder()'s open folder
    Orvana::Util::FileDescriptor m_open;
    std::vector<File> m_files;  // to be written, in walk order
    Poco::Int64 m_totalBytes = 0;
    Poco::Int64 m_restored = 0;
    Poco::Int64 m_left = 0;
    Poco::Int64 m_kept = 0;                        // files replaced, kept as versions first
    Orvana::Util::FileDescriptor m_destinationFd;  // the store location, once a file is kept
    std::unique_ptr<VersionLookup> m_versions;     // when the job asks for a version or moment
    bool m_failed = false;
    std::string m_failReason;
};

}  // namespace Backup
}  // namespace Orvana
