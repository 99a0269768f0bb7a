// Earlier versions: their names, the retention rule and pruning of a versions
// folder; then what a pass keeps of what it replaces in the copy (a cut-off pass
// loses nothing, space is freed; entries whose type changed in the source and
// links found in the copy are moved aside instead of blocking the record or
// being written through), and the copy's folders.
#include <Poco/DateTime.h>
#include <Poco/Exception.h>

#include <regex>

#include "EngineFixture.h"
#include "engine/EngineClock.h"
#include "engine/VersionName.h"
#include "engine/VersionRetention.h"
#include "engine/VersionsFolder.h"

namespace EngineTest {
namespace {

const Poco::Int64 H = VersionRetention::HOUR;
const Poco::Int64 D = VersionRetention::DAY;

Poco::Timestamp at(int year, int month, int day, int hour, int minute, int second) {
    return Poco::DateTime(year, month, day, hour, minute, second).timestamp();
}

std::vector<size_t> keptIndices(const VersionRetention& retention,
                                const std::vector<Poco::Int64>& ages) {
    const std::vector<bool> kept = retention.keep(ages);
    std::vector<size_t> out;
    for (size_t i = 0; i < kept.size(); ++i)
        if (kept[i]) out.push_back(i);
    return out;
}

TEST(VersionName, NamesRoundTripIncludingOddOnes) {
    const Poco::Timestamp when = at(2026, 3, 4, 5, 6, 7);
    struct Case {
        std::string name;
        unsigned attempt;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {"notes.txt", 1, "notes~20260304-050607.txt"},
        {"archive.tar.gz", 1, "archive.tar~20260304-050607.gz"},
        {"Makefile", 1, "Makefile~20260304-050607"},
        {".profile", 1, ".profile~20260304-050607"},  // a leading dot is no extension
        {".config.json", 1, ".config~20260304-050607.json"},
        {"trailing.", 1, "trailing~20260304-050607."},
        {"a~b.txt", 1, "a~b~20260304-050607.txt"},
        {"x.y~z", 1, "x~20260304-050607.y~z"},
        {"twice.txt", 3, "twice~20260304-050607-3.txt"},
        {"bad\xff\n\tname.d\xe4t", 1, "bad\xff\n\tname~20260304-050607.d\xe4t"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.kept, VersionName::of(c.name, when, c.attempt)) << c.name;
        std::string name;
        Poco::Timestamp parsed;
        unsigned attempt = 0;
        ASSERT_TRUE(VersionName::parse(c.kept, name, parsed, attempt)) << c.kept;
        EXPECT_EQ(c.name, name);
        EXPECT_EQ(when, parsed) << c.kept;
        EXPECT_EQ(c.attempt, attempt) << c.kept;
    }
}

TEST(VersionName, OtherNamesAreNoVersions) {
    for (const std::string name :
         {"notes.txt", "notes~2026-03-04.txt", "notes~20261304-050607.txt",
          "notes~20260230-050607.txt", "notes~20260304-250607", "notes~20260304-050607-1",
          "notes~20260304-050607-02", "notes~20260304-050607x", "~20260304-050607",
          "~20260304-050607.txt", ".~20260304-050607", "notes~20260304_050607"}) {
        std::string original;
        Poco::Timestamp when;
        unsigned attempt;
        EXPECT_FALSE(VersionName::parse(name, original, when, attempt)) << name;
    }
}

TEST(VersionRetention, StaggeredKeepsFewerTheOlderTheyGet) {
    struct Case {
        const char* what;
        std::vector<Poco::Int64> ages;
        std::vector<size_t> kept;
    };
    const std::vector<Case> cases = {
        {"all of the first hour", {0, 60, 600, 3599}, {0, 1, 2, 3}},
        {"a clock set back counts as now", {-500, 10}, {0, 1}},
        // Gaps count from the oldest kept one: 3h kept, 2h30 too close, 2h kept.
        {"hourly in the first day", {2 * H, 5 * H / 2, 3 * H}, {0, 2}},
        {"the first hour beside the hourly ones", {H + 10, 30 * 60, H + 20}, {1, 2}},
        {"daily until 30 days", {2 * D, 2 * D + H, 3 * D + 2 * H, 23 * H}, {1, 2, 3}},
        // At exactly 30 days the weekly step starts: a day and a second
        // after an older kept one is enough just before, not at the boundary.
        {"the 30-day boundary, daily side", {30 * D - 1, 31 * D}, {0, 1}},
        {"the 30-day boundary, weekly side", {30 * D, 31 * D + 1}, {1}},
        {"weekly after 30 days", {40 * D, 45 * D, 48 * D, 52 * D}, {1, 3}},
        {"older than the maximum age", {365 * D, 365 * D + 1, 400 * D}, {0}},
    };
    VersionRetention retention;
    for (const Case& c : cases) EXPECT_EQ(c.kept, keptIndices(retention, c.ages)) << c.what;

    // 0 days: kept for ever; a shorter maximum drops more.
    retention.maxAgeDays = 0;
    EXPECT_EQ((std::vector<size_t>{0, 1}), keptIndices(retention, {3000 * D, 4000 * D}));
    retention.maxAgeDays = 7;
    EXPECT_EQ((std::vector<size_t>{0}), keptIndices(retention, {7 * D, 7 * D + 1}));
}

TEST(VersionRetention, StaggeredIsStableWhenPrunedOften) {
    // A version every 10 minutes for three days, pruned after each: the
    // survivors must stay spread out, not collapse to the newest few.
    VersionRetention retention;
    std::vector<Poco::Int64> made;  // creation times, in seconds
    for (Poco::Int64 now = 0; now <= 3 * D; now += 600) {
        made.push_back(now);
        std::vector<Poco::Int64> ages;
        for (Poco::Int64 t : made) ages.push_back(now - t);
        const std::vector<bool> kept = retention.keep(ages);
        std::vector<Poco::Int64> next;
        for (size_t i = 0; i < made.size(); ++i)
            if (kept[i]) next.push_back(made[i]);
        made.swap(next);
    }
    // The first version is still there; the first hour is whole (7 incl. now);
    // about one an hour for the first day and one a day after.
    EXPECT_EQ(0, made.front());
    size_t firstHour = 0, firstDay = 0;
    for (Poco::Int64 t : made) {
        if (3 * D - t < H) ++firstHour;
        if (3 * D - t < D) ++firstDay;
    }
    EXPECT_EQ(6u, firstHour);
    EXPECT_GE(firstDay, 20u);
    EXPECT_LE(firstDay, 30u);
    EXPECT_LE(made.size(), firstDay + 4);
}

TEST(VersionRetention, KeepLastKeepsTheNewest) {
    VersionRetention retention;
    retention.mode = VersionRetention::LAST;
    retention.keepLast = 2;
    EXPECT_EQ((std::vector<size_t>{1, 3}), keptIndices(retention, {50, 5, 500, 1}));
    retention.keepLast = 10;  // the maximum age does not apply here
    EXPECT_EQ((std::vector<size_t>{0, 1}), keptIndices(retention, {1000 * D, 0}));
    retention.keepLast = 0;
    EXPECT_TRUE(keptIndices(retention, {1, 2}).empty());
}

class VersionPruning : public ::testing::Test {
protected:
    std::string versions() const { return dir.join(".backup-versions"); }
    TempDir dir;
    const Poco::Timestamp now = at(2026, 6, 1, 12, 0, 0);
};

TEST_F(VersionPruning, RetentionPerFileNeverTouchesCopiesOrForeignEntries) {
    const std::string docs = versions() + "/Home/Docs";
    const Poco::Timestamp twoDays = now - 2 * D * 1000000, tooOld = now - 400 * D * 1000000;
    // Two versions of a.txt five minutes apart two days ago: the younger goes.
    // b.txt has one of the same age: another file, kept. A folder moved aside
    // whole is kept, whatever its age.
    const std::string older = VersionName::of("a.txt", twoDays - 300 * 1000000);
    writeFiles(docs, {{older, "a1"}, {VersionName::of("a.txt", twoDays), "a2"},
                      {VersionName::of("b.txt", twoDays), "b"},
                      {VersionName::of("old", tooOld), "too old"}, {"readme", "not a version"},
                      {VersionName::of("tree", tooOld) + "/inner", "x"}});
    writeFile(dir.join("Home/Docs/a.txt"), "current");

    const VersionsFolder::Pruned pruned =
        VersionsFolder::prune(dir.path(), VersionRetention(), now, nullptr);
    EXPECT_EQ(2u, pruned.byRetention);
    EXPECT_EQ(0u, pruned.forSpace);
    EXPECT_EQ((std::set<std::string>{older, VersionName::of("b.txt", twoDays), "readme",
                                     VersionName::of("tree", tooOld)}),
              entries(docs));
    EXPECT_EQ("current", readFile(dir.join("Home/Docs/a.txt")));
    // No versions folder: nothing to do.
    TempDir empty;
    EXPECT_EQ(0u,
              VersionsFolder::prune(empty.path(), VersionRetention(), now, nullptr).byRetention);
}

TEST_F(VersionPruning, ShortOfSpaceTheOldestGoFirstUntilEnoughIsFree) {
    // Six versions in two folders, an hour apart, on a file system of `total`
    // bytes that starts with 0.5 GiB free and gains 1 GiB with every removal
    // (none at all when `full`).
    const Poco::UInt64 gib = Poco::UInt64(1) << 30;
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) {
        const std::string folder = versions() + (i % 2 ? "/Home/a" : "/Home/b");
        paths.push_back(folder + "/" +
                        VersionName::of("f" + std::to_string(i), now - (6 - i) * H * 1000000));
        writeFile(paths.back(), "v");
    }
    auto space = [&](Poco::UInt64 total, bool full) {
        return [&, total, full](int, Poco::UInt64& freeBytes, Poco::UInt64& totalBytes) {
            int present = 0;
            for (const std::string& path : paths) present += Poco::File(path).exists() ? 1 : 0;
            freeBytes = full ? 0 : gib / 2 + Poco::UInt64(6 - present) * gib;
            totalBytes = total;
            return true;
        };
    };
    const VersionRetention staggered;
    const VersionsFolder::Pruned pruned =
        VersionsFolder::prune(dir.path(), staggered, now, space(10 * gib, false));
    EXPECT_EQ(0u, pruned.byRetention);
    EXPECT_EQ(1u, pruned.forSpace);  // 1.5 GiB free is above 1 GiB
    EXPECT_FALSE(Poco::File(paths[0]).exists());
    for (int i = 1; i < 6; ++i) EXPECT_TRUE(Poco::File(paths[i]).exists()) << i;

