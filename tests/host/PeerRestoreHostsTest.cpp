// Two real hosts on 127.0.0.1: a file deleted at the source comes back from
// the other device's copy through restorefiles, over the peer port.

#include <Poco/File.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "PeerTestSupport.h"
#include "support/HostProcess.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/WaitUntil.h"

namespace {

using TestSupport::HostProcess;
using TestSupport::TempDir;
using TestSupport::writeFile;
using namespace PeerTestSupport;

TEST(PeerRestoreHosts, ADeletedFileComesBackFromTheOtherDevice) {
    TempDir dir;
    const std::string pa = dir.join("a"), pb = dir.join("b");
    const std::string idA = HostProcess::deviceId(pa), idB = HostProcess::deviceId(pb);
    HostProcess b(pb, peerOptions("alice@two", {"--trust", "alice@one=" + idA}));
    HostProcess a(pa, peerOptions("alice@one", {"--trust", "alice@two=" + idB, "--peer-address",
                                                "alice@two=" + peerAddress(b), "--group",
                                                "home=alice@two"}));

    const std::string work = dir.join("src/Work");
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/sub/odd \"name\" & more.bin", std::string(9 * 1024 * 1024 + 3, 'z'));
    ::chmod((work + "/a.txt").c_str(), 0640);
    const auto before = files(work);
    const HostProcess::Reply added = a.api(
        "addbackuprecord", {{"localpath", work}, {"remotepeer", "alice@two"}, {"frequency", "0"}});
    ASSERT_EQ("true", HostProcess::element(added.body, "success")) << added.body;
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] {
            return HostProcess::element(a.api("getbackupstatus", {{"recid", "1"}}).body,
                                        "reachable") == "1";
        },
        20000));
    ASSERT_EQ("true",
              HostProcess::element(a.api("synconerecord", {{"recid", "1"}}).body, "success"));
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] {
            const std::string status = a.api("getbackupstatus", {{"recid", "1"}}).body;
            return HostProcess::element(status, "lastresult") == "completed" &&
                   HostProcess::element(status, "running") == "0";
        },
        60000));

    Poco::File(work + "/sub").remove(true);
    ::unlink((work + "/a.txt").c_str());
    const std::string listing = a.api("getbackupfiles", {{"recid", "1"}, {"path", ""}}).body;
    EXPECT_NE(std::string::npos, listing.find("<name>a.txt</name>")) << listing;
    EXPECT_NE(std::string::npos, listing.find("<state>missing</state>")) << listing;

    const HostProcess::Reply restore =
        a.get("/api/backup/restorefiles?recid=1&path=a.txt&path=sub");
    ASSERT_EQ("true", HostProcess::element(restore.body, "success")) << restore.body;
    EXPECT_TRUE(TestSupport::waitUntil([&] { return files(work) == before; }, 60000));
    EXPECT_EQ(before, files(work));
}

}  // namespace
