// The storing side's answers to a device that browses and reads back its
// copy: only that device's own copy of that record, nothing through a link,
// nothing outside.
#include <Poco/File.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>

#include "EngineFixture.h"
#include "engine/IncomingStore.h"
#include "engine/PeerProtocol.h"

namespace EngineTest {
namespace {

using Orvana::API::PeerFrame;
using Orvana::Backup::IncomingStore;
using Orvana::Data::PeerID;
using TestSupport::writeFile;
namespace P = Orvana::Backup::PeerProtocol;

const char* const OWNER = "user@otherhost";
const char* const INTRUDER = "intruder@elsewhere";

class PeerBrowseAnswersTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        store = profile.scratch("store");
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", store);
        incoming.reset(new IncomingStore("backup", profile.databasePath()));
    }
    PeerFrame ask(const std::string& from, std::map<std::string, std::string> fields) {
        PeerFrame request;
        request.fields = std::move(fields);
        return incoming->handle(PeerID(from), request);
    }
    // Begins the record and stores the files through the ordinary put.
    void stored(const std::string& from, const std::string& rec,
                const std::map<std::string, std::string>& files) {
        ASSERT_EQ(
            "ok",
            ask(from, {{"op", "begin"}, {"rec", rec}, {"source", "/s/Work"}, {"copy", "Work"}})
                .field("status"));
        for (const auto& f : files) {
            char crc[16];
            std::snprintf(crc, sizeof crc, "%08lx",
                          crc32(0L, reinterpret_cast<const Bytef*>(f.second.data()),
                                static_cast<uInt>(f.second.size())));
            PeerFrame put;
            put.fields = {{"op", "put"},
                          {"rec", rec},
                          {"count", "1"},
                          {"path_0", "Work/" + f.first},
                          {"size_0", std::to_string(f.second.size())},
                          {"mtime_0", "1000000007"},
                          {"mode_0", "416"},
                          {"crc_0", crc},
                          {"id_0", "1"},
                          {"offset_0", "0"},
                          {"len_0", std::to_string(f.second.size())}};
            put.body = f.second;
            ASSERT_EQ("1", incoming->handle(PeerID(from), put).field("done_0")) << f.first;
        }
        // Files take their places at the commit.
        ASSERT_EQ("ok", ask(from, {{"op", "commit"},
                                   {"rec", rec},
                                   {"count", std::to_string(files.size())}})
                            .field("status"));
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
    std::string copyOf(const std::string& peer, const std::string& name) {
        return store + "/" + peer + "/" + name;
    }

    std::string store;
    std::unique_ptr<IncomingStore> incoming;
};

TEST_F(PeerBrowseAnswersTest, ADeviceListsAndReadsItsOwnCopy) {
    stored(OWNER, "4", {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}, {"big", std::string(300, 'x')}});
    const PeerFrame root = ask(OWNER, {{"op", "list"}, {"rec", "4"}, {"path", ""}});
    EXPECT_EQ("folder", root.field("kind"));
    EXPECT_EQ((std::vector<std::string>{"sub", "a.txt", "big"}), names(root));
    EXPECT_EQ("3", root.field("count"));

    const PeerFrame file = ask(OWNER, {{"op", "list"}, {"rec", "4"}, {"path", "sub/b.txt"}});
    EXPECT_EQ("file", file.field("kind"));
    EXPECT_EQ("4", file.field("size"));
    EXPECT_EQ("1000000007", file.field("mtime"));
    EXPECT_EQ("416", file.field("mode"));
    EXPECT_EQ("none", ask(OWNER, {{"op", "list"}, {"rec", "4"}, {"path", "nope"}}).field("kind"));

    // Read in pieces: each reply gives the file's facts and only the bytes asked for.
    const PeerFrame piece = ask(
        OWNER, {{"op", "read"}, {"rec", "4"}, {"path", "big"}, {"offset", "290"}, {"len", "100"}});
    EXPECT_EQ("ok", piece.field("status"));
    EXPECT_EQ("300", piece.field("size"));
    EXPECT_EQ(std::string(10, 'x'), piece.body);
    EXPECT_EQ(
        "refused",
        ask(OWNER,
            {{"op", "read"}, {"rec", "4"}, {"path", "big"}, {"len", std::to_string(P::CHUNK + 1)}})
            .field("status"));
    EXPECT_EQ("refused",
              ask(OWNER, {{"op", "read"}, {"rec", "4"}, {"path", "sub"}}).field("status"));