    // On a large file system 2 % counts: 100 GiB total wants 2 GiB free.
    EXPECT_EQ(1u,
              VersionsFolder::prune(dir.path(), staggered, now, space(100 * gib, false)).forSpace);
    EXPECT_FALSE(Poco::File(paths[1]).exists());
    EXPECT_TRUE(Poco::File(paths[2]).exists());

    // Never more than the versions: with no space to be had all go, nothing else.
    writeFile(dir.join("Home/b/f0"), "current");
    EXPECT_EQ(4u,
              VersionsFolder::prune(dir.path(), staggered, now, space(10 * gib, true)).forSpace);
    EXPECT_EQ("current", readFile(dir.join("Home/b/f0")));
}

void setTime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 500}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class CopyVersionsTest : public EngineTestBase {
protected:
    // The contents of the versions in a folder of the versions, oldest first.
    std::vector<std::string> keptContents(const std::string& folder = "Docs") {
        const std::string path = dst + "/.backup-versions/" + folder;
        std::map<std::pair<Poco::Timestamp, unsigned>, std::string> order;
        for (const std::string& name : entries(path)) {
            std::string original;
            Poco::Timestamp when;
            unsigned attempt = 0;
            EXPECT_TRUE(VersionName::parse(name, original, when, attempt)) << name;
            order[{when, attempt}] = readFile(path + "/" + name);
        }
        std::vector<std::string> out;
        for (const auto& v : order) out.push_back(v.second);
        return out;
    }
    // The copy holds exactly the source, folder times included.
    void expectCopyEqualsSource() {
        EXPECT_EQ(snapshotTree(src + "/Docs"), snapshotTree(dst + "/Docs"));
    }
    // A pass that completes and leaves such a copy.
    void passMatchesSource(int id) {
        runPass(id);
        EXPECT_EQ(completed(src + "/Docs"), activities(id).back());
        expectCopyEqualsSource();
    }
};

