#pragma once
// SourceIndexCursor: one record's index rows read in path order, a chunk at a
// time, so that a scan can merge them with a walk in the same order instead
// of holding every row in memory. Only the rows of one path range are read
// (a folder's subtree, or one file): rows of other paths stay untouched.
//
// Of several rows of one path the newest (highest ID) is the one returned or
// passed; the older ones are never seen. Paths compare byte-wise (memcmp),
// as SQLite's BINARY order of FILE and std::string do.
//
// Owned by the worker for one pass; worker thread only. It reads through the
// worker's own BackupDB connection between the walk's other statements; with
// readAhead(), a large range goes on through an IndexReadAhead after its
// first chunks.
#include <memory>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "engine/IndexReadAhead.h"

namespace Orvana {
namespace Backup {

class SourceIndexCursor {
public:
    // What a walk learns from the rows it passed in one folder.
    struct Passed {
        std::vector<int> files;            // ids of rows of the folder's own files
        std::vector<std::string> folders;  // its subfolders (paths ending in '/') holding rows
    };

    // Rows whose FILE lies in [from, until).
    SourceIndexCursor(BackupDB& db, int recId, const std::string& from, const std::string& until);

    // The range for a record's source: the folder's subtree, or the file.
    static SourceIndexCursor forSource(BackupDB& db, int recId, const std::string& source,
                                       bool isFile);

    // Reads the chunks after the first READ_AHEAD_AFTER on a thread of their
    // own, ahead of the calls, unless set off for every cursor (the bench
    // times both). Called before start().
    void readAhead();
    static bool readAheadEnabled();
    static void setReadAheadEnabled(bool enabled);

    // Reads the first chunk; false (logged by the database) when it failed.
    bool start();
    // A chunk failed: the rows after it are unknown, so nothing may be
    // concluded from their absence.
    bool failed() const { return m_failed; }

    // Passes every row before key and returns the row of key itself (valid
    // until the next call), or null. Of the rows passed that lie inside
    // `folder` (a path ending in '/'; empty: none), a file's own row has its
    // id appended to passed->files, and a row deeper down its subfolder to
    // passed->folders (once per subfolder). Keys must not decrease from call
    // to call.
    const BackupDB::SOURCE_RECORD* find(const std::string& key, const std::string& folder,
                                        Passed* passed);
    // The same without taking the row of key.
    void skipTo(const std::string& key, const std::string& folder, Passed* passed);

    static constexpr int CHUNK_ROWS = 4096;
    // A range this small is read sooner than a second connection opens.
    static constexpr int READ_AHEAD_AFTER = 2;

private:
    // Puts the next path's newest row into m_head; false at the end.
    bool loadHead();
    bool fill();
    void pass(const std::string& folder, Passed* passed);

    BackupDB* m_db;
    int m_recId;
    std::string m_until;
    std::string m_afterFile;  // the last row read: the next chunk starts after it
    int m_afterId;
    std::vector<BackupDB::SOURCE_RECORD> m_rows;  // current chunk
    size_t m_next = 0;                            // first row of m_rows not yet taken
    bool m_exhausted = false;                     // the last chunk has been read
    bool m_failed = false;
    bool m_readAhead = false;
    int m_chunksRead = 0;                    // through the worker's connection
    std::unique_ptr<IndexReadAhead> m_ahead;  // the chunks after those
    BackupDB::SOURCE_RECORD m_head;  // newest row of the next path, when m_haveHead
    bool m_haveHead = false;
};

}  // namespace Backup
}  // namespace Orvana
