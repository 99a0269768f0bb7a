#include "engine/ChangeSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/FileCopier.h"

namespace Orvana {
namespace Backup {

namespace {

// Writes go out in pieces this size; reads come in the same.
const std::size_t IO_BYTES = 256 * 1024;

void putBytes(std::string& to, const void* from, std::size_t size) {
    to.append(static_cast<const char*>(from), size);
}

void putString(std::string& to, const std::string& value) {
    const std::uint32_t size = static_cast<std::uint32_t>(value.size());
    putBytes(to, &size, sizeof size);
    to.append(value);
}

std::atomic<std::size_t> testChunkRows{0};

}  // namespace

std::size_t ChangeSpool::chunkRows() {
    const std::size_t rows = testChunkRows.load(std::memory_order_relaxed);
    return rows != 0 ? rows : CHUNK_ROWS;
}

void ChangeSpool::setChunkRowsForTests(std::size_t rows) { testChunkRows = rows; }

ChangeSpool::ChangeSpool(const std::string& folder) {
    m_fd.reset(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (m_fd.valid()) return;
    // No unnamed files there (or no such folder): an unlinked temporary.
    std::FILE* file = std::tmpfile();
    if (!file) FileCopier::throwErrno(folder, errno);
    m_fd.reset(::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 0));
    std::fclose(file);
    if (!m_fd.valid()) FileCopier::throwErrno(folder, errno);
}

void ChangeSpool::append(const std::vector<BackupDB::FILERECORD>& rows) {
    for (const BackupDB::FILERECORD& row : rows) {
        const std::int32_t ids[2] = {row.recId, row.fileId};
        const std::int64_t size = row.fileSize;
        putBytes(m_buffer, ids, sizeof ids);
        putBytes(m_buffer, &size, sizeof size);
        putString(m_buffer, row.fileName);
        putString(m_buffer, row.dirName);
        putString(m_buffer, row.checksum);
        if (m_buffer.size() >= IO_BYTES) flushWrites();
    }
    m_count += rows.size();
}

void ChangeSpool::flushWrites() {
    std::size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = ::write(m_fd.get(), m_buffer.data() + done, m_buffer.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) FileCopier::throwErrno("change list", n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    m_buffer.clear();
}

bool ChangeSpool::readBytes(void* to, std::size_t size) {
    while (m_buffer.size() - m_bufferAt < size) {
        m_buffer.erase(0, m_bufferAt);
        m_bufferAt = 0;
        const std::size_t had = m_buffer.size();
        m_buffer.resize(had + IO_BYTES);
        const ssize_t n = ::pread(m_fd.get(), &m_buffer[had], IO_BYTES, m_readOffset);
        if (n < 0 && errno == EINTR) {
            m_buffer.resize(had);
            continue;
        }
        if (n < 0) FileCopier::throwErrno("change list", errno);
        m_buffer.resize(had + static_cast<std::size_t>(n));
        m_readOffset += n;
        if (n == 0) return false;
    }
    std::memcpy(to, m_buffer.data() + m_bufferAt, size);
    m_bufferAt += size;
    return true;
}

void ChangeSpool::readString(std::string& to) {
    std::uint32_t size = 0;
    if (!readBytes(&size, sizeof size)) FileCopier::throwErrno("change list", EIO);
    to.resize(size);
    if (size != 0 && !readBytes(&to[0], size)) FileCopier::throwErrno("change list", EIO);
}

bool ChangeSpool::readRow(BackupDB::FILERECORD& row) {
    if (!m_reading) {
        flushWrites();
        m_reading = true;
    }
    if (m_readCount == m_count) return false;
    std::int32_t ids[2];
    std::int64_t size;
    if (!readBytes(ids, sizeof ids) || !readBytes(&size, sizeof size))
        FileCopier::throwErrno("change list", EIO);
    row.recId = ids[0];
    row.fileId = ids[1];
    row.fileSize = size;
    readString(row.fileName);
    readString(row.dirName);
    readString(row.checksum);
    ++m_readCount;
    return true;
}

bool ChangeSpool::has(std::size_t item) {
    while (item >= m_base + m_window.size()) {
        if (m_readCount == m_count) return false;
        // The rows still needed move to the front; the rest make room.
        const std::size_t drop = std::min(m_keepFrom - std::min(m_keepFrom, m_base), m_window.size());
        m_window.erase(m_window.begin(), m_window.begin() + drop);
        m_base += drop;
        for (std::size_t n = 0, chunk = chunkRows(); n < chunk; ++n) {
            m_window.emplace_back();
            if (!readRow(m_window.back())) {
                m_window.pop_back();
                break;
            }
        }
    }
    return true;
}

std::vector<BackupDB::FILERECORD> ChangeSpool::readAll() {
    std::vector<BackupDB::FILERECORD> rows;
    rows.reserve(m_count);
    BackupDB::FILERECORD row;
    while (readRow(row)) rows.push_back(row);
    return rows;
}

}  // namespace Backup
}  // namespace Orvana
