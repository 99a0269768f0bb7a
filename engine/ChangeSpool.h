#pragma once
// ChangeSpool: a pass's change list kept in an unnamed file instead of in
// memory, so that a first backup of a million files holds only a window of
// it. The scan appends rows in walk order; the copy reads them back by their
// position, a chunk at a time, and says which rows it no longer needs.
//
// The file has no name (O_TMPFILE), so nothing is left behind by a crash.
// Owned by one pass; worker thread only. Failures throw Poco::Exception.

#include <cstddef>
#include <string>
#include <vector>

#include "db/BackupDB.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class ChangeSpool {
public:
    // Rows a pass holds in memory at most, in each of its lists: the scan's
    // rows waiting for their index flush and the copy's rows read ahead. A
    // few megabytes; larger chunks save little, since each costs one
    // transaction.
    static const std::size_t CHUNK_ROWS = 8192;
    // CHUNK_ROWS, unless a test made chunks of a few rows (0 undoes it).
    static std::size_t chunkRows();
    static void setChunkRowsForTests(std::size_t rows);

    // folder: where the unnamed file is made (the system's temporary
    // folder when that fails).
    explicit ChangeSpool(const std::string& folder);
    ChangeSpool(const ChangeSpool&) = delete;
    ChangeSpool& operator=(const ChangeSpool&) = delete;

    // Writing, in order; then reading.
    void append(const std::vector<BackupDB::FILERECORD>& rows);
    std::size_t size() const { return m_count; }

    // Makes row `item` readable (reading a chunk ahead when needed); false
    // past the end. Items are asked for in increasing order.
    bool has(std::size_t item);
    // Valid after has(item) until the next has().
    const BackupDB::FILERECORD& at(std::size_t item) const { return m_window[item - m_base]; }
    // Rows before `item` are no longer asked for; the next chunk drops them.
    void release(std::size_t item) { m_keepFrom = item > m_keepFrom ? item : m_keepFrom; }
    // Every row, for a copy that needs the whole list at once.
    std::vector<BackupDB::FILERECORD> readAll();

private:
    void flushWrites();
    bool readRow(BackupDB::FILERECORD& row);
    bool readBytes(void* to, std::size_t size);
    void readString(std::string& to);

    Orvana::Util::FileDescriptor m_fd;
    std::string m_buffer;       // rows written but not yet in the file, or read but not parsed
    std::size_t m_bufferAt = 0;  // reading: first unparsed byte of m_buffer
    bool m_reading = false;
    off_t m_readOffset = 0;
    std::size_t m_count = 0;   // rows appended
    std::size_t m_readCount = 0;  // rows read back
    std::vector<BackupDB::FILERECORD> m_window;  // rows m_base.. read back
    std::size_t m_base = 0;
    std::size_t m_keepFrom = 0;
};

}  // namespace Backup
}  // namespace Orvana
