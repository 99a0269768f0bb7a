#pragma once
// FileCopier: crash-safe file copies for the copy phase (and any other copy
// of a file into a folder tree). A file is copied into a temporary file in a
// staging folder on the target's file system (StagingFolder), or into an
// unnamed file in its target folder: content, permission bits and time
// stamps to the nanosecond. CopyBatch flushes a batch of such copies and
// puts each in place; the previous target stays intact until its
// replacement is complete and on disk.
//
// Stateless apart from a process-wide counter for temporary names; any
// thread. Failures throw Poco::Exception (FileException and subclasses).

#include <Poco/Types.h>
#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <string>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Backup {

class FileCopier {
public:
    enum Result {
        COPIED,          // tempPath holds the complete copy
        SOURCE_MISSING,  // the source vanished; nothing was written
        NOT_REGULAR,     // a link, fifo or device took the file's place
        CHANGED,         // the source changed while it was read; copy discarded
        STOPPED,         // the stop flag came up; the partial copy is gone
        UNSUPPORTED      // (anonymous copies) the file system has no unnamed files
    };

    // Copies the entry `name` of the open folder folderFd (AT_FDCWD: name is
    // a path) into a new temporary file inside stagingFolder, testing stop
    // between chunks. The source is opened without following links and
    // without blocking, so nothing swapped into its place can hang the
    // caller. Leaves no temporary file behind unless it returns COPIED.
    // source names the file in messages and hooks.
    static Result copyToTemporaryAt(int folderFd, const std::string& name,
                                    const std::string& source, const std::string& stagingFolder,
                                    std::string& tempPath, const std::atomic<bool>& stop);
    // The same into an unnamed file of the open folder targetFolderFd
    // (O_TMPFILE), held in `file`: nothing of it stays behind unless it is
    // linked (linkAnonymous). UNSUPPORTED, with nothing opened, where the
    // file system cannot make one.
    static Result copyToAnonymousAt(int folderFd, const std::string& name,
                                    const std::string& source, int targetFolderFd,
                                    Orvana::Util::FileDescriptor& file,
                                    const std::atomic<bool>& stop);
    // Gives the unnamed file `fd` the name `name` in folderFd, never over an
    // existing entry: 0, or the errno (EEXIST when the name is taken).
    static int linkAnonymous(int fd, int folderFd, const std::string& name);
    // Removes a temporary; never throws.
    static void discard(const std::string& tempPath) noexcept;

    // Throws the Poco exception that matches errno for path.
    [[noreturn]] static void throwErrno(const std::string& path, int error);
    // Gives the open file `fd` the permission bits of `mode` and the
    // modification time `mtime`, its access time left as it is; throws for
    // path.
    static void setModeAndTime(int fd, mode_t mode, const struct timespec& mtime,
                               const std::string& path);

    static const Poco::Int64 CHUNK_SIZE = 8 * 1024 * 1024;
};

}  // namespace Backup
}  // namespace Orvana
