#pragma once
// PageAddressFile: the running host's page address (token included) in the
// file "page-address" of its profile, so that `backup-host --url` can find a
// host started in the background. Only the user may read it (0600): the
// token is the key to the page.
//
// The owning host holds an exclusive flock on the file for as long as the
// object lives. The kernel drops that lock when the process ends however it
// ends, so a reader tells a live host from a file left by a crash without
// trusting a process id that may have been reused. The object is made and
// destroyed on the host's main thread; runningAddress may be called from any
// process or thread.

#include <memory>
#include <string>

#include "hostapi/FileDescriptor.h"

namespace Orvana {
namespace Host {

class PageAddressFile {
public:
    static const char* const FILE_NAME;

    // Writes `address` and takes the lock. Throws Poco::FileException when
    // the file cannot be written.
    PageAddressFile(const std::string& profileDir, const std::string& address);
    // Removes the file (unless another host has replaced it), then releases
    // the lock.
    ~PageAddressFile();
    PageAddressFile(const PageAddressFile&) = delete;
    PageAddressFile& operator=(const PageAddressFile&) = delete;

    // As the constructor, but logs a failure on the "host" logger and returns
    // null: the page works without the file, only --url cannot find it.
    static std::unique_ptr<PageAddressFile> publish(const std::string& profileDir,
                                                    const std::string& address);

    // The address of the host running on `profileDir`, or "" when no live
    // process holds the file.
    static std::string runningAddress(const std::string& profileDir);

    static std::string pathIn(const std::string& profileDir);

private:
    std::string m_path;
    Orvana::Util::FileDescriptor m_fd;
};

}  // namespace Host
}  // namespace Orvana
