// Earlier copies kept by a pass: what replaces a file of the copy makes the
// old one a version, a cut-off pass loses nothing, and space is freed.
#include <Poco/Exception.h>

#include <algorithm>

#include "EngineFixture.h"
#include "engine/EngineClock.h"
#include "engine/VersionName.h"

namespace EngineTest {
namespace {

using Orvana::Backup::EngineClock;
using Orvana::Backup::VersionName;

class CopyVersionsTest : public EngineTestBase {
protected:
    // The contents of the versions in a folder of the versions, oldest first.
    std::vector<std::string> keptContents(const std::string& folder = "Docs") {
        const std::string path = dst + "/.backup-versions/" + folder;
        std::vector<std::pair<std::pair<Poco::Timestamp, unsigned>, std::string>> order;
        for (const std::string& name : entries(path)) {
            std::string original;
            Poco::Timestamp when;
            unsigned attempt = 0;
            EXPECT_TRUE(VersionName::parse(name, original, when, attempt)) << name;
            order.push_back({{when, attempt}, readFile(path + "/" + name)});
        }
        std::sort(order.begin(), order.end());
        std::vector<std::string> out;
        for (const auto& v : order) out.push_back(v.second);
        return out;
    }
};

TEST_F(CopyVersionsTest, APassCutOffBetweenKeepingAndReplacingLosesNothing) {
    const int id = backedUpDocs({{"sub/notes.txt", "good"}});
    changeFile(src + "/Docs/sub/notes.txt", "one line", 10);

    EngineHooks::setAfterVersionKept(
        [](const std::string&, const std::atomic<bool>&) { throw Poco::IOException("cut off"); });
    runPass(id);
    EngineHooks::clear();
    // The old content is reachable in both places.
    EXPECT_EQ("good", readFile(dst + "/Docs/sub/notes.txt"));
    EXPECT_EQ((std::vector<std::string>{"good"}), keptContents("Docs/sub"));

    runPass(id);
    EXPECT_EQ("one line", readFile(dst + "/Docs/sub/notes.txt"));
    EXPECT_EQ((std::vector<std::string>{"good"}), keptContents("Docs/sub"));
    EXPECT_EQ(snapshot(src + "/Docs").at("sub/notes.txt"),
              snapshot(dst + "/Docs").at("sub/notes.txt"));

    // Cut off after the rename, before the index marks the file: the next
    // pass copies it again but finds nothing earlier to keep.
    changeFile(src + "/Docs/sub/notes.txt", "third", 20);
    int flushes = 0;
    EngineHooks::setAfterSync([&flushes](int, const std::atomic<bool>&) {
        if (++flushes == 2) throw Poco::IOException("cut off");
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ(2, flushes);
    EXPECT_EQ("third", readFile(dst + "/Docs/sub/notes.txt"));
    runPass(id);
    EXPECT_EQ((std::vector<std::string>{"good", "one line"}), keptContents("Docs/sub"));
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
}

TEST_F(CopyVersionsTest, ShortOfSpaceOldVersionsGoAndThePassSaysSo) {
    const int id = backedUpDocs({{"a.txt", "a1"}, {"b.txt", "b1"}});
    changeFile(src + "/Docs/a.txt", "a2", 10);
    changeFile(src + "/Docs/b.txt", "b2", 10);
    runPass(id);

    // Short of space until at most one version is left.
    const std::string folder = dst + "/.backup-versions/Docs";
    EngineHooks::setFreeSpace(
        [folder](unsigned long long& freeBytes, unsigned long long& totalBytes) {
            std::vector<std::string> names;
            Poco::File(folder).list(names);
            totalBytes = 100ULL << 30;
            freeBytes = names.size() <= 1 ? 10ULL << 30 : 0;
            return true;
        });
    changeFile(src + "/Docs/a.txt", "a3", 20);
    runPass(id);
    // Three versions, the two oldest removed: the one just made stays.
    EXPECT_EQ((std::vector<std::string>{"a2"}), keptContents());
    EXPECT_EQ("a3", readFile(dst + "/Docs/a.txt"));
    EXPECT_EQ("b2", readFile(dst + "/Docs/b.txt"));
    EXPECT_TRUE(hasActivity(id, "0:2 old version(s) removed to keep free space"));
}

// A name that appears in the copy while its file is copied as new is
// replaced like any other, and what was there is kept as a version.
TEST_F(CopyVersionsTest, ANameTakenDuringTheCopyIsReplacedAndKept) {
    const int id = backedUpDocs({{"old.txt", "x"}});
    writeFile(src + "/Docs/late.txt", "from the source");
    bool once = true;
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>&) {
        if (source == src + "/Docs/late.txt" && once) {
            once = false;
            writeFile(dst + "/Docs/late.txt", "put there meanwhile");
        }
    });
    runPass(id);
    EXPECT_EQ("from the source", readFile(dst + "/Docs/late.txt"));
    EXPECT_EQ((std::vector<std::string>{"put there meanwhile"}), keptContents());
    EXPECT_TRUE(temporaries(dst).empty());
}

// Each replaced copy becomes one version; versions off keeps none; "keep the
// last N" thins its own record's versions and no other record's at the same
// destination.
TEST_F(CopyVersionsTest, EachRecordsSettingsDecideWhatItKeeps) {
    // One second for every version: only their attempt tells them apart.
    EngineClock::pin(EngineClock::localNow());
    const std::vector<std::string> names{"Other", "Off", "Docs"};
    std::vector<int> ids;
    for (const std::string& name : names) {
        writeFile(src + "/" + name + "/f.txt", "0");
        ids.push_back(addRecord(false, src + "/" + name, dst));
        runPass(ids.back());
    }
    EXPECT_FALSE(Poco::File(dst + "/.backup-versions").exists());  // nothing replaced yet
    BackupDB::RECORD_SETTINGS off, lastTwo;
    off.versions = false;
    lastTwo.keepLastOnly = true;
    lastTwo.keepLast = 2;
    ASSERT_TRUE(db->setRecordSettings(ids[1], off));
    ASSERT_TRUE(db->setRecordSettings(ids[2], lastTwo));
    for (int round = 1; round <= 3; ++round) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            changeFile(src + "/" + names[i] + "/f.txt", std::to_string(round), 10 * round);
            runPass(ids[i]);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), keptContents("Docs"));
    EXPECT_EQ((std::vector<std::string>{"0", "1", "2"}), keptContents("Other"));
    EXPECT_FALSE(Poco::File(dst + "/.backup-versions/Off").exists());
    EXPECT_EQ("3", readFile(dst + "/Off/f.txt"));
    // Nothing changed: no version.
    runPass(ids[0]);
    EXPECT_EQ(3u, keptContents("Other").size());
}

}  // namespace
}  // namespace EngineTest
