// Version names, the retention rule and pruning of a versions folder.
#include <Poco/DateTime.h>

#include "EngineFixture.h"
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
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i]) out.push_back(i);
    }
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
        for (size_t i = 0; i < made.size(); ++i) {
            if (kept[i]) next.push_back(made[i]);
        }
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
    const std::string older = VersionName::of("a.txt", twoDays - 300 * 1000000);
    writeFile(docs + "/" + older, "a1");
    writeFile(docs + "/" + VersionName::of("a.txt", twoDays), "a2");
    // b.txt has one of the same age: another file, kept.
    writeFile(docs + "/" + VersionName::of("b.txt", twoDays), "b");
    writeFile(docs + "/" + VersionName::of("old", tooOld), "too old");
    writeFile(docs + "/readme", "not a version");
    // A folder moved aside whole is kept, whatever its age.
    writeFile(docs + "/" + VersionName::of("tree", tooOld) + "/inner", "x");
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

}  // namespace
}  // namespace EngineTest
