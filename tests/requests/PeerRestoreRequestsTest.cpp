// Browsing and restoring a record whose copy lies on another device, with
// the real service on both ends: the connector hands each exchange to this
// same service's storing side as if it came from this device.

#include <Poco/File.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "RequestsFixture.h"
#include "hostapi/HostControl.h"

namespace {

using Orvana::API::PeerFrame;
using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;
using TestSupport::readFile;
using TestSupport::writeFile;

const char* const DEVICE = "friend@peerhost";
const char* const SELF = "me@myhost";

class PeerRestoreRequestsTest : public RequestsTest {
protected:
    void SetUp() override {
        RequestsTest::SetUp();
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", profile.scratch("incoming"));
        HostControl::setPeerProbe([this](const PeerID&) { return !offline.load(); });
        HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
            if (offline) throw Orvana::API::PeerUnreachableException("connection refused");
            return HostControl::deliverPeerRequest(PeerID(SELF), request);
        });
    }
    void TearDown() override {
        RequestsTest::TearDown();
        HostControl::setPeerConnector(HostControl::PeerConnector());
        HostControl::setPeerProbe(HostControl::PeerProbe());
    }

    int backedUpToDevice(const std::string& source, bool isFile = false) {
        int id = 0;
        EXPECT_TRUE(db->addBackupRecord(DEVICE, isFile ? 1 : 0, 1, source, "", "", 3, -1, -1, id));
        pass(id);
        return id;
    }
    // The document with the record's id taken out, and folders' times (the
    // device does not keep them) left out.
    static std::string shape(const std::string& doc) {
        std::string out = std::regex_replace(doc, std::regex("<recid>[0-9]+</recid>"), "");
        return std::regex_replace(
            out, std::regex("(<type>folder</type>.*?</readablesize>)<modified>[^<]*</modified>"),
            "$1");
    }
    // Files with content, mode and time (folders' attributes are the
    // storing side's business).
    static std::map<std::string, TestSupport::TreeNode> files(const std::string& root) {
        std::map<std::string, TestSupport::TreeNode> out;
        for (const auto& e : TestSupport::snapshotTree(root, false))
            if (e.second.kind != 'd') out.insert(e);
        return out;
    }

    std::atomic<bool> offline{false};
};

TEST_F(PeerRestoreRequestsTest, BrowsingTheDeviceGivesTheDocumentsOfALocalCopy) {
    writeFile(src + "/a.txt", "alpha");
    writeFile(src + "/odd & <name>\n.txt", "odd");
    writeFile(src + "/sub/deep.bin", std::string(70000, 'd'));
    setTime(src + "/a.txt", 1000000000, 123456789);
    const int onDevice = backedUpToDevice(src);
    const int local = backedUp(src, profile.scratch("localstore"));
    writeFile(src + "/a.txt", "alpha, changed");  // "changed" against both copies

    for (const std::string path : {"", "sub"}) {
        const std::string fromDevice = ask("getbackupfiles", onDevice, {{"path", path}});
        EXPECT_NE(std::string::npos, fromDevice.find("<entry>")) << fromDevice;
        EXPECT_EQ(shape(ask("getbackupfiles", local, {{"path", path}})), shape(fromDevice));
    }
    EXPECT_EQ(result("getbackupfiles", false, "No such folder in the backup"),
              ask("getbackupfiles", onDevice, {{"path", "nope"}}));
    EXPECT_EQ(result("getbackupfiles", false, "The path is not inside the backup"),
              ask("getbackupfiles", onDevice, {{"path", "../x"}}));

    // A second pass keeps the old content as a version on the device.
    pass(onDevice);
    const std::string versions = ask("getfileversions", onDevice, {{"path", "a.txt"}});
    EXPECT_EQ("14", element(versions, "size", 0));  // the current one
    EXPECT_EQ("5", element(versions, "size", 1));
    EXPECT_NE(std::string::npos,
              ask("getbackupfiles", onDevice, {{"path", ""}}).find("<versions>1</versions>"));
    // As it was at a moment before that pass: the same on both.
    pass(local);
    auto then = [&](int id) {
        return ask("getbackupfiles", id, {{"path", ""}, {"at", "20010101-000000"}});
    };
    EXPECT_NE(std::string::npos, then(onDevice).find("<size>5</size>")) << then(onDevice);
    EXPECT_EQ(shape(then(local)), shape(then(onDevice)));
}