    // An earlier version, read by its stamp.
    stored(OWNER, "4", {{"a.txt", "alpha, second"}});
    const PeerFrame versions = ask(OWNER, {{"op", "versions"}, {"rec", "4"}, {"path", "a.txt"}});
    ASSERT_EQ("1", versions.field("count"));
    const std::string stamp = names(versions).front();
    const PeerFrame old = ask(OWNER, {{"op", "read"},
                                      {"rec", "4"},
                                      {"path", "a.txt"},
                                      {"version", stamp},
                                      {"offset", "0"},
                                      {"len", "100"}});
    EXPECT_EQ("alpha", old.body);
    EXPECT_EQ(
        "refused",
        ask(OWNER, {{"op", "read"}, {"rec", "4"}, {"path", "a.txt"}, {"version", "../../a.txt"}})
            .field("status"));
}

TEST_F(PeerBrowseAnswersTest, NothingOutsideTheDevicesOwnCopyIsRead) {
    const std::string outside = profile.scratch("outside");
    writeFile(outside + "/secret.txt", "secret");
    stored(OWNER, "4", {{"a.txt", "alpha"}});
    // A link planted in the copy on this device, to a folder and to a file.
    ASSERT_EQ(0, ::symlink(outside.c_str(), copyOf(OWNER, "Work/linked").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret.txt").c_str(), copyOf(OWNER, "Work/s.txt").c_str()));
    ASSERT_EQ(0, ::symlink(outside.c_str(), copyOf(OWNER, "Elsewhere").c_str()));

    std::vector<PeerFrame> replies;
    EXPECT_EQ((std::vector<std::string>{"a.txt"}),
              names(ask(OWNER, {{"op", "list"}, {"rec", "4"}, {"path", ""}})));
    const std::vector<std::string> paths = {"linked",
                                            "linked/secret.txt",
                                            "s.txt",
                                            "../Elsewhere/secret.txt",
                                            "..",
                                            "a.txt/..",
                                            "/" + outside + "/secret.txt",
                                            outside + "/secret.txt",
                                            "./../../outside"};
    for (const std::string& path : paths) {
        for (const char* op : {"list", "versions", "read"}) {
            const PeerFrame reply = ask(OWNER, {{"op", op}, {"rec", "4"}, {"path", path}});
            EXPECT_TRUE(reply.field("status") == "refused" || reply.field("kind") == "none")
                << op << " " << path;
            replies.push_back(reply);
        }
    }

    // Another device asking for the same record number sees its own copy,
    // or none: never the owner's.
    for (const char* op : {"list", "versions", "read"})
        replies.push_back(ask(INTRUDER, {{"op", op}, {"rec", "4"}, {"path", "a.txt"}}));
    EXPECT_EQ("none", ask(INTRUDER, {{"op", "list"}, {"rec", "4"}, {"path", ""}}).field("kind"));
    EXPECT_EQ("refused",
              ask(INTRUDER, {{"op", "read"}, {"rec", "4"}, {"path", "a.txt"}}).field("status"));
    stored(INTRUDER, "4", {{"mine.txt", "mine"}});
    EXPECT_EQ((std::vector<std::string>{"mine.txt"}),
              names(ask(INTRUDER, {{"op", "list"}, {"rec", "4"}, {"path", ""}})));
    EXPECT_EQ("refused",
              ask(INTRUDER, {{"op", "read"}, {"rec", "4"}, {"path", "a.txt"}}).field("status"));

    for (const PeerFrame& reply : replies) {
        EXPECT_EQ(std::string::npos, reply.body.find("secret"));
        EXPECT_EQ(std::string::npos, reply.body.find("alpha"));
    }
}

}  // namespace
}  // namespace EngineTest
