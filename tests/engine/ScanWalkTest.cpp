// The scan's walk: which relative paths exclusion patterns leave out; passes of
// a record with exclusions (what is walked, copied, indexed and counted, and
// what comes back when a pattern goes); and the walk with walkers listing ahead
// against the same walk with one: what a pass leaves must not depend on how
// many walkers there are.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "EngineFixture.h"
#include "engine/ExcludeRules.h"
#include "engine/FolderLister.h"
#include "engine/ParallelWalk.h"

namespace EngineTest {
namespace {

ExcludeRules compiled(const std::vector<std::string>& patterns, bool ignoreCase = false) {
    ExcludeRules rules;
    ExcludeRules::Refusal refusal;
    EXPECT_TRUE(ExcludeRules::compile(patterns, ignoreCase, rules, refusal))
        << refusal.pattern << ": " << refusal.reason;
    return rules;
}

TEST(ExcludeRulesTest, PatternsAgainstPaths) {
    struct Case {
        std::vector<std::string> patterns;
        std::vector<std::string> excluded, kept;  // a path ending in '/' is a folder entry
        bool ignoreCase = false;
    };
    const Case cases[] = {
        // A name anywhere.
        {{"*.tmp"}, {"a.tmp", "deep/er/a.tmp"}, {"a.tmp.txt"}},
        {{"node_modules"}, {"web/node_modules/"}, {}},
        {{"a?c"}, {"abc"}, {"a/c"}},
        {{"*"}, {"anything/at/all"}, {}},
        {{"a*a"}, {"aa"}, {"a"}},  // start and end may not share a byte
        {{"ab*cd"}, {}, {"abd"}},
        // Anchored at the source: no longer names, no deeper matches; what
        // is inside the excluded folder goes with it.
        {{"/build"}, {"build/", "build/x.o"}, {"builder/", "sub/build/"}},
        {{"doc/*.pdf"}, {"doc/a.pdf"}, {"sub/doc/a.pdf", "doc/x/a.pdf"}},
        // Folders only.
        {{"cache/"}, {"cache/", "a/cache/f"}, {"cache"}},
        {{"/out/"}, {}, {"out"}},
        // "**"; not alone in its name it is one star.
        {{"**/logs/*.log"}, {"logs/a.log", "x/y/logs/a.log"}, {"x/logs/y/a.log"}},
        {{"a/**/z"}, {"a/z", "a/b/c/z"}, {"b/a/z"}},
        {{"keep/**"}, {"keep/x/y"}, {"keep"}},
        {{"a**b"}, {"axxb"}, {"ax/xb"}},
        // Exceptions: the last match wins; nothing comes back from inside an
        // excluded folder.
        {{"*.log", "!keep.log"}, {"other.log"}, {"keep.log"}},
        {{"!keep.log", "*.log"}, {"keep.log"}, {}},
        {{"logs/", "!logs/keep.log"}, {"logs/keep.log"}, {}},
        {{"/logs/*", "!/logs/keep.log"}, {}, {"logs/keep.log"}},
        // Sets, escapes, comments, blanks.
        {{"[abc].txt"}, {"b.txt"}, {"d.txt"}},
        {{"[!abc].txt"}, {"d.txt"}, {}},
        {{"[a-c]x"}, {"bx"}, {}},
        {{"[]]"}, {"]"}, {}},
        {{"\\*"}, {"*"}, {"a"}},
        {{"\\#x"}, {"#x"}, {}},
        {{"\\!x"}, {"!x"}, {}},
        {{"#x"}, {}, {"#x"}},
        {{"x.tmp  "}, {"x.tmp"}, {}},
        {{"x\\ "}, {"x "}, {}},
        {{""}, {}, {"a"}},
        // Odd bytes are matched as bytes.
        {{"odd-\xff*"}, {"odd-\xff\xfe"}, {}},
        {{"?\xfe"}, {"\xff\xfe"}, {}},
        {{"[\xf0-\xff]"}, {"\xfa"}, {}},
        {{"new\nline"}, {"new\nline"}, {}},
        // Case counts unless told otherwise.
        {{"*.JPG"}, {}, {"a.jpg"}},
        {{"Build/"}, {}, {"build/"}},
        // Folded when told so, ASCII letters only: "ä" is another byte
        // sequence than "Ä".
        {{"*.JPG", "/Build/", "[A-C]x"}, {"Photo.jpg", "build/", "bx", "BX"}, {}, true},
        {{"\xc3\x84*"}, {"\xc3\x84rger"}, {"\xc3\xa4rger"}, true},
    };
    for (const Case& c : cases) {
        const ExcludeRules rules = compiled(c.patterns, c.ignoreCase);
        std::string shown;
        for (const std::string& p : c.patterns) shown += "[" + p + "]";
        for (const bool excluded : {true, false}) {
            for (std::string path : excluded ? c.excluded : c.kept) {
                const bool folder = path.back() == '/';
                if (folder) path.pop_back();
                EXPECT_EQ(excluded, rules.excludesPath(path, folder)) << shown << " " << path;
            }
        }
    }
}

TEST(ExcludeRulesTest, TheWalksVerdictAssumesItsParentsIncluded) {
    const ExcludeRules rules = compiled({"logs/", "!keep.log"});
    // Asked of the entry alone, the exception would let it through; the
    // walk never gets there, and the path question says so.
    EXPECT_FALSE(rules.excludes("logs/keep.log", false));
    EXPECT_TRUE(rules.excludesPath("logs/keep.log", false));
    EXPECT_TRUE(compiled({}).empty());
    EXPECT_TRUE(compiled({"# only a comment", ""}).empty());
}

TEST(ExcludeRulesTest, MalformedPatternsAreRefusedByName) {
    const std::vector<std::string> bad = {
        "[abc", "x\\", "/", "!", "!/", "a//b", "../x", "a/./b", "[z-a]", "a\\/b",
        std::string("a\0b", 3), std::string(5000, 'x')};
    for (const std::string& pattern : bad) {
        ExcludeRules rules = compiled({"*.ok"});
        ExcludeRules::Refusal refusal;
        EXPECT_FALSE(ExcludeRules::compile({"*.tmp", pattern}, false, rules, refusal)) << pattern;
        EXPECT_EQ(pattern, refusal.pattern);
        EXPECT_FALSE(refusal.reason.empty());
        // A refused list leaves no half-built rules behind.
        EXPECT_TRUE(rules.empty()) << pattern;
    }
}

TEST(ExcludeRulesTest, ManyStarsStayFast) {
    // A backtracking matcher would take ages here; the greedy one does not.
    const ExcludeRules rules = compiled({"*a*a*a*a*a*a*a*a*a*a*b", "**/**/**/**/**/**/x/**/y"});
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "d/";
    EXPECT_FALSE(rules.excludes(std::string(200, 'a'), false));
    EXPECT_FALSE(rules.excludes(deep + "z", false));
}

class ExclusionPassTest : public EngineTestBase {
protected:
    // Runs a pass and returns every folder it listed.
    std::set<std::string> passListing(int id) {
        std::mutex mutex;
        std::set<std::string> listed;
        EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
            std::lock_guard<std::mutex> lock(mutex);
            if (step == EngineHooks::LIST_FOLDER) listed.insert(path);
            return 0;
        });
        runPass(id);
        EngineHooks::clear();
        return listed;
    }
};

