// Backups to another device, in one process: the connector hands each
// request to a storing side that takes this process for SOURCE_PEER ("user@otherhost");
// records back up to TARGET. PeerBackupTest: what the device stores, resumes
// and refuses; PeerSendTest: a pass over several puts and commits, how the
// device orders, sums and records what a commit places and what the sender
// marks of it.
#include "EngineFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/IncomingStore.h"
#include "engine/PeerProtocol.h"
#include "hostapi/HostControl.h"

namespace EngineTest {
namespace {

using Orvana::API::PeerFrame;
using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;
namespace P = Orvana::Backup::PeerProtocol;
using Fields = std::map<std::string, std::string>;

const char* const TARGET = "friend@peerhost";
const char* const SOURCE_PEER = "user@otherhost";

std::string crcOf(const std::string& data) {
    return P::crcText(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

class PeerBackupTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        store = profile.scratch("store");
        useStore(store);
        restartDevice();
        HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
            if (request.field(P::OP) == P::OP_PUT) {
                bodyBytes += static_cast<long long>(request.body.size());
                if (failOnPut > 0 && ++puts == failOnPut)
                    throw Orvana::API::PeerUnreachableException("connection reset");
            }
            std::function<PeerFrame(const PeerFrame&)> hook;
            {
                std::lock_guard<std::mutex> lock(hookMutex);
                hook = this->hook;
            }
            if (hook) {
                PeerFrame answer = hook(request);
                if (!answer.fields.empty()) return answer;
            }
            std::lock_guard<std::mutex> lock(deviceMutex);
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
                     const std::string& content, const std::string& fileId = "7") {
        return ask(from,
                   {{"op", "put"}, {"rec", rec}, {"count", "1"}, {"path_0", path},
                    {"size_0", std::to_string(content.size())}, {"mtime_0", "1000000000"},
                    {"mode_0", "420"}, {"crc_0", crcOf(content)}, {"id_0", fileId},
                    {"offset_0", "0"},
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
    // A fresh storing side: what it kept in memory is gone, as after a restart.
    void restartDevice() {
        std::lock_guard<std::mutex> lock(deviceMutex);
        incoming.reset(new IncomingStore("backup", profile.databasePath()));
    }
    void setHook(std::function<PeerFrame(const PeerFrame&)> h) {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = std::move(h);
    }
    bool synced(int id, const std::string& path) {
        return rows(id, " and SYNCED=1 and FILE='" + path + "'") == 1;
    }
    int storedRows() { return db->scalar("select count(*) from BACKUP_STORED_FILES"); }
    // Files f0..f(n-1), spread over four folders, each holding its number.
    std::string fileName(int i) { return "d" + std::to_string(i % 4) + "/f" + std::to_string(i); }
    void makeFiles(const std::string& work, int n) {
        for (int i = 0; i < n; ++i) writeFile(work + "/" + fileName(i), std::to_string(i));
    }

    std::string store;
    std::mutex deviceMutex;
    std::unique_ptr<IncomingStore> incoming;  // guarded by deviceMutex
    std::mutex hookMutex;
    // Answers a request instead of the device when it returns a frame with fields.
    std::function<PeerFrame(const PeerFrame&)> hook;  // guarded by hookMutex
    std::atomic<long long> bodyBytes{0};
    int puts = 0;
    int failOnPut = 0;
};

class PeerSendTest : public PeerBackupTest {};

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

TEST_F(PeerSendTest, ACommitsFailuresNameTheFilesThatWereNotPlaced) {
    const std::string work = src + "/Work";
    const int files = static_cast<int>(P::FILES_PER_PUT) * 3 + 5;
    makeFiles(work, files);
    const int id = addRecord(false, work, "", TARGET);
    // The temporary of one file in the third put vanishes before the commit:
    // only that file may stay unmarked.
    const std::string victim = "Work/" + fileName(57);
    std::string victimTemp;
    setHook([&](const PeerFrame& request) {
        if (request.field(P::OP) == P::OP_PUT) {
            for (size_t i = 0; i < P::FILES_PER_PUT_MAX; ++i) {
                if (request.field(P::indexed(P::PATH, i)) != victim) continue;
                victimTemp = store + "/" + SOURCE_PEER + "/.backup-partial/" +
                             request.field(P::REC) + "/" + request.field(P::indexed(P::ID, i)) +
                             "-" + request.field(P::indexed(P::SIZE, i)) + "-" +
                             request.field(P::indexed(P::MTIME, i));
            }
        } else if (request.field(P::OP) == P::OP_COMMIT && !victimTemp.empty()) {
            EXPECT_EQ(0, ::unlink(victimTemp.c_str()));
        }
        return PeerFrame();
    });

    runPass(id);
    EXPECT_EQ("completed with errors", lastRun(id).result);
    EXPECT_EQ(files - 1, syncedRows(id));
    EXPECT_EQ(files - 1, storedRows());
    EXPECT_FALSE(synced(id, work + "/" + fileName(57)));
    // Each row names the file whose content lies there.
    for (int i = 0; i < files; i += 5) {
        if (i == 57) continue;
        EXPECT_TRUE(synced(id, work + "/" + fileName(i))) << i;
        EXPECT_EQ(std::to_string(i), readFile(copyOf("Work/" + fileName(i))));
        EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_STORED_FILES where STOREDLOCATION='" +
                                copyOf("Work/" + fileName(i)) + "' and CHECKSUM='" +
                                crcOf(std::to_string(i)) + "'"));
    }

    // The next pass sends that one alone.
    setHook(nullptr);
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_EQ(files, syncedRows(id));
    EXPECT_EQ("57", readFile(copyOf(victim)));
}

TEST_F(PeerSendTest, AChunkedFileIsCheckedAsAWholeAlsoAfterTheDeviceRestarted) {
    const std::string work = src + "/Work";
    // Resumable: over the resume size, so the device keeps what it acknowledged.
    const std::string content = bytes(P::RESUME_SIZE + 2 * 1024 * 1024 + 3, 5);
    writeFile(work + "/large.bin", content);
    const int id = addRecord(false, work, "", TARGET);

    // A middle chunk arrives spoilt (its own bytes carry no sum): the file
    // as a whole does not match and is not placed.
    std::atomic<int> puts{0};
    setHook([&](const PeerFrame& request) -> PeerFrame {
        if (request.field(P::OP) != P::OP_PUT || ++puts != 3) return PeerFrame();
        PeerFrame spoilt = request;
        spoilt.body[100] ^= 1;
        std::lock_guard<std::mutex> lock(deviceMutex);
        return incoming->handle(PeerID(SOURCE_PEER), spoilt);
    });
    runPass(id);
    EXPECT_NE("completed", lastRun(id).result);
    EXPECT_EQ(0, syncedRows(id));
    EXPECT_FALSE(Poco::File(copyOf("Work/large.bin")).exists());

    // Broken off after four chunks; the device restarts and the next pass
    // resumes from what it holds on disk.
    touch(work + "/large.bin", 10);
    puts = 0;
    setHook([&](const PeerFrame& request) -> PeerFrame {
        if (request.field(P::OP) == P::OP_PUT && ++puts == 5)
            throw Orvana::API::PeerUnreachableException("connection reset");
        return PeerFrame();
    });
    runPass(id);
    EXPECT_EQ("failed", lastRun(id).result);
    restartDevice();
    setHook(nullptr);
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_EQ(1, syncedRows(id));
    EXPECT_TRUE(readFile(copyOf("Work/large.bin")) == content);
    EXPECT_TRUE(temporaries(store).empty());
}

TEST_F(PeerSendTest, AnIndexThatCannotBeWrittenMarksNothingOfTheCommit) {
    const std::string work = src + "/Work";
    makeFiles(work, 30);
    const int id = addRecord(false, work, "", TARGET);
    // The commit's last row fails: the rows before it are not kept either,
    // and the sender marks none of its files.
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER refuse BEFORE INSERT ON BACKUP_STORED_FILES WHEN "
        "(select count(*) from BACKUP_STORED_FILES) >= 29 BEGIN SELECT RAISE(ABORT, 'full'); END;");

    runPass(id);
    EXPECT_EQ("failed", lastRun(id).result);
    EXPECT_EQ(0, syncedRows(id));
    EXPECT_EQ(0, storedRows());

    db->conn().ExecuteUpdate("DROP TRIGGER refuse;");
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_EQ(30, syncedRows(id));
    EXPECT_EQ(30, storedRows());
}

TEST_F(PeerSendTest, AFilePutAgainBeforeTheCommitCountsOnceWhereItCameLast) {
    const std::string work = src + "/Work";
    writeFile(work + "/a", "a");
    const int id = addRecord(false, work, "", TARGET);
    runPass(id);  // the device now knows the record
    const std::string rec = std::to_string(id);
    const auto put = [&](const std::string& path, const std::string& content, const char* fileId) {
        return putOne(SOURCE_PEER, rec, path, content, fileId);
    };
    ASSERT_EQ("1", put("Work/x", "xx", "901").field("done_0"));
    ASSERT_EQ("1", put("Work/y", "yy", "902").field("done_0"));
    ASSERT_EQ("1", put("Work/x", "xx", "901").field("done_0"));
    // y's temporary goes; the commit's failure must name it as the first of
    // the two (x counts where it came last).
    ASSERT_EQ(0, ::unlink((store + "/" + SOURCE_PEER + "/.backup-partial/" + rec +
                           "/902-2-1000000000").c_str()));
    const PeerFrame reply = ask(SOURCE_PEER, {{"op", "commit"}, {"rec", rec}, {"count", "2"}});
    EXPECT_EQ("ok", reply.field("status")) << reply.field("reason");
    ASSERT_FALSE(reply.body.empty());
    EXPECT_EQ("0", reply.body.substr(0, reply.body.find('\0')));
    EXPECT_EQ("xx", readFile(copyOf("Work/x")));
    EXPECT_FALSE(Poco::File(copyOf("Work/y")).exists());
}

TEST_F(PeerSendTest, AChunkedFileRewrittenAfterTheScanGoesWithItsTrueSum) {
    const std::string work = src + "/Work";
    const std::string path = work + "/large.bin";
    const size_t size = static_cast<size_t>(P::CHUNK) + 5;
    writeFile(path, bytes(size, 1));
    const int id = addRecord(false, work, "", TARGET);

    // Rewritten in place after the scan summed it, same size and its
    // modification time put back: only the status-change time tells.
    const std::string rewritten = bytes(size, 2);
    EngineHooks::setAfterScan([&](int, const std::atomic<bool>&) {
        struct stat before;
        ASSERT_EQ(0, ::stat(path.c_str(), &before));
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_LE(0, fd);
        ASSERT_EQ(static_cast<ssize_t>(size), ::pwrite(fd, rewritten.data(), size, 0));
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(0, ::futimens(fd, times));
        ::close(fd);
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_EQ(1, syncedRows(id));
    EXPECT_TRUE(readFile(copyOf("Work/large.bin")) == rewritten);

    // Untouched since its scan: the scan's sum goes, and holds.
    const std::string third = bytes(size + 9, 3);
    writeFile(path, third);
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_TRUE(readFile(copyOf("Work/large.bin")) == third);
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_STORED_FILES where CHECKSUM='" +
                            crcOf(third) + "'"));
}


// The host sends no frame whose fields (names and values) pass 64 KiB: a put
// of files with long paths must split before that, or the pass would fail as
// if the device could not be reached, every time.
TEST_F(PeerSendTest, FilesWithLongPathsGoInPutsTheHostCanSend) {
    std::string deep = "Work";
    for (int level = 0; level < 11; ++level) deep += "/" + std::string(250, 'a' + level);
    const int files = 30;
    for (int i = 0; i < files; ++i) writeFile(src + "/" + deep + "/f" + std::to_string(i), "x");
    const int id = addRecord(false, src + "/Work", "", TARGET);
    std::atomic<size_t> largest{0};
    setHook([&](const PeerFrame& request) {
        size_t bytes = 0;
        for (const auto& field : request.fields) bytes += field.first.size() + field.second.size();
        if (bytes > largest) largest = bytes;
        return PeerFrame();
    });

    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_LE(largest.load(), size_t(64 * 1024));
    EXPECT_EQ(files, syncedRows(id));
    EXPECT_EQ("x", readFile(copyOf(deep + "/f7")));
}


// A device that does not say how many files a put may carry (an older one)
// gets no more than every device takes; one that says so gets more.
TEST_F(PeerSendTest, PutsCarryAsManyFilesAsTheDeviceTakes) {
    const std::string work = src + "/Work";
    makeFiles(work, 200);
    const int id = addRecord(false, work, "", TARGET);
    std::atomic<long> most{0};
    std::atomic<bool> older{true};
    setHook([&](const PeerFrame& request) -> PeerFrame {
        if (request.field(P::OP) == P::OP_PUT)
            most = std::max(most.load(), std::stol(request.field(P::COUNT)));
        if (!older || request.field(P::OP) != P::OP_BEGIN) return PeerFrame();
        std::lock_guard<std::mutex> lock(deviceMutex);
        PeerFrame reply = incoming->handle(PeerID(SOURCE_PEER), request);
        reply.fields.erase(P::FILES);
        return reply;
    });
    runPass(id);
    EXPECT_EQ(200, syncedRows(id));
    EXPECT_EQ(static_cast<long>(P::FILES_PER_PUT), most.load());

    older = false;
    most = 0;
    for (int i = 200; i < 400; ++i) writeFile(work + "/" + fileName(i), std::to_string(i));
    runPass(id);
    EXPECT_EQ("completed", lastRun(id).result);
    EXPECT_EQ(400, syncedRows(id));
    EXPECT_EQ(static_cast<long>(P::FILES_PER_PUT_MAX), most.load());
    EXPECT_EQ("321", readFile(copyOf("Work/" + fileName(321))));
}


// A chunked file whose time changed but not its bytes is kept in place on
// the device, proved by SHA-256: nothing of it travels, the copy gets the new
// time. Different bytes of the same size, or a device that does not know the
// question, get the whole file.
TEST_F(PeerSendTest, AFileWhoseTimeAloneChangedIsKeptOnTheDevice) {
    const std::string work = src + "/Work";
    const std::string large = work + "/large.bin";
    std::string content = bytes(P::CHUNK + 3, 9);
    writeFile(large, content);
    const int id = addRecord(false, work, "", TARGET);
    runPass(id);
    ASSERT_EQ(1, syncedRows(id));
    std::atomic<size_t> sent{0};
    std::atomic<bool> older{false};
    setHook([&](const PeerFrame& request) {
        if (request.field(P::OP) == P::OP_PUT) sent += request.body.size();
        PeerFrame refusal;
        if (older && request.field(P::OP) == P::OP_SAME) {
            refusal.fields[P::STATUS] = P::STATUS_REFUSED;
            refusal.fields[P::REASON] = "Unknown operation";
        }
        return refusal;
    });
    long later = 1900000000;
    const auto touchAndPass = [&] {
        struct timespec times[2] = {{later, 0}, {later, 0}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, large.c_str(), times, 0));
        sent = 0;
        runPass(id);
        EXPECT_EQ("completed", lastRun(id).result);
        EXPECT_EQ(1, syncedRows(id));
        EXPECT_EQ(content, readFile(copyOf("Work/large.bin")));
        struct stat st;
        ASSERT_EQ(0, ::stat(copyOf("Work/large.bin").c_str(), &st));
        EXPECT_EQ(later, st.st_mtim.tv_sec);
        EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_STORED_FILES where CHECKSUM='" +
                                crcOf(content) + "'"));
        later += 60;
    };

    touchAndPass();
    EXPECT_EQ(0u, sent.load());
    content[P::CHUNK / 2] ^= 1;
    writeFile(large, content);
    touchAndPass();
    EXPECT_EQ(content.size(), sent.load());
    older = true;
    touchAndPass();
    EXPECT_EQ(content.size(), sent.load());

    // Asked directly: nothing outside the copy folder is summed or kept, nor
    // a copy whose bytes differ.
    const auto ask = [&](const std::string& op, const std::string& path, const std::string& sha) {
        PeerFrame request;
        request.fields[P::OP] = op;
        request.fields[P::REC] = std::to_string(id);
        request.fields[P::SHA] = sha;
        // "same" reads the plain fields, "keep" those of a put's first file.
        for (const std::string suffix : {"", "_0"}) {
            request.fields[P::PATH + suffix] = path;
            request.fields[P::SIZE + suffix] = std::to_string(content.size());
            for (const char* field : {P::MTIME, P::MODE, P::ID, P::OFFSET, P::LEN})
                request.fields[field + suffix] = "0";
            request.fields[P::CRC + suffix] = crcOf(content);
        }
        std::lock_guard<std::mutex> lock(deviceMutex);
        return incoming->handle(PeerID(SOURCE_PEER), request);
    };
    const std::string sha = ask(P::OP_SAME, "Work/large.bin", "").field(P::SHA);
    EXPECT_EQ(64u, sha.size());
    EXPECT_EQ(P::STATUS_REFUSED, ask(P::OP_SAME, "Work/../Work/large.bin", "").field(P::STATUS));
    EXPECT_EQ(P::STATUS_REFUSED, ask(P::OP_KEEP, "../x/Work/large.bin", sha).field(P::STATUS));
    EXPECT_EQ("0", ask(P::OP_KEEP, "Work/large.bin", std::string(64, '0')).field("done_0"));
    ASSERT_EQ(0, ::rename(copyOf("Work/large.bin").c_str(), (store + "/elsewhere").c_str()));
    ASSERT_EQ(0, ::symlink((store + "/elsewhere").c_str(), copyOf("Work/large.bin").c_str()));
    EXPECT_EQ("", ask(P::OP_SAME, "Work/large.bin", "").field(P::SHA));
    EXPECT_EQ("0", ask(P::OP_KEEP, "Work/large.bin", sha).field("done_0"));
}

}  // namespace
}  // namespace EngineTest
