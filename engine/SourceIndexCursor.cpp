#include "engine/SourceIndexCursor.h"

#include <atomic>
#include <limits>
#include <utility>

namespace Orvana {
namespace Backup {

namespace {
std::atomic<bool> g_readAhead(true);
}

bool SourceIndexCursor::readAheadEnabled() { return g_readAhead; }
void SourceIndexCursor::setReadAheadEnabled(bool enabled) { g_readAhead = enabled; }

void SourceIndexCursor::readAhead() { m_readAhead = readAheadEnabled(); }

SourceIndexCursor::SourceIndexCursor(BackupDB& db, int recId, const std::string& from,
                                     const std::string& until)
    : m_db(&db),
      m_recId(recId),
      m_until(until),
      m_afterFile(from),
      m_afterId(std::numeric_limits<int>::min()) {}

SourceIndexCursor SourceIndexCursor::forSource(BackupDB& db, int recId, const std::string& source,
                                               bool isFile) {
    // '0' follows '/': [folder + "/", folder + "0") is exactly the subtree.
    if (isFile) return SourceIndexCursor(db, recId, source, source + '\x01');
    return SourceIndexCursor(db, recId, source + '/', source + '0');
}

bool SourceIndexCursor::start() {
    fill();
    return !m_failed;
}

bool SourceIndexCursor::fill() {
    if (m_failed || m_exhausted) return false;
    const bool read = m_ahead ? m_ahead->next(m_rows)
                              : m_db->getSourceRecordsAfter(m_recId, m_afterFile, m_afterId,
                                                            m_until, +CHUNK_ROWS, m_rows);
    if (!read) {
        m_failed = true;
        m_exhausted = true;
        return false;
    }
    m_next = 0;
    if (m_rows.size() < static_cast<size_t>(+CHUNK_ROWS)) m_exhausted = true;
    if (m_rows.empty()) return false;
    m_afterFile = m_rows.back().file;
    m_afterId = m_rows.back().id;
    if (m_readAhead && !m_ahead && !m_exhausted && ++m_chunksRead >= READ_AHEAD_AFTER) {
        m_ahead.reset(new IndexReadAhead(m_db->filePath(), m_recId, m_afterFile, m_afterId,
                                         m_until, +CHUNK_ROWS));
    }
    return true;
}

bool SourceIndexCursor::loadHead() {
    if (m_haveHead) return true;
    if (m_next >= m_rows.size() && !fill()) return false;
    // Swapped, not moved: the chunk keeps the head's old strings, and the
    // next read into it reuses their storage.
    std::swap(m_head, m_rows[m_next++]);
    // A later row of the same path replaces it, also across a chunk's end.
    for (;;) {
        if (m_next >= m_rows.size() && !fill()) break;
        if (m_rows[m_next].file != m_head.file) break;
        std::swap(m_head, m_rows[m_next++]);
    }
    m_haveHead = true;
    return true;
}

void SourceIndexCursor::pass(const std::string& folder, Passed* passed) {
    m_haveHead = false;
    if (!passed || folder.empty() || m_head.id <= 0 || m_head.file.size() <= folder.size() ||
        m_head.file.compare(0, folder.size(), folder) != 0) {
        return;
    }
    const std::string::size_type slash = m_head.file.find('/', folder.size());
    if (slash == std::string::npos) {
        passed->files.push_back(m_head.id);
        return;
    }
    // "folder//x" names no entry a listing could hold: left to itself.
    if (slash == folder.size()) return;
    // A subfolder's rows come one after the other: its name once is enough.
    std::vector<std::string>& folders = passed->folders;
    if (folders.empty() || folders.back().size() != slash + 1 ||
        m_head.file.compare(0, slash + 1, folders.back()) != 0) {
        folders.push_back(m_head.file.substr(0, slash + 1));
    }
}

void SourceIndexCursor::skipTo(const std::string& key, const std::string& folder, Passed* passed) {
    while (loadHead() && m_head.file < key) pass(folder, passed);
}

const BackupDB::SOURCE_RECORD* SourceIndexCursor::find(const std::string& key,
                                                       const std::string& folder, Passed* passed) {
    // One comparison per row, not skipTo's and then an equality test: paths
    // share long beginnings, and this runs for every file a pass meets.
    int order = 1;
    while (loadHead() && (order = m_head.file.compare(key)) < 0) pass(folder, passed);
    if (order != 0) return nullptr;
    m_haveHead = false;  // taken; m_head stays readable until the next call
    return &m_head;
}

}  // namespace Backup
}  // namespace Orvana
