// The page address a running host publishes in its profile (`backup-host
// --url` reads it), and where the program finds its plug-in and page.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "host/InstallLayout.h"
#include "host/PageAddressFile.h"
#include "support/TempDir.h"

using Orvana::Host::InstallLayout;
using Orvana::Host::PageAddressFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

namespace {

TEST(PageAddressFile, IsPrivateWhileHeldAndGoneAfterItsOwnersStop) {
    TempDir profile;
    const std::string path = PageAddressFile::pathIn(profile.path());
    {
        PageAddressFile published(profile.path(), "http://127.0.0.1:1/x?token=secret");
        struct stat info;
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(PageAddressFile::runningAddress(profile.path()),
                  "http://127.0.0.1:1/x?token=secret");
    }
    EXPECT_FALSE(Poco::File(path).exists());
    EXPECT_EQ(PageAddressFile::runningAddress(profile.path()), "");

    // A new host replaces the file; the older object's end must not remove it.
    std::unique_ptr<PageAddressFile> older(new PageAddressFile(profile.path(), "http://old"));
    PageAddressFile newer(profile.path(), "http://new");
    older.reset();
    EXPECT_EQ(PageAddressFile::runningAddress(profile.path()), "http://new");
}

TEST(InstallLayout, InstalledTreeIsFoundRelativeToTheProgram) {
    TempDir prefix;
    const std::string bin = prefix.join("bin/");
    Poco::File(bin).createDirectories();
    // Not installed yet: the build folder's way, the plug-in beside the program.
    EXPECT_EQ(InstallLayout::pluginPath(bin), bin + "libbackup.so");

    writeFile(prefix.join("lib/backup-host/libbackup.so"), "");
    EXPECT_EQ(InstallLayout::pluginPath(bin), prefix.join("lib/backup-host/libbackup.so"));
    EXPECT_EQ(InstallLayout::uiDir("", bin), prefix.join("share/backup-host/ui/"));
    EXPECT_EQ(InstallLayout::uiDir("/given/", bin), "/given/");
}

}  // namespace