TEST_F(PeerRestoreRequestsTest, FilesFoldersAndVersionsComeBackFromTheDevice) {
    writeFile(src + "/gone.txt", "deleted later");
    writeFile(src + "/edited.txt", "first version");
    writeFile(src + "/sub/big.bin", std::string(9 * 1024 * 1024 + 5, 'b'));  // more than a chunk
    ::chmod((src + "/gone.txt").c_str(), 0640);
    ::chmod((src + "/sub").c_str(), 0750);
    setTime(src + "/gone.txt", 1000000000, 123456789);
    setTime(src + "/edited.txt", 1100000000);
    const auto before = files(src);
    const int id = backedUpToDevice(src);

    Poco::File(src + "/gone.txt").remove();
    Poco::File(src + "/sub").remove(true);
    writeFile(src + "/edited.txt", "second version, longer");
    EXPECT_EQ(completed, restore(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ(before, files(src));
    // The edit it replaced is kept on this device; nothing fetched is left.
    const std::string holding =
        profile.userDataDir() + "/backup/.backup-peer-restore/" + std::to_string(id);
    EXPECT_TRUE(holds(holding, "second version, longer"));
    EXPECT_FALSE(Poco::File(holding + "/Docs").exists());

    // A version of the device: one file as it was before the last pass.
    writeFile(src + "/edited.txt", "third");
    pass(id);
    const std::string stamp =
        element(ask("getfileversions", id, {{"path", "edited.txt"}}), "stamp");
    EXPECT_EQ(completed,
              restore(id, {{"path", "edited.txt"}, {"version", stamp}, {"target", there}}));
    EXPECT_EQ("first version", readFile(there + "/edited.txt"));
    EXPECT_EQ(result("restorefiles", false, "No such version of this file"),
              ask("restorefiles", id, {{"path", "edited.txt"}, {"version", "20010101-000000"}}));

    // A file record: its one file, back where it was.
    const std::string file = profile.scratch("one") + "/report.txt";
    writeFile(file, "report");
    setTime(file, 1000000000, 5);
    const auto one = files(profile.scratch("one"));
    const int single = backedUpToDevice(file, true);
    Poco::File(file).remove();
    EXPECT_EQ("Restore of [" + file + "] completed.", restore(single, {{"path", "report.txt"}}));
    EXPECT_EQ(one, files(profile.scratch("one")));
}

TEST_F(PeerRestoreRequestsTest, AnUnreachableDeviceIsSaidSo) {
    writeFile(src + "/a.txt", "alpha");
    const int id = backedUpToDevice(src);
    offline = true;
    const std::string unreachable = "The device [" + std::string(DEVICE) + "] cannot be reached";
    for (const char* op : {"getbackupfiles", "getfileversions", "restorefiles"})
        EXPECT_EQ(result(op, false, unreachable), ask(op, id, {{"path", "a.txt"}}));

    // Lost after the request was taken: the restore fails with that reason
    // and writes nothing.
    offline = false;
    Poco::File(src + "/a.txt").remove();
    HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
        if (request.field("op") == "read")
            throw Orvana::API::PeerUnreachableException("connection reset");
        return HostControl::deliverPeerRequest(PeerID(SELF), request);
    });
    EXPECT_EQ(failed, restore(id, {{"path", ""}}));
    EXPECT_FALSE(activityTexts(unreachable).empty());
    EXPECT_FALSE(Poco::File(src + "/a.txt").exists());
}

}  // namespace
