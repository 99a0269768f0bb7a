// Backups to another device, in one process: the connector hands each
// request to a storing side that takes this process for "user@otherhost".
#include "EngineFixture.h"
#include "PeerTestNames.h"

#include <atomic>
#include <thread>

namespace EngineTest {
namespace {

using Fields = std::map<std::string, std::string>;

class PeerBackupTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        store = profile.scratch("store");
        useStore(store);
        incoming.reset(new IncomingStore("backup", profile.databasePath()));
        HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
            if (request.field(P::OP) == P::OP_PUT) {
                bodyBytes += static_cast<long long>(request.body.size());
                if (failOnPut > 0 && ++puts == failOnPut)
                    throw Orvana::API::PeerUnreachableException("connection reset");
            }
            return incoming->handle(PeerID(SOURCE_PEER), request);
        });
    }

    void useStore(const std::string& location) {
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", location);
    }
    std::string copyOf(const std::string& name) { return store + "/" + SOURCE_PEER + "/" + name; }
    PeerFrame ask(const std::string& from, const Fields& fields, const std::string& body = "") {
        PeerFrame request;
        request.fields = fields;
        request.body = body;
        return incoming->handle(PeerID(from), request);
    }
    std::string status(const std::string& from, const Fields& fields) {
        return ask(from, fields).field("status");
    }
    // A put of one whole file with its correct CRC.
    PeerFrame putOne(const std::string& from, const std::string& rec, const std::string& path,
                     const std::string& content) {
        return ask(from,
                   {{"op", "put"}, {"rec", rec}, {"count", "1"}, {"path_0", path},
                    {"size_0", std::to_string(content.size())}, {"mtime_0", "1000000000"},
                    {"mode_0", "420"}, {"crc_0", crcOf(content)}, {"id_0", "7"}, {"offset_0", "0"},
                    {"len_0", std::to_string(content.size())}},
                   content);
    }
    // Begins the record and stores the files, placed at the commit.
    void stored(const std::string& from, const std::string& rec, const Fields& files) {
        ASSERT_EQ("ok", status(from, {{"op", "begin"}, {"rec", rec}, {"source", "/s/Work"},
                                      {"copy", "Work"}}));
        for (const auto& f : files)
            ASSERT_EQ("1", putOne(from, rec, "Work/" + f.first, f.second).field("done_0"));
        const std::string count = std::to_string(files.size());
        ASSERT_EQ("ok", status(from, {{"op", "commit"}, {"rec", rec}, {"count", count}}));
    }
    // A listing, versions or read request about record 4.
    PeerFrame browse(const std::string& from, const std::string& op, const std::string& path,
                     Fields more = {}) {
        more.insert({{"op", op}, {"rec", "4"}, {"path", path}});
        return ask(from, more);
    }
    // The names in a listing's body, in order.
    static std::vector<std::string> names(const PeerFrame& reply) {
        std::vector<std::string> out;
        size_t at = 0;
        for (int field = 0; at < reply.body.size(); ++field) {
            const size_t end = reply.body.find('\0', at);
            if (field % 7 == 0) out.push_back(reply.body.substr(at, end - at));
            at = end + 1;
        }
        return out;
    }

    std::string store;
    std::unique_ptr<IncomingStore> incoming;
    std::atomic<long long> bodyBytes{0};
    int puts = 0;
    int failOnPut = 0;
};

