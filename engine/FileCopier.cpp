#include "engine/FileCopier.h"

#include <Poco/Exception.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/CopyProgress.h"
#include "engine/EngineHooks.h"
#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

namespace {

std::atomic<unsigned long> g_tempCounter(0);

using Fd = Orvana::Util::FileDescriptor;

// Removes the temporary unless the copy was completed.
class TempGuard {
public:
    explicit TempGuard(const std::string& path) : m_path(path) {}
    ~TempGuard() {
        if (!m_kept) FileCopier::discard(m_path);
    }
    void keep() { m_kept = true; }

private:
    std::string m_path;
    bool m_kept = false;
};

// Kernel-side copy; false when this pair of files does not support it, so
// the caller falls back to read/write before anything was written.
// Ends once `size` bytes are in, without the call that would only report
// the end: the caller's second stat tells a file that grew meanwhile.
bool copyRange(int in, int out, Poco::Int64 size, Poco::Int64& copied, const std::string& source,
               const std::string& temp, const std::atomic<bool>& stop, bool& stopped) {
    while (copied < size) {
        if (stop.load()) {
            stopped = true;
            return true;
        }
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, FileCopier::CHUNK_SIZE, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (copied == 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                return false;
            }
            FileCopier::throwErrno(temp, errno);
        }
        if (n == 0) return true;
        copied += n;
        CopyProgress::written(n);
        EngineHooks::afterCopyChunk(source, stop);
    }
    // A stop that came during the last chunk still counts.
    if (stop.load()) stopped = true;
    return true;
}

void copyReadWrite(int in, int out, const std::string& source, const std::string& temp,
                   const std::atomic<bool>& stop, bool& stopped) {
    std::vector<char> buffer(1024 * 1024);
    Poco::Int64 sinceHook = 0;
    for (;;) {
        if (stop.load()) {
            stopped = true;
            return;
        }
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            FileCopier::throwErrno(source, errno);
        }
        if (n == 0) return;
        const char* p = buffer.data();
        while (n > 0) {
            ssize_t w = ::write(out, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                FileCopier::throwErrno(temp, errno);
            }
            p += w;
            n -= w;
            CopyProgress::written(w);
        }
        sinceHook += buffer.size();
        if (sinceHook >= FileCopier::CHUNK_SIZE) {
            sinceHook = 0;
            EngineHooks::afterCopyChunk(source, stop);
        }
    }
}

}  // namespace

void FileCopier::throwErrno(const std::string& path, int error) {
    std::string text = path + ": " + std::strerror(error);
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            throw Poco::FileNotFoundException(text, error);
        case EACCES:
        case EPERM:
            throw Poco::FileAccessDeniedException(text, error);
        case EEXIST:
            throw Poco::FileExistsException(text, error);
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            throw Poco::WriteFileException(text, error);
        case EROFS:
            throw Poco::FileReadOnlyException(text, error);
        default:
            throw Poco::FileException(text, error);
    }
}

namespace {

// Opens the source without following a link and without blocking, so that a
// fifo or a link put in the file's place since the scan cannot hang us or lead
// us elsewhere. COPIED here means: open and a regular file.
FileCopier::Result openSource(int folderFd, const std::string& name, const std::string& source,
                              Fd& in, struct stat& st) {
    in.reset(::openat(folderFd, name.c_str(),
                      O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (!in.valid()) {
        if (errno == ENOENT) return FileCopier::SOURCE_MISSING;
        if (errno == ELOOP) return FileCopier::NOT_REGULAR;
        FileCopier::throwErrno(source, errno);
    }
    if (::fstat(in.get(), &st) != 0) FileCopier::throwErrno(source, errno);
    if (!S_ISREG(st.st_mode)) return FileCopier::NOT_REGULAR;
    return FileCopier::COPIED;
}

// The bytes, mode and times of the open source into out; out is closed
// only by the caller.
FileCopier::Result copyContent(int in, const struct stat& st, int out, const std::string& source,
                               const std::string& outName, const std::atomic<bool>& stop) {
    bool stopped = false;
    Poco::Int64 copied = 0;
    const int fault = EngineHooks::copyFault(EngineHooks::COPY_RANGE, source);
    if (fault != 0 || !copyRange(in, out, st.st_size, copied, source, outName, stop, stopped)) {
        copyReadWrite(in, out, source, outName, stop, stopped);
    }
    if (stopped) return FileCopier::STOPPED;

    // A file written to while we read it gives a copy of no version at all.
    struct stat after;
    if (::fstat(in, &after) != 0) FileCopier::throwErrno(source, errno);
    if (after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != st.st_mtim.tv_nsec || after.st_ctim.tv_sec != st.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != st.st_ctim.tv_nsec) {
        return FileCopier::CHANGED;
    }

    if (::fchmod(out, st.st_mode & 07777) != 0) FileCopier::throwErrno(outName, errno);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) FileCopier::throwErrno(outName, errno);
    return FileCopier::COPIED;
}

}  // namespace

void FileCopier::setModeAndTime(int fd, mode_t mode, const struct timespec& mtime,
                                const std::string& path) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = mtime;
    if (::fchmod(fd, mode & 07777) != 0 || ::futimens(fd, times) != 0) throwErrno(path, errno);
}

FileCopier::Result FileCopier::copyToTemporaryAt(int folderFd, const std::string& name,
                                                 const std::string& source,
                                                 const std::string& stagingFolder,
                                                 std::string& tempPath,
                                                 const std::atomic<bool>& stop) {
    Fd in;
    struct stat st;
    const Result opened = openSource(folderFd, name, source, in, st);
    if (opened != COPIED) return opened;

    // A short name of our own: the file's name plus a suffix could exceed the
    // name length limit.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = stagingFolder;
        if (temp.empty() || temp.back() != '/') temp += '/';
        temp += ".backup-" + std::to_string(::getpid()) + "-" + std::to_string(++g_tempCounter) +
                ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) throwErrno(temp, errno);
    }
    Fd out(fd);
    TempGuard guard(temp);

    const Result result = copyContent(in.get(), st, out.get(), source, temp, stop);
    if (result != COPIED) return result;
    if (::close(out.release()) != 0) throwErrno(temp, errno);

    guard.keep();
    tempPath = temp;
    return COPIED;
}

FileCopier::Result FileCopier::copyToAnonymousAt(int folderFd, const std::string& name,
                                                 const std::string& source, int targetFolderFd,
                                                 Fd& file, const std::atomic<bool>& stop) {
    Fd in;
    struct stat st;
    const Result opened = openSource(folderFd, name, source, in, st);
    if (opened != COPIED) return opened;

    Fd out;
    const int fault = EngineHooks::copyFault(EngineHooks::ANONYMOUS_FILE, source);
    if (fault == 0)
        out.reset(::openat(targetFolderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!out.valid()) {
        const int error = fault != 0 ? fault : errno;
        // Kernels and file systems without unnamed files say so in several ways.
        if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS)
            return UNSUPPORTED;
        throwErrno(source, error);
    }
    const Result result = copyContent(in.get(), st, out.get(), source, source, stop);
    if (result == COPIED) file = std::move(out);
    return result;
}

int FileCopier::linkAnonymous(int fd, int folderFd, const std::string& name) {
    // Through /proc needs no privilege; an empty path needs CAP_DAC_READ_SEARCH.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folderFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    const int error = errno;
    if (error != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return error;
    if (::linkat(fd, "", folderFd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return errno;
}

void FileCopier::discard(const std::string& tempPath) noexcept {
    if (!tempPath.empty()) ::unlink(tempPath.c_str());
}

}  // namespace Backup
}  // namespace Orvana