TEST_F(ExclusionPassTest, ExcludedEntriesAreNeitherWalkedNorIndexedAndComeBackWhenThePatternGoes) {
    // First everything, then the patterns: the rows of what they match go.
    const int id = backedUpDocs({{"a.txt", "alpha"}, {"a.tmp", "temp!"},
                                 {"node_modules/lib/x.js", "library"}, {"builder/keep.c", "kept"},
                                 {"build/out.o", "object"}, {"sub/build/deep.o", "deeper"}});
    EXPECT_EQ(6, rows(id));
    setExclusions(id, {"*.tmp", "node_modules/", "/build"});
    writeFile(docs("node_modules/new.js"), "new");
    const std::set<std::string> listed = passListing(id);
    EXPECT_FALSE(listed.count(docs("node_modules"))) << "an excluded folder was opened";
    EXPECT_FALSE(listed.count(docs("build")));
    EXPECT_TRUE(listed.count(docs("sub/build")));  // anchored: only the top one
    EXPECT_TRUE(listed.count(docs("builder")));
    EXPECT_EQ(3, rows(id));
    EXPECT_FALSE(hasRow(id, docs("a.tmp")));
    EXPECT_FALSE(hasRow(id, docs("node_modules/lib/x.js")));
    EXPECT_TRUE(hasRow(id, docs("builder/keep.c")));

    // Copies made before stay as they were; nothing new lands there.
    EXPECT_EQ("temp!", readFile(dst + "/Docs/a.tmp"));
    EXPECT_EQ("library", readFile(dst + "/Docs/node_modules/lib/x.js"));
    EXPECT_FALSE(Poco::File(dst + "/Docs/node_modules/new.js").exists());

    // The size counts only what is included.
    EXPECT_EQ(5 + 4 + 6, record(id)->size);

    // The patterns go: the files come back at the next pass.
    setExclusions(id, {});
    runPass(id);
    EXPECT_EQ(7, rows(id));
    EXPECT_EQ("new", readFile(dst + "/Docs/node_modules/new.js"));
    EXPECT_EQ(5 + 5 + 7 + 3 + 4 + 6 + 6, record(id)->size);
}

