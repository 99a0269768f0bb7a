// Two real hosts on 127.0.0.1, each trusting the other: a record of one
// backs a tree up into the other's store location, over the peer port.

#include <Poco/File.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/String.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
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

int peerPort(const HostProcess& host) {
    const HostProcess::Reply reply = host.get("/api/host/devices");
    if (reply.status != 200) return 0;
    return Poco::JSON::Parser()
        .parse(reply.body)
        .extract<Poco::JSON::Object::Ptr>()
        ->getValue<int>("port");
}

// The files of a tree (folders' times and modes are not sent).
std::map<std::string, TestSupport::TreeNode> files(const std::string& root) {
    std::map<std::string, TestSupport::TreeNode> out;
    for (const auto& e : TestSupport::snapshotTree(root, false))
        if (e.second.kind != 'd') out.insert(e);
    return out;
}

TEST(PeerBackupHosts, ATreeIsBackedUpToTheOtherDevice) {
    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    const std::string idA = deviceId(pa), idB = deviceId(pb);
    HostProcess b(pb, {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", "alice@two",
                       "--trust", "alice@one=" + idA});
    ASSERT_GT(peerPort(b), 0);
    HostProcess a(pa, {"--peer-bind", "127.0.0.1", "--peer-port", "0", "--peer", "alice@one",
                       "--trust", "alice@two=" + idB, "--peer-address",
                       "alice@two=127.0.0.1:" + std::to_string(peerPort(b)), "--group",
                       "home=alice@two"});

    const std::string work = dir.join("src/Work");
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/sub/deep/it's \"quoted\" & blank.txt", "q");
    writeFile(work + "/odd-\xff\xfe", "o");
    writeFile(work + "/gone.txt", "gone");
    ::chmod((work + "/a.txt").c_str(), 0640);
    const HostProcess::Reply added = a.api(
        "addbackuprecord", {{"localpath", work}, {"remotepeer", "alice@two"}, {"frequency", "0"}});
    ASSERT_EQ("true", HostProcess::element(added.body, "success")) << added.body;
    EXPECT_TRUE(TestSupport::waitUntil(
        [&] { return HostProcess::element(a.api("getbackupstatus", {{"recid", "1"}}).body,
                                          "reachable") == "1"; },
        20000));

    // A pass, and its result as the status document tells it.
    auto pass = [&](int n) {
        ASSERT_EQ("true", HostProcess::element(a.api("synconerecord", {{"recid", "1"}}).body,
                                               "success"));
        std::string status;
        ASSERT_TRUE(TestSupport::waitUntil(
            [&] {
                status = a.api("getbackupstatus", {{"recid", "1"}, {"history", "1"}}).body;
                size_t runs = 0;
                for (size_t at = status.find("<run>"); at != std::string::npos;
                     at = status.find("<run>", at + 1)) {
                    ++runs;
                }
                return static_cast<int>(runs) >= n &&
                       HostProcess::element(status, "running") == "0";
            },
            60000));
        EXPECT_EQ("completed", HostProcess::element(status, "lastresult")) << status;
    };
    const std::string copy = pb + "/data/backup/alice@one/Work";
    pass(1);
    EXPECT_EQ(files(work), files(copy));

    // Changed, added and deleted files; the deleted one's copy stays.
    writeFile(work + "/a.txt", "alpha, changed");
    writeFile(work + "/sub/new.bin", std::string(200000, 'n'));
    ::unlink((work + "/gone.txt").c_str());
    pass(2);
    auto stored = files(copy);
    ASSERT_EQ(1u, stored.erase("gone.txt"));
    EXPECT_EQ(files(work), stored);
}

}  // namespace