using FolderCopyTest = CopyVersionsTest;

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
            totalBytes = 100ULL << 30;
            freeBytes = entries(folder).size() <= 1 ? 10ULL << 30 : 0;
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

TEST_F(FolderCopyTest, FileBecomingAFolderAndBackTwiceNeverBlocksThePass) {
    writeFile(docs("x.txt"), "x as a file 0");
    writeFile(docs("y/1"), "y as a folder 0");
    const int id = addRecord(false, src + "/Docs", dst);
    passMatchesSource(id);

    for (int round = 1; round <= 2; ++round) {
        const std::string n = std::to_string(round);
        remove(docs("x.txt"));
        writeFile(docs("x.txt/inner"), "x as a folder " + n);
        remove(docs("y"));
        writeFile(docs("y"), "y as a file " + n);
        passMatchesSource(id);
        // The file's row goes with its listed folder, the rows under the
        // folder that is a file now go too.
        EXPECT_FALSE(hasRow(id, docs("x.txt")));
        EXPECT_TRUE(hasRow(id, docs("x.txt/inner")));
        EXPECT_FALSE(hasRow(id, docs("y/1")));
        EXPECT_EQ(2, rows(id));

        remove(docs("x.txt"));
        writeFile(docs("x.txt"), "x as a file " + n);
        remove(docs("y"));
        writeFile(docs("y/1"), "y as a folder " + n);
        passMatchesSource(id);
    }

    // Everything the copy held is kept, under stamped names beside the
    // copy's layout.
    const std::regex kept("(x~\\d{8}-\\d{6}(-\\d+)?\\.txt|y~\\d{8}-\\d{6}(-\\d+)?)(/.*)?");
    std::multiset<std::string> contents;
    for (const auto& entry : snapshotTree(dst + "/" + VersionName::FOLDER + "/Docs")) {
        EXPECT_TRUE(std::regex_match(entry.first, kept)) << entry.first;
        if (entry.second.kind == 'f') contents.insert(entry.second.content);
    }
    EXPECT_EQ((std::multiset<std::string>{"x as a file 0", "x as a file 1", "x as a folder 1",
                                          "x as a folder 2", "y as a folder 0", "y as a folder 1",
                                          "y as a file 1", "y as a file 2"}),
              contents);
}