TEST_F(ExclusionPassTest, TaggedCachesExceptionsAndAFileRecordFollowTheSettings) {
    const std::string work = src + "/Work";
    writeFiles(work, {{"a.txt", "alpha"}, {"cache/blob", "cached"}, {"notes/n.txt", "note"},
                      {"cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n"},
                      {"notes/CACHEDIR.TAG", "my own notes about caches"},
                      {"logs/a.log", "a"}, {"logs/keep.log", "keep"}, {"x/logs/b.log", "b"}});
    const int id = addRecord(false, work, dst);
    setExclusions(id, {"**/logs/*.log", "!keep.log"});

    const std::set<std::string> listed = passListing(id);
    EXPECT_FALSE(listed.count(work + "/cache"));
    EXPECT_FALSE(Poco::File(dst + "/Work/cache").exists());
    EXPECT_EQ("note", readFile(dst + "/Work/notes/n.txt"));  // no signature: no tag
    EXPECT_EQ("keep", readFile(dst + "/Work/logs/keep.log"));
    EXPECT_FALSE(Poco::File(dst + "/Work/logs/a.log").exists());
    EXPECT_FALSE(Poco::File(dst + "/Work/x/logs/b.log").exists());
    EXPECT_EQ(4, rows(id));

    setExclusions(id, {}, false);
    runPass(id);
    EXPECT_EQ("cached", readFile(dst + "/Work/cache/blob"));
    EXPECT_EQ(8, rows(id));

    writeFile(src + "/single.tmp", "single");
    const int file = addRecord(true, src + "/single.tmp", dst + "/files");
    setExclusions(file, {"*.tmp"});
    runPass(file);
    EXPECT_FALSE(Poco::File(dst + "/files/single.tmp").exists());
    EXPECT_EQ(0, rows(file));
}

const unsigned MANY = 4;

// What a pass left behind by aspect (the index in path order, the runs, the
// activities, the worker's log lines, the copy's entries), with the mode's own
// folders and ids written alike.
using Outcome = std::map<std::string, std::vector<std::string>>;

class ParallelWalkTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        // Bounds the tree below goes past: the walkers stop for both, and
        // some folders are left to the scan's own thread.
        ParallelWalk::setLookAhead(64, 200);
    }
    void TearDown() override {
        ParallelWalk::setWalkers(0);
        ParallelWalk::setLookAhead(0, 0);
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
                out["log"].push_back(same(line.text));
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
        out["rows"] = table("FILE, SYNCED, FILESIZE", "BACKUP_SOURCE_FILES", "FILE");
        out["runs"] = table("RESULT, REASON, FILESCHECKED, FILESCOPIED, BYTESCOPIED, FILESFAILED",
                            "BACKUP_RUNS", "ID");
        for (const std::string& entry : activities(id)) out["activities"].push_back(same(entry));
        // The two sources were made at different times: times are not compared.
        std::vector<std::string>& copy = out["copy"];
        for (const auto& node : snapshotTree(target, false))
            copy.push_back(std::regex_replace(node.first, std::regex("~[0-9-]+$"), "~T") + " " +
                           node.second.kind + std::to_string(node.second.mode) + " " +
                           node.second.content);
        std::sort(copy.begin(), copy.end());
        return out;
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
        writeFiles(docs, {{"a/b/new", "new"}, {"many/f250/y", "y"}});
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
    // Walkers slower than the scan: it finds the folder it needs still being
    // listed, and lists folders queued after it itself meanwhile.
    auto slowWalkers = [](const std::string& docs) {
        EngineHooks::setScanFault([](EngineHooks::ScanStep step, const std::string&) {
            char name[16] = {};
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            if (step == EngineHooks::OPEN_FOLDER && std::string(name) == "backup-walk")
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        });
        writeFiles(docs, {{"many/f120/new", "n"}, {"a/b/c0/d/new", "n"}});
    };
    const Outcome one = walk("one", 1, {nothing, changed, faults, slowWalkers, nothing});
    const Outcome many = walk("many", MANY, {nothing, changed, faults, slowWalkers, nothing});
    for (const auto& aspect : one) EXPECT_EQ(aspect.second, many.at(aspect.first)) << aspect.first;
    // Guards that the comparison saw a real walk.
    EXPECT_EQ(5u, many.size());
    ASSERT_EQ(5u, one.at("runs").size());
    EXPECT_NE(one.at("runs")[1], one.at("runs")[2]);
}

// A stop in mid-walk ends the pass within a second while walkers are busy
// ahead, and keeps the rows of every folder it did not finish.
TEST_F(ParallelWalkTest, AStopEndsTheWalkersAndKeepsUnfinishedFolders) {
    for (unsigned walkers : {1u, MANY}) {
        ParallelWalk::setWalkers(walkers);
        const std::string docs = makeTree(src + "/stop" + std::to_string(walkers));
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
