#include "hostapi/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace Orvana {
namespace Util {

namespace {

const size_t CRC_CHUNK = 64 * 1024;

// Only "/" separates path components here; "\\" is an ordinary character.
bool isSeparator(char c) { return c == '/'; }

// Closes the descriptor on every return path.
struct FileHandle {
    explicit FileHandle(int fd) : fd(fd) {}
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

}  // namespace

bool getFileCRC(const std::string& path, std::string& crc, Poco::Int64 offset, Poco::Int64 length,
                const std::atomic<bool>* stopFlag) {
    // Not through a link and never blocking: a fifo swapped in must not hang the worker.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (file.fd < 0) return false;
    struct stat info;
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (offset < 0) offset = 0;
    if (::lseek(file.fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;

    uLong value = crc32(0L, Z_NULL, 0);
    std::vector<unsigned char> buffer(CRC_CHUNK);
    Poco::Int64 left = length;  // negative: to the end
    while (left != 0) {
        if (stopFlag != nullptr && stopFlag->load()) return false;
        size_t want = CRC_CHUNK;
        if (left > 0) want = static_cast<size_t>(std::min<Poco::Int64>(left, CRC_CHUNK));
        ssize_t got = ::read(file.fd, buffer.data(), want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        value = crc32(value, buffer.data(), static_cast<uInt>(got));
        if (left > 0) left -= got;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", static_cast<unsigned long>(value & 0xffffffffUL));
    crc = text;
    return true;
}

void splitFolder(const std::string& path, std::string& folder, std::string& file) {
    size_t end = path.size();
    while (end > 1 && isSeparator(path[end - 1])) --end;
    std::string trimmed = path.substr(0, end);
    size_t pos = std::string::npos;
    for (size_t i = trimmed.size(); i-- > 0;) {
        if (isSeparator(trimmed[i])) {
            pos = i;
            break;
        }
    }
    if (pos == std::string::npos) {
        folder.clear();
        file = trimmed;
        return;
    }
    file = trimmed.substr(pos + 1);
    // Drop doubled separators before the name, but keep a lone root.
    size_t folderEnd = pos;
    while (folderEnd > 0 && isSeparator(trimmed[folderEnd - 1])) --folderEnd;
    folder = folderEnd == 0 ? trimmed.substr(0, 1) : trimmed.substr(0, folderEnd);
}

std::string convertPathToNative(const std::string& path) {
    std::string native(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

std::string readableFileSize(Poco::Int64 size, int precision) {
    if (size <= 0) return "0 B";
    if (size < 1024) return std::to_string(size) + " B";
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(size) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        value /= 1024.0;
        ++unit;
    }
    if (precision < 0) precision = 0;
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f %s", precision, value, units[unit]);
    return text;
}

std::string sanitizeString(const std::string& text, bool stripMarkup) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) continue;
        if (stripMarkup && (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'')) continue;
        out += c;
    }
    return out;
}

}  // namespace Util
}  // namespace Orvana