TEST_F(PeerBackupTest, APeerReachesOnlyItsOwnBackupAndNothingOutsideIt) {
    const std::string outside = profile.scratch("outside");
    const Fields begin = {
        {"op", "begin"}, {"rec", "4"}, {"source", "/home/u/Work"}, {"copy", "Work"}};
    ASSERT_EQ("ok", status(SOURCE_PEER, begin));

    // Another peer cannot write into that backup, nor take its folder.
    EXPECT_EQ("refused", putOne("intruder@elsewhere", "4", "Work/x", "x").field("status"));
    Fields other = begin;
    other["source"] = "/home/v/Work";
    EXPECT_EQ("ok", status("intruder@elsewhere", other));  // a folder of its own
    other["rec"] = "5";
    EXPECT_EQ("refused", status(SOURCE_PEER, other));  // same folder, other source

    // Names that would leave the backup.
    for (const char* path : {"Work/../x", "../x", "/tmp/x", "Other/x", "Work/./x", ""})
        EXPECT_NE("1", putOne(SOURCE_PEER, "4", path, "x").field("done_0")) << path;
    for (const char* copy : {"..", "a/b", "", ".backup-versions"}) {
        Fields bad = begin;
        bad["rec"] = "6";
        bad["copy"] = copy;
        EXPECT_EQ("refused", status(SOURCE_PEER, bad)) << copy;
    }

    // A link inside the backup (made on this device) is not followed.
    Poco::File(copyOf("Work")).createDirectories();
    ASSERT_EQ(0, ::symlink(outside.c_str(), copyOf("Work/sub").c_str()));
    EXPECT_EQ("1", putOne(SOURCE_PEER, "4", "Work/sub/f", "inside").field("done_0"));
    // A commit that counts other files than those held (the device restarted
    // since the puts) places nothing: the sender must not mark them.
    EXPECT_EQ("refused", status(SOURCE_PEER, {{"op", "commit"}, {"rec", "4"}, {"count", "2"}}));
    EXPECT_FALSE(Poco::File(copyOf("Work/sub/f")).exists());
    EXPECT_EQ("1", putOne(SOURCE_PEER, "4", "Work/sub/f", "inside").field("done_0"));
    const PeerFrame committed = ask(SOURCE_PEER, {{"op", "commit"}, {"rec", "4"}, {"count", "1"}});
    EXPECT_EQ("ok", committed.field("status"));
    EXPECT_EQ("", committed.body);  // nothing failed to be placed
    EXPECT_TRUE(snapshot(outside).empty());
    EXPECT_EQ("inside", readFile(copyOf("Work/sub/f")));

    // The peer's own folder swapped for a link: refused.
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/intruder@elsewhere2").c_str()));
    EXPECT_EQ("refused", status("intruder@elsewhere2", begin));
    EXPECT_TRUE(snapshot(outside).empty());

    // Malformed requests.
    EXPECT_EQ("refused", status(SOURCE_PEER, {{"op", "put"}, {"rec", "4"}, {"count", "1"}}));
    EXPECT_EQ("refused", status(SOURCE_PEER, {{"op", "put"}, {"rec", "4"}, {"count", "99999"}}));
    EXPECT_EQ("refused", status(SOURCE_PEER, {{"op", "nonsense"}, {"rec", "4"}}));
    EXPECT_EQ("refused", status(SOURCE_PEER, {{"op", "begin"}, {"rec", "-1"}}));
    const Fields lying = {
        {"op", "put"}, {"rec", "4"}, {"count", "1"}, {"path_0", "Work/y"}, {"size_0", "10"},
        {"mtime_0", "1"}, {"mode_0", "420"}, {"crc_0", "00000000"}, {"id_0", "1"},
        {"offset_0", "0"}, {"len_0", "10"}};
    EXPECT_EQ("refused", ask(SOURCE_PEER, lying, "short").field("status"));
}

// The host calls the storing side on several listener threads at once.
TEST_F(PeerBackupTest, SeveralPeersStoreAtTheSameTime) {
    const std::vector<std::string> peers = {"a@one", "b@two", "c@three"};
    for (const std::string& peer : peers)
        ASSERT_EQ("ok", status(peer, {{"op", "begin"}, {"rec", "1"}, {"source", "/s/Work"},
                                      {"copy", "Work"}}));
    std::vector<std::thread> threads;
    std::atomic<int> stored{0};
    for (const std::string& peer : peers) {
        threads.emplace_back([&, peer] {
            for (int i = 0; i < 20; ++i) {
                const std::string name = "Work/f" + std::to_string(i % 5);
                stored += putOne(peer, "1", name, peer + std::to_string(i)).field("done_0") == "1";
                ask(peer, {{"op", "commit"}, {"rec", "1"}});
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(60, stored.load());
    for (const std::string& peer : peers)
        EXPECT_EQ(peer + "19", readFile(store + "/" + peer + "/Work/f4"));
}

// Odd names and deleted files: see the two-host tests.
TEST_F(PeerBackupTest, TreeIsStoredResumedAndOnlyChangesTravelAgain) {
    const std::string work = src + "/Work";
    const std::string content = bytes(P::RESUME_SIZE + 3 * 1024 * 1024 + 5, 9);
    writeFiles(work, {{"large.bin", content}, {"small.txt", "small"}});
    // The folder keeps its mode and time there too (set last, as writing
    // into a folder changes its time).
    ::chmod(work.c_str(), 0750);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 123456789}};
    ::utimensat(AT_FDCWD, work.c_str(), times, 0);
    const int id = addRecord(false, work, "", TARGET);

    failOnPut = 4;  // three chunks arrive, the connection breaks on the fourth
    runPass(id);
    EXPECT_EQ("failed", lastRun(id).result);
    EXPECT_EQ(0, syncedRows(id));

    // The large file resumes from what the device holds.
    failOnPut = 0;
    bodyBytes = 0;
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result) << lastRun(id).reason;
    EXPECT_EQ(static_cast<long long>(content.size() + 5 - 3 * P::CHUNK), bodyBytes.load());
    EXPECT_EQ(snapshotTree(src), snapshotTree(copyOf("")));
    EXPECT_EQ(2, syncedRows(id));
    EXPECT_TRUE(temporaries(store).empty());

    // Unchanged: nothing is sent. Changed and added files travel alone.
    bodyBytes = 0;
    runPass(id);
    EXPECT_EQ(0, bodyBytes);
    changeFile(work + "/small.txt", "small, second");
    writeFiles(work, {{"added.txt", "added"}, {"empty", ""}});
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result) << lastRun(id).reason;
    EXPECT_EQ(std::string("small, second").size() + 5, static_cast<size_t>(bodyBytes.load()));
    EXPECT_EQ(snapshot(work), snapshot(copyOf("Work")));
}

