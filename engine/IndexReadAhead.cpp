#include "engine/IndexReadAhead.h"

#include <memory>
#include <utility>

#include "engine/EngineHooks.h"
#include "engine/ThreadName.h"

namespace Orvana {
namespace Backup {

IndexReadAhead::IndexReadAhead(const std::string& dbFile, int recId, const std::string& afterFile,
                               int afterId, const std::string& until, int chunkRows)
    : m_recId(recId), m_until(until), m_chunkRows(chunkRows) {
    m_thread = std::thread([this, dbFile, afterFile, afterId] { run(dbFile, afterFile, afterId); });
}

IndexReadAhead::~IndexReadAhead() {
    {
        Orvana::Util::CheckedLock lock(m_mutex);
        m_ending = true;
    }
    m_chunkTaken.notifyAll();
    m_thread.join();
}

bool IndexReadAhead::next(std::vector<BackupDB::SOURCE_RECORD>& rows) {
    Orvana::Util::CheckedLock lock(m_mutex);
    while (m_chunks.empty() && !m_lastQueued) m_chunkQueued.wait(m_mutex);
    if (m_chunks.empty()) {
        rows.clear();
        return true;
    }
    Chunk chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    rows.swap(chunk.rows);
    // The chunk taken before goes back to the reader, which reads into it:
    // its rows' strings are allocated on that thread and freed on this one
    // otherwise, a million times in a large pass.
    if (m_spare.size() < MAX_CHUNKS_AHEAD) m_spare.push_back(std::move(chunk.rows));
    lock.unlock();
    m_chunkTaken.notifyOne();
    return chunk.read;
}

void IndexReadAhead::run(const std::string& dbFile, std::string afterFile, int afterId) {
    nameThisThread("backup-index");
    // Opened here, not by the owner: the scan walks on meanwhile.
    std::unique_ptr<BackupDB> db = BackupDB::openReader("index read-ahead", dbFile);
    for (;;) {
        {
            Orvana::Util::CheckedLock lock(m_mutex);
            while (!m_ending && m_chunks.size() >= MAX_CHUNKS_AHEAD) m_chunkTaken.wait(m_mutex);
            if (m_ending) return;
        }
        Chunk chunk;
        {
            Orvana::Util::CheckedLock lock(m_mutex);
            if (!m_spare.empty()) {
                chunk.rows.swap(m_spare.back());
                m_spare.pop_back();
            }
        }
        chunk.read = db->isValid() &&
                     EngineHooks::scanFault(EngineHooks::INDEX_READ_AHEAD, afterFile) == 0 &&
                     db->getSourceRecordsAfter(m_recId, afterFile, afterId, m_until, m_chunkRows,
                                               chunk.rows);
        if (!chunk.read) chunk.rows.clear();
        const bool last = !chunk.read || chunk.rows.size() < static_cast<size_t>(m_chunkRows);
        if (!last) {
            afterFile = chunk.rows.back().file;
            afterId = chunk.rows.back().id;
        }
        {
            Orvana::Util::CheckedLock lock(m_mutex);
            m_chunks.push_back(std::move(chunk));
            m_lastQueued = last;
        }
        m_chunkQueued.notifyOne();
        if (last) return;
    }
}

}  // namespace Backup
}  // namespace Orvana
