// The scan with walkers listing ahead against the same scan with one: what a
// pass leaves must not depend on how many walkers there are.
#include <atomic>
#include <cerrno>
#include <regex>

#include "EngineFixture.h"
#include "engine/FolderLister.h"
#include "engine/ParallelWalk.h"

namespace EngineTest {
namespace {

const unsigned MANY = 4;

// What a pass left behind, with the mode's own folders and ids written alike.
struct Outcome {
    std::vector<std::string> rows;  // the index, in path order
    std::vector<std::string> runs;  // result and counts of each run
    std::vector<std::string> activities;
    std::vector<std::string> log;             // the worker's lines, in order
    std::map<std::string, std::string> copy;  // path -> kind, mode and content
};

class ParallelWalkTest : public EngineTestBase {
protected:
    void TearDown() override {
        ParallelWalk::setWalkers(0);
        EngineTestBase::TearDown();
    }

    // A source whose names sort around '/' (bytes below and above it), deep
    // and wide enough that the walkers run ahead and are bounded, with a link
    // loop, a cache folder and an excluded one.
    std::string makeTree(const std::string& root) {
        const std::string docs = root + "/Docs";
        for (const char* file :
             {"a!", "a.b", "a-b/x", "a/b-c", "a/b/c", "a/b/c0/d/e/f", "a/b0", "a0/z", "a\xc3\xa9/y",
              "ab", "b/a/a/a", "cache/data", "skip.tmp", "tmp/t"})
            writeFile(docs + "/" + file, file);
        writeFile(docs + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55");
        for (int n = 0; n < 300; ++n) writeFile(docs + "/many/f" + std::to_string(n) + "/x", "x");
        EXPECT_EQ(0, ::symlink("..", (docs + "/a/up").c_str()));
        EXPECT_EQ(0, ::symlink("a0/z", (docs + "/link").c_str()));
        return docs;
    }

    // Runs `passes` in a fresh source and destination with the given number
    // of walkers; before runs between the passes.
    Outcome walk(const std::string& tag, unsigned walkers,
                 const std::vector<std::function<void(const std::string& docs)>>& passes) {
        ParallelWalk::setWalkers(walkers);
        const std::string root = src + "/" + tag, target = dst + "/" + tag;
        const std::string docs = makeTree(root);
        const int id = addRecord(false, docs, target);
        setExclusions(id, {"*.tmp", "tmp/"});
        Outcome out;
        LogCapture log;
        for (const auto& before : passes) {
            before(docs);
            runPass(id);
            EngineHooks::clear();
        }
        auto same = [&](std::string text) {
            for (const std::string& own : {target, root}) {
                for (size_t at; (at = text.find(own)) != std::string::npos;)
                    text.replace(at, own.size(), own == root ? "SRC" : "DST");
            }
            return std::regex_replace(
                text, std::regex("([Rr]ec(ord)?) " + std::to_string(id) + "\\b"), "$1 N");
        };
        // The worker's own wait and exit lines depend on when the test stops
        // it, not on the walk.
        for (const LogLine& line : log.find(""))
            if (line.logger == "backup" && line.text.compare(0, 8, "backup: ") != 0)
                out.log.push_back(same(line.text));
        // Each row of a query about the record, its columns joined.
        auto table = [&](const std::string& columns, const std::string& from,
                         const std::string& order) {
            std::vector<std::string> out;
            wxSQLite3ResultSet rs = db->conn().ExecuteQuery("select " + columns + " from " + from +
                                                            " where RECID=" + std::to_string(id) +
                                                            " order by " + order);
            while (rs.NextRow()) {
                std::string row;
                for (int c = 0; c < rs.GetColumnCount(); ++c) row += same(rs.GetStdString(c)) + "|";
                out.push_back(row);
            }
            rs.Finalize();
            return out;
        };
        out.rows = table("FILE, SYNCED, FILESIZE", "BACKUP_SOURCE_FILES", "FILE");
        out.runs = table("RESULT, REASON, FILESCHECKED, FILESCOPIED, BYTESCOPIED, FILESFAILED",
                         "BACKUP_RUNS", "ID");
        for (const std::string& entry : activities(id)) out.activities.push_back(same(entry));
        // The two sources were made at different times: times are not compared.
        for (const auto& node : snapshotTree(target, false))
            out.copy[std::regex_replace(node.first, std::regex("~[0-9-]+$"), "~T")] =
                node.second.kind + std::to_string(node.second.mode) + " " + node.second.content;
        return out;
    }

    static void expectSame(const Outcome& one, const Outcome& many) {
        EXPECT_EQ(one.rows, many.rows);
        EXPECT_EQ(one.runs, many.runs);
        EXPECT_EQ(one.activities, many.activities);
        EXPECT_EQ(one.log, many.log);
        EXPECT_EQ(one.copy, many.copy);
    }
};

// A pass over changes, then one meeting faults: folders that cannot be opened
// (gone since their parent was listed), whose listing fails, and a file that
// cannot be read each fail the pass alike, and the rows under them stay.
TEST_F(ParallelWalkTest, ManyWalkersGiveWhatOneGivesFaultsIncluded) {
    auto nothing = [](const std::string&) {};
    auto changed = [](const std::string& docs) {  // files and folders gone, new, changed
        remove(docs + "/a/b/c0");
        remove(docs + "/a-b/x");
        remove(docs + "/many/f17");
        writeFile(docs + "/a/b/new", "new");
        writeFile(docs + "/many/f250/y", "y");
        changeFile(docs + "/a0/z", "changed", 60);
    };
    auto faults = [](const std::string& docs) {
        EngineHooks::setScanFault([docs](EngineHooks::ScanStep step, const std::string& path) {
            if (step == EngineHooks::OPEN_FOLDER &&
                (path == docs + "/a/b" || path == docs + "/many/f3"))
                return ENOENT;
            if (step == EngineHooks::LIST_FOLDER && path == docs + "/many/f200") return EIO;
            if (step == EngineHooks::STAT_ENTRY && path == docs + "/a0/z") return EACCES;
            return 0;
        });
    };
    const Outcome one = walk("one", 1, {nothing, changed, faults, nothing});
    const Outcome many = walk("many", MANY, {nothing, changed, faults, nothing});
    expectSame(one, many);
    // Guards that the comparison saw a real walk.
    ASSERT_EQ(4u, one.runs.size());
    EXPECT_NE(one.runs[1], one.runs[2]);
}

// A stop in mid-walk ends the pass within a second while walkers are busy
// ahead, and keeps the rows of every folder it did not finish.
TEST_F(ParallelWalkTest, AStopEndsTheWalkersAndKeepsUnfinishedFolders) {
    for (unsigned walkers : {1u, MANY}) {
        ParallelWalk::setWalkers(walkers);
        const std::string root = src + "/stop" + std::to_string(walkers);
        const std::string docs = makeTree(root);
        const int id = addRecord(false, docs, dst + "/stop" + std::to_string(walkers));
        runPass(id);
        const int before = rows(id);
        remove(docs + "/many/f100");
        remove(docs + "/b");
        std::atomic<bool> inScan(false), stopping(false);
        EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
            if (step == EngineHooks::STAT_ENTRY && path == docs + "/a/b/c" &&
                !inScan.exchange(true))
                waitUntil([&] { return stopping.load(); }, 20000);
            return 0;
        });
        auto reached = [&] { return stopping = inScan.load(); };
        EXPECT_LT(stoppedPass(id, reached).totalMilliseconds(), 1000) << walkers;
        EngineHooks::clear();
        EXPECT_EQ(before, rows(id)) << walkers;
    }
}

// A folder whose listing takes several reads of the lister's buffer: every
// entry comes back once, in order, each with its stat.
TEST(FolderListerTest, AFolderLargerThanOneReadIsListedWhole) {
    TempDir dir;
    const std::string folder = dir.path() + "/big", pad(40, 'n');
    const int count = 40000;  // about 2.5 MiB of entries
    for (int n = 0; n < count; ++n) writeFile(folder + "/" + pad + std::to_string(n), "");
    const ExcludeRules none;
    const std::atomic<bool> stop(false);
    const FolderLister lister(none, false, dir.path(), stop);
    const auto listing = lister.list(folder);
    EXPECT_EQ(0, listing->openError);
    EXPECT_EQ(0, listing->listError);
    ASSERT_EQ(static_cast<std::size_t>(count), listing->entries.size());
    for (std::size_t n = 1; n < listing->entries.size(); ++n)
        ASSERT_LT(listing->entries[n - 1].key, listing->entries[n].key);
    for (const auto& entry : listing->entries) ASSERT_EQ(0, entry.error) << entry.key;
}

}  // namespace
}  // namespace EngineTest
