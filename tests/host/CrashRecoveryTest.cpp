// The real backup-host killed at moments of a backup and of a restore: the
// next start finishes the copy exactly and sweeps the restore's staging away.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace {

using namespace TestSupport;

TEST(CrashRecovery, KilledInABackupOrARestoreThenRestartedLeavesAnExactCopyAndNoStaging) {
    TempDir dir;
    const std::string profile = dir.join("profile");
    const std::string source = dir.join("Source");
    const std::string store = dir.join("store");
    Poco::File(store).createDirectories();
    // Many small files for a scan that takes a moment, and large ones for a
    // batch that takes a few seconds.
    std::string block(4096, 'x');
    for (int i = 0; i < 3000; ++i) {
        block[i % block.size()] = char('a' + i % 26);
        writeFile(source + "/d" + std::to_string(i % 40) + "/f" + std::to_string(i),
                  block.substr(0, 512 + i % 3000));
    }
    std::string big(16 << 20, '\0');
    for (int i = 0; i < 4; ++i) {
        for (size_t j = 0; j < big.size(); j += 4096) big[j] = char(i + j / 4096);
        writeFile(source + "/big/b" + std::to_string(i), big);
    }
    ::chmod((source + "/d3").c_str(), 0750);
    struct timespec old[2] = {{1000000000, 5}, {1000000000, 5}};
    ::utimensat(AT_FDCWD, (source + "/d7").c_str(), old, 0);
    const std::string copy = store + "/Source";
    const std::string staging = store + "/.backup-partial";
    const std::vector<std::string> lang = {"--lang", "en"};

    std::string recid;
    auto startPass = [&](HostProcess& host) {
        if (recid.empty()) recid = host.addRecord(source, store);
        ASSERT_FALSE(recid.empty());
        host.api("synconerecord", {{"recid", recid}});
    };
    const std::function<bool(HostProcess&)> moments[] = {
        // During the scan.
        [&](HostProcess& host) {
            return HostProcess::element(host.api("getallbackuprecs").body, "currentaction") ==
                   "Checking";
        },
        // In the middle of a batch: copies staged, none renamed yet.
        [&](HostProcess&) { return countFiles(staging) > 0 && countFiles(copy) == 0; },
        // Right after a flush: the first copies renamed into place.
        [&](HostProcess&) { return countFiles(copy) > 0; },
    };
    const std::vector<std::string> url = {"--url", "--profile", profile};
    EXPECT_EQ(1, HostProcess::runToExit(url).code) << "no host has run yet";
    for (const auto& moment : moments) {
        HostProcess host(profile, lang);
        startPass(host);
        EXPECT_TRUE(waitUntil([&] { return moment(host); }, 120000));
        EXPECT_EQ(128 + SIGKILL, host.signal(SIGKILL));
        EXPECT_TRUE(Poco::File(profile + "/page-address").exists());
        EXPECT_EQ(1, HostProcess::runToExit(url).code) << "a killed host counts as running";
    }

    HostProcess host(profile, lang);
    startPass(host);
    const HostProcess::Exit running = HostProcess::runToExit(url);
    EXPECT_EQ(host.banner().substr(host.banner().find("http://")) + "\n", running.out);
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string listing = host.api("getallbackuprecs").body;
            return HostProcess::element(listing, "currentaction") == "Idle" &&
                   HostProcess::element(listing, "active") == "0" &&
                   HostProcess::element(listing, "lastsyncsuccess") == "1";
        },
        120000));
    EXPECT_EQ(0, host.terminate());
    EXPECT_FALSE(Poco::File(profile + "/page-address").exists());

    // Folder times and modes too; the copy's own folder is the only extra.
    auto got = snapshotTree(store);
    ASSERT_EQ(1u, got.erase("Source"));
    std::map<std::string, TreeNode> want;
    for (const auto& e : snapshotTree(source)) want["Source/" + e.first] = e.second;
    EXPECT_EQ(want.size(), got.size());
    for (const auto& e : want)
        EXPECT_TRUE(got.count(e.first) && got.at(e.first) == e.second) << e.first;

    // Killed while a restore stages its files: the next start sweeps them away
    // before it serves. The name would break a list of lines or of encoded texts.
    const std::string there = dir.join("there\n\t%41");
    const std::string restoring = there + "/.backup-partial/restore-" + recid;
    Poco::File(there).createDirectories();
    {
        HostProcess restorer(profile, lang);
        const auto reply =
            restorer.api("restorefiles", {{"recid", recid}, {"path", ""}, {"target", there}});
        ASSERT_EQ("true", HostProcess::element(reply.body, "success")) << reply.body;
        // Polled closely: the window lasts until the batch is in place.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!Poco::File(restoring).exists() && std::chrono::steady_clock::now() < deadline)
            ::usleep(500);
        ASSERT_TRUE(Poco::File(restoring).exists());
        EXPECT_EQ(128 + SIGKILL, restorer.signal(SIGKILL));
    }
    ASSERT_TRUE(Poco::File(restoring).exists());
    HostProcess restarted(profile, lang);
    EXPECT_EQ(recid, HostProcess::element(restarted.api("getallbackuprecs").body, "recid"));
    EXPECT_FALSE(Poco::File(there + "/.backup-partial").exists());
}

}  // namespace