// A full quota fails only what does not fit, and says so; a store missing on
// the device fails the attempt (an unreachable device is the same failure as
// for another peer's record).
TEST_F(PeerBackupTest, QuotaOrAMissingStoreOnTheDeviceMarksNothingUnsent) {
    db->setConfigValue("backup", "PEER_QUOTA_BYTES", "1000");
    const std::string work = src + "/Work";
    writeFiles(work, {{"a.bin", bytes(600, 1)}, {"b.bin", bytes(600, 2)}});
    const int id = addRecord(false, work, "", TARGET);
    runPass(id);
    EXPECT_EQ("completed with errors", lastRun(id).result);
    EXPECT_NE(std::string::npos, lastRun(id).reason.find("quota")) << lastRun(id).reason;
    EXPECT_EQ(1, syncedRows(id));
    EXPECT_TRUE(Poco::File(copyOf("Work/a.bin")).exists());
    EXPECT_FALSE(Poco::File(copyOf("Work/b.bin")).exists());

    useStore(store + "/gone");
    runPass(id);
    EXPECT_EQ("failed", lastRun(id).result);
    EXPECT_NE(std::string::npos, lastRun(id).reason.find("is not there")) << lastRun(id).reason;
    EXPECT_EQ(1, syncedRows(id));
}

TEST_F(PeerBackupTest, NothingOutsideTheDevicesOwnCopyIsRead) {
    const std::string outside = profile.scratch("outside");
    writeFile(outside + "/secret.txt", "secret");
    stored(SOURCE_PEER, "4", {{"a.txt", "alpha"}});
    // A link planted in the copy on this device, to a folder and to a file.
    ASSERT_EQ(0, ::symlink(outside.c_str(), copyOf("Work/linked").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret.txt").c_str(), copyOf("Work/s.txt").c_str()));
    ASSERT_EQ(0, ::symlink(outside.c_str(), copyOf("Elsewhere").c_str()));

    std::vector<PeerFrame> replies;
    EXPECT_EQ((std::vector<std::string>{"a.txt"}), names(browse(SOURCE_PEER, "list", "")));
    for (const std::string& path :
         {std::string("linked"), std::string("linked/secret.txt"), std::string("s.txt"),
          std::string("../Elsewhere/secret.txt"), std::string(".."), std::string("a.txt/.."),
          "/" + outside + "/secret.txt", outside + "/secret.txt", std::string("./../../outside")}) {
        for (const char* op : {"list", "versions", "read"}) {
            const PeerFrame reply = browse(SOURCE_PEER, op, path);
            EXPECT_TRUE(reply.field("status") == "refused" || reply.field("kind") == "none")
                << op << " " << path;
            replies.push_back(reply);
        }
    }
    EXPECT_EQ("refused",
              browse(SOURCE_PEER, "read", "a.txt", {{"version", "../../a.txt"}}).field("status"));
    const std::string tooLong = std::to_string(P::CHUNK + 1);
    EXPECT_EQ("refused", browse(SOURCE_PEER, "read", "a.txt", {{"len", tooLong}}).field("status"));

    // Another device asking for the same record number sees its own copy,
    // or none: never the owner's.
    const std::string other = "intruder@elsewhere";
    for (const char* op : {"list", "versions", "read"})
        replies.push_back(browse(other, op, "a.txt"));
    EXPECT_EQ("none", browse(other, "list", "").field("kind"));
    EXPECT_EQ("refused", browse(other, "read", "a.txt").field("status"));
    stored(other, "4", {{"mine.txt", "mine"}});
    EXPECT_EQ((std::vector<std::string>{"mine.txt"}), names(browse(other, "list", "")));
    EXPECT_EQ("refused", browse(other, "read", "a.txt").field("status"));

    for (const PeerFrame& reply : replies) {
        EXPECT_EQ(std::string::npos, reply.body.find("secret"));
        EXPECT_EQ(std::string::npos, reply.body.find("alpha"));
    }
}

}  // namespace
}  // namespace EngineTest
