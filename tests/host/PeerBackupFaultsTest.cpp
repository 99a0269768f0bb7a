// Two real hosts on 127.0.0.1, the storing one misbehaving: killed in the
// middle of a large file (the next pass must finish it cleanly), and out of
// room under a file-size limit (the sender must not count the file as kept).

#include <Poco/DirectoryIterator.h>
#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Path.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace {

using TestSupport::HostProcess;
using TestSupport::TempDir;
using TestSupport::writeFile;

std::string deviceId(const std::string& profile) {
    const HostProcess::Exit run = HostProcess::runToExit({"--profile", profile, "--device-id"});
    EXPECT_EQ(0, run.code) << run.err;
    return Poco::trim(run.out);
}

int freePort() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    return probe.address().port();
}

// Bytes that do not compress or repeat, so a torn copy cannot pass as whole.
void writeLargeFile(const std::string& path, std::size_t mib) {
    Poco::File(Poco::Path(path).parent()).createDirectories();
    std::mt19937_64 random(mib);
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t m = 0; m < mib; ++m) {
        for (std::size_t i = 0; i < block.size(); i += 8) {
            const std::uint64_t v = random();
            block.replace(i, 8, reinterpret_cast<const char*>(&v), 8);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

// Calls visit(path, is a folder) for everything below root, without reading files.
void walk(const std::string& root, const std::function<void(const Poco::File&)>& visit) {
    if (!Poco::File(root).exists()) return;
    for (Poco::DirectoryIterator it(root), end; it != end; ++it) {
        visit(*it);
        if (it->isDirectory() && !it->isLink()) walk(it->path(), visit);
    }
}

// The first column of each row of a query on a profile's database.
std::vector<std::string> query(const std::string& profile, const std::string& sql) {
    std::string db;
    walk(profile, [&](const Poco::File& f) {
        if (Poco::Path(f.path()).getFileName() == "backup.db") db = f.path();
    });
    EXPECT_FALSE(db.empty()) << "no database under " << profile;
    std::vector<std::string> rows;
    FILE* pipe = ::popen(("sqlite3 '" + db + "' \"" + sql + "\"").c_str(), "r");
    if (!pipe) return rows;
    char line[4096];
    while (::fgets(line, sizeof line, pipe)) rows.push_back(Poco::trimRight(std::string(line)));
    ::pclose(pipe);
    return rows;
}

std::map<std::string, TestSupport::TreeNode> files(const std::string& root) {
    std::map<std::string, TestSupport::TreeNode> out;
    for (const auto& e : TestSupport::snapshotTree(root, false))
        if (e.second.kind != 'd') out.insert(e);
    return out;
}

// The total size of the files under a folder; 0 when it is not there.
std::size_t bytesUnder(const std::string& folder) {
    std::size_t total = 0;
    walk(folder, [&](const Poco::File& f) {
        if (f.isFile()) total += f.getSize();
    });
    return total;
}

// A storing host B and a sending host A that backs up dir/src/Work to B.
class PeerFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        idA = deviceId(pa);
        idB = deviceId(pb);
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
        b.reset(new HostProcess(pb, {"--peer-bind", "127.0.0.1", "--peer-port",
                                     std::to_string(peerPort), "--peer", "alice@two", "--trust",
                                     "alice@one=" + idA}));
        if (fileLimit > 0) {
            ::setrlimit(RLIMIT_FSIZE, &before);
            ::signal(SIGXFSZ, oldHandler);
        }
    }

    void startA() {
        a.reset(new HostProcess(
            pa, {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", "alice@one", "--trust",
                 "alice@two=" + idB, "--peer-address",
                 "alice@two=127.0.0.1:" + std::to_string(peerPort), "--group", "home=alice@two"}));
        const HostProcess::Reply added = a->api(
            "addbackuprecord", {{"localpath", work}, {"remotepeer", "alice@two"}, {"frequency", "0"}});
        ASSERT_EQ("true", HostProcess::element(added.body, "success")) << added.body;
        ASSERT_TRUE(reachable());
    }

    bool reachable() {
        return TestSupport::waitUntil(
            [&] { return HostProcess::element(status(), "reachable") == "1"; }, 30000);
    }

    std::string status() { return a->api("getbackupstatus", {{"recid", "1"}, {"history", "1"}}).body; }

    void startPass() {
        ASSERT_EQ("true",
                  HostProcess::element(a->api("synconerecord", {{"recid", "1"}}).body, "success"));
    }

    // Waits for the n-th run of record 1 to end; its result.
    std::string runEnded(int n) {
        std::string doc;
        EXPECT_TRUE(TestSupport::waitUntil(
            [&] {
                doc = status();
                int runs = 0;
                for (auto at = doc.find("<run>"); at != std::string::npos;
                     at = doc.find("<run>", at + 1)) {
                    ++runs;
                }
                return runs >= n && HostProcess::element(doc, "running") == "0";
            },
            180000))
            << doc;
        return HostProcess::element(doc, "lastresult");
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

TEST_F(PeerFaults, AReceiverKilledInALargeFileIsFinishedCleanlyByTheNextPass) {
    writeFile(work + "/small.txt", "small");
    writeLargeFile(work + "/large.bin", 96);
    startB();
    startA();
    ASSERT_FALSE(HasFatalFailure());

    startPass();
    // Killed once part of the large file is held, before it is whole.
    const std::string partial = device + "/.backup-partial";
    ASSERT_TRUE(TestSupport::waitUntil([&] { return bytesUnder(partial) > 0; }, 120000));
    EXPECT_EQ(128 + SIGKILL, b->signal(SIGKILL));
    EXPECT_NE("completed", runEnded(1));
    EXPECT_LT(bytesUnder(partial), std::size_t(96) << 20);
    EXPECT_FALSE(Poco::File(copy + "/large.bin").exists()) << "killed too late";

    startB();
    ASSERT_TRUE(reachable());
    startPass();
    EXPECT_EQ("completed", runEnded(2)) << status();
    EXPECT_EQ(files(work), files(copy));
    EXPECT_EQ(0u, bytesUnder(partial)) << "a stray temporary is left";
    for (const auto& e : files(device))
        EXPECT_EQ(0u, e.first.find("Work/")) << "stray entry " << e.first;

    // The storing side's index names exactly the files in place, and the
    // sender marked both backed up.
    std::vector<std::string> stored =
        query(pb, "select STOREDLOCATION from BACKUP_STORED_FILES order by STOREDLOCATION");
    ASSERT_EQ(2u, stored.size());
    EXPECT_EQ(copy + "/large.bin", stored[0]);
    EXPECT_EQ(copy + "/small.txt", stored[1]);
    EXPECT_EQ(std::vector<std::string>({"1", "1"}),
              query(pa, "select SYNCED from BACKUP_SOURCE_FILES where RECID=1"));
}

TEST_F(PeerFaults, AReceiverOutOfRoomFailsThePassAndNothingIsMarkedKept) {
    writeLargeFile(work + "/large.bin", 24);
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
