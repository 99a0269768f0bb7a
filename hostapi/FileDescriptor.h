#pragma once
// FileDescriptor: owns one open file descriptor and closes it on every way out
// of a scope, exceptions included, so an early return cannot leak it (a long
// running host would run out of descriptors). Move-only: exactly one holder
// owns a descriptor. A holder is not shared between threads; it belongs to
// the code that opened the descriptor.

namespace Orvana {
namespace Util {

class FileDescriptor {
public:
    // Takes `fd`; a negative value (a failed open) holds nothing.
    explicit FileDescriptor(int fd = -1) noexcept : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }

    // Gives the descriptor up without closing it. After writing, callers
    // close it themselves to see close()'s error: a write-back failure may
    // only show there, and the destructor has no way to report it.
    int release() noexcept;
    // Closes what it holds (ignoring close()'s result), then takes `fd`.
    void reset(int fd = -1) noexcept;

private:
    int m_fd;
};

}  // namespace Util
}  // namespace Orvana
