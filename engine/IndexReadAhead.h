#pragma once
// IndexReadAhead: reads a range of one record's index rows in path order, a
// chunk at a time, on a thread of its own and through a connection of its own
// to the same database file, a few chunks ahead of the scan that takes them.
// Reading the index then overlaps the walk and the merge on the scan's
// thread instead of adding to them. The write-ahead log lets it read while
// the scan's connection writes, and each chunk is its own short read, so it
// holds back neither a commit nor a checkpoint.
//
// Owned by a SourceIndexCursor; next() is called by the cursor's thread
// only. The reader thread and next() share the queue of chunks, and the
// chunks handed back to be read into again, under m_mutex, the only lock (no
// other lock is taken while it is held). The destructor ends and joins the
// reader within one chunk's read, also while the reader waits for room.

#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/CheckedMutex.h"

namespace Orvana {
namespace Backup {

class IndexReadAhead {
public:
    // Rows of recId after (afterFile, afterId) and before `until`, in chunks
    // of chunkRows; dbFile: the database the scan's connection opened.
    IndexReadAhead(const std::string& dbFile, int recId, const std::string& afterFile, int afterId,
                   const std::string& until, int chunkRows);
    ~IndexReadAhead();
    IndexReadAhead(const IndexReadAhead&) = delete;
    IndexReadAhead& operator=(const IndexReadAhead&) = delete;

    // Waits for the next chunk and puts it in `rows`; a chunk shorter than
    // chunkRows is the last, and after it every call gives no rows. False
    // when the chunk could not be read (logged by the database): the rows
    // from there on are unknown.
    bool next(std::vector<BackupDB::SOURCE_RECORD>& rows);

    static constexpr size_t MAX_CHUNKS_AHEAD = 4;

private:
    struct Chunk {
        bool read = false;
        std::vector<BackupDB::SOURCE_RECORD> rows;
    };

    void run(const std::string& dbFile, std::string afterFile, int afterId);

    const int m_recId;
    const std::string m_until;
    const int m_chunkRows;
    Orvana::Util::CheckedMutex m_mutex;
    Orvana::Util::CheckedCondition m_chunkQueued;  // for next()
    Orvana::Util::CheckedCondition m_chunkTaken;   // for the reader
    std::deque<Chunk> m_chunks GUARDED_BY(m_mutex);
    // Chunks the cursor is done with, for the reader to read into again.
    std::vector<std::vector<BackupDB::SOURCE_RECORD>> m_spare GUARDED_BY(m_mutex);
    bool m_lastQueued GUARDED_BY(m_mutex) = false;  // the reader has ended
    bool m_ending GUARDED_BY(m_mutex) = false;      // the owner goes
    std::thread m_thread;                            // owner's thread only
};

}  // namespace Backup
}  // namespace Orvana
