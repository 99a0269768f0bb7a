// Two real hosts trusting each other: one backs a tree up into the other's
// store and gets it back; the storing one killed in a batch, or out of room.

#include <Poco/File.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/String.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace {

using namespace TestSupport;

int freePort() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    return probe.address().port();
}

// The first column of each row of a query on a profile's database.
std::vector<std::string> query(const std::string& profile, const std::string& sql) {
    const std::string db = profile + "/data/backup/backup.db";
    EXPECT_TRUE(Poco::File(db).exists()) << db;
    std::vector<std::string> rows;
    FILE* pipe = ::popen(("sqlite3 '" + db + "' \"" + sql + "\"").c_str(), "r");
    if (!pipe) return rows;
    char line[4096];
    while (::fgets(line, sizeof line, pipe)) rows.push_back(Poco::trimRight(std::string(line)));
    ::pclose(pipe);
    return rows;
}

// A storing host B and a sending host A that backs up dir/src/Work to B.
class PeerBackupHosts : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        idA = HostProcess::deviceId(pa);
        idB = HostProcess::deviceId(pb);
    }

    // fileLimit > 0: B runs under that file-size limit, SIGXFSZ ignored, so a
    // write past it fails with EFBIG as on a full disk. Both are inherited
    // from this process across the fork and exec, so they are set only while
    // B starts.
    void startB(rlim_t fileLimit = 0) {
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        sighandler_t oldHandler = SIG_DFL;
        if (fileLimit > 0) {
            rlimit limited = before;
            limited.rlim_cur = fileLimit;
            ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limited));
            oldHandler = ::signal(SIGXFSZ, SIG_IGN);
        }
        b.reset(new HostProcess(pb, options("alice@two", {"--trust", "alice@one=" + idA})));
        if (fileLimit > 0) {
            ::setrlimit(RLIMIT_FSIZE, &before);
            ::signal(SIGXFSZ, oldHandler);
        }
    }

    void startA() {
        a.reset(new HostProcess(
            pa, options("alice@one", {"--trust", "alice@two=" + idB, "--peer-address",
                                      "alice@two=127.0.0.1:" + std::to_string(peerPort), "--group",
                                      "home=alice@two"})));
        const HostProcess::Reply added =
            a->api("addbackuprecord",
                   {{"localpath", work}, {"remotepeer", "alice@two"}, {"frequency", "0"}});
        ASSERT_EQ("true", HostProcess::element(added.body, "success")) << added.body;
        ASSERT_TRUE(reachable());
    }

    // A host's options to serve devices on the peer port as `peer`.
    std::vector<std::string> options(const std::string& peer, std::vector<std::string> more) {
        more.insert(more.end(), {"--peer-bind", "127.0.0.1", "--peer-port",
                                 std::to_string(peerPort), "--peer", peer});
        return more;
    }

    bool reachable() {
        return waitUntil([&] { return HostProcess::element(status(), "reachable") == "1"; }, 30000);
    }

    std::string status() {
        return a->api("getbackupstatus", {{"recid", "1"}, {"history", "1"}}).body;
    }

    void startPass() {
        ASSERT_EQ("true",
                  HostProcess::element(a->api("synconerecord", {{"recid", "1"}}).body, "success"));
    }

    // Waits for the n-th run of record 1 to end; its result.
    std::string runEnded(int n) {
        std::string doc;
        EXPECT_TRUE(waitUntil(
            [&] {
                doc = status();
                return XmlDocument(doc).text("run", n - 1) != "<missing>" &&
                       HostProcess::element(doc, "running") == "0";
            },
            180000))
            << doc;
        return HostProcess::element(doc, "lastresult");
    }

    // Kills B once `partway` holds in the first pass; `afterKill` checks what
    // the kill left. The second pass must end cleanly, leaving no stray entry.
    void killBPartwayThenPassAgain(const std::function<bool()>& partway,
                                   const std::function<void()>& afterKill) {
        startB();
        startA();
        ASSERT_FALSE(HasFatalFailure());
        startPass();
        ASSERT_TRUE(waitUntil(partway, 120000));
        EXPECT_EQ(128 + SIGKILL, b->signal(SIGKILL));
        EXPECT_NE("completed", runEnded(1));
        afterKill();

        startB();
        ASSERT_TRUE(reachable());
        startPass();
        EXPECT_EQ("completed", runEnded(2)) << status();
        EXPECT_EQ(0u, countFiles(device + "/.backup-partial")) << "a stray temporary is left";
        for (const auto& e : snapshotFiles(device))
            EXPECT_EQ(0u, e.first.find("Work/")) << "stray entry " << e.first;
    }

    // The storing side's index names exactly the `count` files in place, each
    // once, and the sender marked all of them backed up.
    void expectIndexesHold(std::size_t count) {
        std::vector<std::string> expected;
        for (const auto& e : snapshotFiles(copy)) expected.push_back(copy + "/" + e.first);
        EXPECT_EQ(count, expected.size());
        EXPECT_EQ(expected, query(pb, "select STOREDLOCATION from BACKUP_STORED_FILES order by 1"));
        EXPECT_EQ(std::vector<std::string>({std::to_string(count) + "|0"}),
                  query(pa,
                        "select sum(SYNCED=1), sum(SYNCED<>1) from BACKUP_SOURCE_FILES "
                        "where RECID=1"));
    }

    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    const std::string work = dir.join("src/Work");
    const std::string device = pb + "/data/backup/alice@one";
    const std::string copy = device + "/Work";
    const int peerPort = freePort();
    std::string idA, idB;
    std::unique_ptr<HostProcess> a, b;
};

