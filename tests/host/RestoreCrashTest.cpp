// The real backup-host killed with SIGKILL while a restore stages its files
// in the user's folder: the next start sweeps the staging folder away.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"

namespace {

using TestSupport::HostProcess;

TEST(RestoreCrash, KilledWhileStagingThenRestartedLeavesNoStagingFolder) {
    TestSupport::TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("Source");
    const std::string store = dir.join("store");
    // A name that would break a list of lines or of encoded texts.
    const std::string there = dir.join("there\n\t%41");
    Poco::File(store).createDirectories();
    Poco::File(there).createDirectories();
    // Enough data that copying and flushing it takes a moment.
    std::string big(16 << 20, '\0');
    for (int i = 0; i < 6; ++i) {
        for (size_t j = 0; j < big.size(); j += 4096) big[j] = char(i + j / 4096);
        TestSupport::writeFile(source + "/big/b" + std::to_string(i), big);
    }
    for (int i = 0; i < 500; ++i)
        TestSupport::writeFile(source + "/d" + std::to_string(i % 10) + "/f" + std::to_string(i),
                               std::string(1000 + i, 'a' + i % 26));
    const std::vector<std::string> lang = {"--lang", "en"};

    std::string recid;
    std::string staging;
    {
        HostProcess host(profile, lang);
        ASSERT_GT(host.port(), 0);
        ASSERT_NE(std::string::npos,
                  host.api("addbackuprecord",
                           {{"localpath", source}, {"remotepath", store}, {"frequency", "0"}})
                      .body.find("true"));
        recid = HostProcess::element(host.api("getallbackuprecs").body, "recid");
        ASSERT_FALSE(recid.empty());
        host.api("synconerecord", {{"recid", recid}});
        host.waitForListing([](const std::string& listing) {
            return HostProcess::element(listing, "lastsyncsuccess") == "1" &&
                   HostProcess::element(listing, "currentaction") == "Idle";
        });

        staging = there + "/.backup-partial/restore-" + recid;
        ASSERT_NE(std::string::npos,
                  host.api("restorefiles", {{"recid", recid}, {"path", ""}, {"target", there}})
                      .body.find("true"));
        // Polled on the file system: the window lasts until the batch is in place.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!Poco::File(staging).exists() && std::chrono::steady_clock::now() < deadline)
            ::usleep(500);
        ASSERT_TRUE(Poco::File(staging).exists());
        EXPECT_EQ(128 + SIGKILL, host.signal(SIGKILL));
    }
    ASSERT_TRUE(Poco::File(staging).exists());  // what the kill left

    HostProcess host(profile, lang);
    ASSERT_GT(host.port(), 0);
    // The sweep runs before the first request is served.
    EXPECT_EQ(recid, HostProcess::element(host.api("getallbackuprecs").body, "recid"));
    EXPECT_FALSE(Poco::File(there + "/.backup-partial").exists());
    EXPECT_EQ(0, host.terminate());
}

}  // namespace