TEST_F(FolderCopyTest, LinkInTheCopyIsMovedAsideNotWrittenThrough) {
    const int id = backedUpDocs({{"sub/a", "one"}});

    const std::string outside = profile.scratch("outside");
    writeFile(outside + "/mine", "not the backup's");
    ::chmod(outside.c_str(), 0700);
    setTime(outside, 1000000000);
    const auto before = snapshotTree(outside);
    remove(dst + "/Docs/sub");
    ASSERT_EQ(0, ::symlink(outside.c_str(), (dst + "/Docs/sub").c_str()));

    changeFile(docs("sub/a"), "two");
    passMatchesSource(id);
    struct stat st;
    ASSERT_EQ(0, ::stat(outside.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
    EXPECT_EQ(before, snapshotTree(outside));
    // The link itself is kept with the earlier copies.
    const auto kept = snapshotTree(dst + "/" + VersionName::FOLDER + "/Docs");
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(outside, kept.begin()->second.content);
}

TEST_F(FolderCopyTest, EmptyFoldersReachTheCopyWithTheirModesAndTimes) {
    writeFile(docs("file"), "f");
    for (const char* folder : {"empty", "a", "a/b", "a/b/c"})
        ASSERT_EQ(0, ::mkdir(docs(folder).c_str(), 0755));
    ::chmod(docs("empty").c_str(), 0750);
    ::chmod(docs("a/b/c").c_str(), 0701);
    for (const char* folder : {"a/b/c", "a/b", "a", "empty", ""}) setTime(docs(folder), 1500000000);
    const int id = addRecord(false, src + "/Docs", dst);
    passMatchesSource(id);

    // Also when no file changed.
    ASSERT_EQ(0, ::mkdir(docs("later").c_str(), 0700));
    setTime(docs("later"), 1600000000);
    setTime(docs(""), 1600000000);
    runPass(id);
    EXPECT_EQ("0:No change detected, Nothing to backup", activities(id).back());
    expectCopyEqualsSource();
}

TEST_F(FolderCopyTest, VersionsFolderAtADestinationsRootIsNotBackedUp) {
    backedUpDocs({{"x", "x"}, {std::string(VersionName::FOLDER) + "/own", "a user's folder"}});
    expectCopyEqualsSource();
    writeFile(dst + "/" + VersionName::FOLDER + "/Docs/x~20261207-093005", "kept");

    // A record that backs up the first one's destination.
    const std::string other = profile.scratch("other");
    const int second = addRecord(false, dst, other);
    runPass(second);
    const std::string copy = other + "/dst";
    EXPECT_EQ("x", readFile(copy + "/Docs/x"));
    EXPECT_FALSE(Poco::File(copy + "/" + VersionName::FOLDER).exists());
}

}  // namespace
}  // namespace EngineTest
