// The descriptor holder closes exactly once and only what it still owns.
// Closing is seen through a pipe: the reader gets end-of-file only once every
// write end is closed, which does not depend on descriptor numbers being
// reused.

#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "hostapi/FileDescriptor.h"

using Orvana::Util::FileDescriptor;

namespace {

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) read = fds[0], write = fds[1];
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
    }
    // True when no write end is open any more; a write end still open is
    // written to so that the read does not block.
    bool writeEndClosed(int stillOpen = -1) const {
        if (stillOpen >= 0 && ::write(stillOpen, "x", 1) != 1) return false;
        char c;
        return ::read(read, &c, 1) == 0;
    }
};

TEST(FileDescriptorTest, ClosesOnScopeExitAndOnReset) {
    Pipe scoped;
    ASSERT_GE(scoped.write, 0);
    { FileDescriptor fd(scoped.write); }
    EXPECT_TRUE(scoped.writeEndClosed());

    Pipe first, second;
    FileDescriptor fd(first.write);
    fd.reset(second.write);
    EXPECT_TRUE(first.writeEndClosed());
    EXPECT_EQ(second.write, fd.get());
    fd.reset();
    EXPECT_FALSE(fd.valid());
    EXPECT_TRUE(second.writeEndClosed());
}

TEST(FileDescriptorTest, ReleasedOrMovedDescriptorsStayOpen) {
    Pipe released;
    int fd = -1;
    {
        FileDescriptor holder(released.write);
        fd = holder.release();
        EXPECT_FALSE(holder.valid());
    }
    EXPECT_FALSE(released.writeEndClosed(fd));
    ::close(fd);

    Pipe moved, replaced;
    FileDescriptor target(replaced.write);
    {
        FileDescriptor source(moved.write);
        target = std::move(source);
        EXPECT_FALSE(source.valid());
    }
    EXPECT_TRUE(replaced.writeEndClosed());  // what the target held is closed
    EXPECT_FALSE(moved.writeEndClosed(target.get()));
    FileDescriptor constructed(std::move(target));
    EXPECT_FALSE(target.valid());
    EXPECT_EQ(moved.write, constructed.get());
}

}  // namespace