TEST_F(PeerBackupHosts, ATreeIsBackedUpToTheOtherDeviceAndComesBack) {
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/sub/deep/it's \"quoted\" & blank.txt", "q");
    writeFile(work + "/odd-\xff\xfe", "o");
    writeFile(work + "/gone.txt", "gone");
    ::chmod((work + "/a.txt").c_str(), 0640);
    ::chmod((work + "/sub/deep").c_str(), 0750);
    const timespec old[2] = {{1000000000, 250}, {1000000000, 250}};
    ::utimensat(AT_FDCWD, (work + "/sub/deep").c_str(), old, 0);
    startB();
    startA();
    ASSERT_FALSE(HasFatalFailure());
    startPass();
    EXPECT_EQ("completed", runEnded(1)) << status();
    EXPECT_EQ(snapshotTree(work), snapshotTree(copy));

    // Changed, added and deleted files; the deleted one's copy stays.
    writeFile(work + "/a.txt", "alpha, changed");
    writeFile(work + "/sub/odd \"name\" & more.bin", std::string(9 * 1024 * 1024 + 3, 'z'));
    ::unlink((work + "/gone.txt").c_str());
    startPass();
    EXPECT_EQ("completed", runEnded(2)) << status();
    auto stored = snapshotTree(copy);
    ASSERT_EQ(1u, stored.erase("gone.txt"));
    EXPECT_EQ(snapshotTree(work), stored);

    // Deleted at the source, listed as missing and restored from B's copy.
    const auto before = snapshotFiles(work);
    Poco::File(work + "/sub").remove(true);
    ::unlink((work + "/a.txt").c_str());
    const std::string listing = a->api("getbackupfiles", {{"recid", "1"}, {"path", ""}}).body;
    EXPECT_NE(std::string::npos, listing.find("<state>missing</state>")) << listing;
    const HostProcess::Reply restore =
        a->get("/api/backup/restorefiles?recid=1&path=a.txt&path=sub");
    ASSERT_EQ("true", HostProcess::element(restore.body, "success")) << restore.body;
    EXPECT_TRUE(waitUntil([&] { return snapshotFiles(work) == before; }, 60000));
}

TEST_F(PeerBackupHosts, AReceiverKilledInABatchIsFinishedCleanlyByTheNextPass) {
    // Many puts of small files, with odd modes and times on files and folders.
    const int folders = 30, perFolder = 100, total = folders * perFolder;
    for (int f = 0; f < folders; ++f) {
        const std::string folder = work + "/d" + std::to_string(f);
        for (int i = 0; i < perFolder; ++i) {
            const std::string path = folder + "/f" + std::to_string(i);
            writeFile(path, std::string(static_cast<size_t>((f * 131 + i * 37) % 3000),
                                        static_cast<char>('a' + (f + i) % 26)));
            if (i % 7 == 0) ::chmod(path.c_str(), 0600);
        }
        if (f % 5 == 0) ::chmod(folder.c_str(), 0750);
        const timespec times[2] = {{1500000000 + f, 0}, {1500000000 + f, 1000 * f}};
        ::utimensat(AT_FDCWD, folder.c_str(), times, 0);
    }
    // Killed once some copies are in place, before all are.
    killBPartwayThenPassAgain(
        [&] { return countFiles(copy) > 0; },
        [&] { EXPECT_LT(countFiles(copy), std::size_t(total)) << "killed too late"; });
    EXPECT_EQ(snapshotTree(work), snapshotTree(copy));
    expectIndexesHold(total);
}

TEST_F(PeerBackupHosts, AReceiverOutOfRoomFailsThePassAndNothingIsMarkedKept) {
    writeFile(work + "/large.bin", std::string(24 << 20, 'x'));
    startB(16 << 20);
    startA();
    ASSERT_FALSE(HasFatalFailure());

    startPass();
    EXPECT_EQ("failed", runEnded(1)) << status();
    EXPECT_EQ(std::vector<std::string>({"0"}),
              query(pa, "select SYNCED from BACKUP_SOURCE_FILES where RECID=1"));
    EXPECT_FALSE(Poco::File(copy + "/large.bin").exists());
    EXPECT_TRUE(query(pb, "select ID from BACKUP_STORED_FILES").empty());
    // B goes on serving.
    EXPECT_EQ(200, b->get("/api/host/plugin").status);
}

}  // namespace
