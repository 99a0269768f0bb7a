// A name that is taken, by whatever, is never replaced; a free one is taken
// and the temporary's name goes. Both ways: the kernel's flag and the link
// fallback for file systems without it.

#include <Poco/Exception.h>

#include "EngineFixture.h"
#include "engine/RenameNoReplace.h"

namespace {

using namespace Orvana::Backup;
using TestSupport::readFile;
using TestSupport::writeFile;

TEST(RenameNoReplace, TakesOnlyAFreeNameEitherWay) {
    for (const RenameNoReplace::Method method : {RenameNoReplace::ANY, RenameNoReplace::LINK}) {
        TestSupport::TempDir dir;
        const std::string from = dir.join("staging"), to = dir.join("target");
        writeFile(from + "/t1", "new");
        writeFile(from + "/t2", "new");
        writeFile(to + "/file", "user's");
        Poco::File(to + "/folder").createDirectories();
        ASSERT_EQ(0, ::symlink("/nowhere", (to + "/dangling").c_str()));
        const int fromFd = ::open(from.c_str(), O_RDONLY | O_DIRECTORY);
        const int toFd = ::open(to.c_str(), O_RDONLY | O_DIRECTORY);

        for (const char* taken : {"file", "folder", "dangling"}) {
            EXPECT_EQ(RenameNoReplace::TAKEN,
                      RenameNoReplace::move(fromFd, "t1", toFd, taken, method))
                << taken;
        }
        EXPECT_EQ("user's", readFile(to + "/file"));
        EXPECT_TRUE(Poco::File(to + "/folder").isDirectory());
        EXPECT_EQ("new", readFile(from + "/t1"));

        EXPECT_EQ(RenameNoReplace::PLACED,
                  RenameNoReplace::move(fromFd, "t2", toFd, "free", method));
        EXPECT_EQ("new", readFile(to + "/free"));
        EXPECT_FALSE(Poco::File(from + "/t2").exists());
        // Anything else is an error, not a taken name.
        EXPECT_THROW(RenameNoReplace::move(fromFd, "absent", toFd, "x", method), Poco::Exception);
        ::close(fromFd);
        ::close(toFd);
    }
}

}  // namespace
