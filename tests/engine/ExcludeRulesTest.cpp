// Exclusion patterns: which relative paths a set of patterns leaves out; then
// passes of a record with exclusions: what is walked, copied, indexed and
// counted, and what comes back when a pattern goes.

#include <mutex>
#include <set>

#include "EngineFixture.h"
#include "engine/ExcludeRules.h"

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
    const std::string name(200, 'a');
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "d/";
    EXPECT_FALSE(rules.excludes(name, false));
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
    const std::string work = src + "/Work";
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/a.tmp", "temp!");
    writeFile(work + "/node_modules/lib/x.js", "library");
    writeFile(work + "/builder/keep.c", "kept");
    writeFile(work + "/build/out.o", "object");
    writeFile(work + "/sub/build/deep.o", "deeper");
    const int id = addRecord(false, work, dst);

    // First everything, then the patterns: the rows of what they match go.
    runPass(id);
    EXPECT_EQ(6, rows(id));
    setExclusions(id, {"*.tmp", "node_modules/", "/build"});
    writeFile(work + "/node_modules/new.js", "new");
    const std::set<std::string> listed = passListing(id);
    EXPECT_FALSE(listed.count(work + "/node_modules")) << "an excluded folder was opened";
    EXPECT_FALSE(listed.count(work + "/build"));
    EXPECT_TRUE(listed.count(work + "/sub/build"));  // anchored: only the top one
    EXPECT_TRUE(listed.count(work + "/builder"));
    EXPECT_EQ(3, rows(id));
    EXPECT_FALSE(hasRow(id, work + "/a.tmp"));
    EXPECT_FALSE(hasRow(id, work + "/node_modules/lib/x.js"));
    EXPECT_TRUE(hasRow(id, work + "/builder/keep.c"));

    // Copies made before stay as they were; nothing new lands there.
    EXPECT_EQ("temp!", readFile(dst + "/Work/a.tmp"));
    EXPECT_EQ("library", readFile(dst + "/Work/node_modules/lib/x.js"));
    EXPECT_FALSE(Poco::File(dst + "/Work/node_modules/new.js").exists());

    // The size counts only what is included.
    EXPECT_EQ(5 + 4 + 6, record(id)->size);

    // The patterns go: the files come back at the next pass.
    setExclusions(id, {});
    runPass(id);
    EXPECT_EQ(7, rows(id));
    EXPECT_EQ("new", readFile(dst + "/Work/node_modules/new.js"));
    EXPECT_EQ(5 + 5 + 7 + 3 + 4 + 6 + 6, record(id)->size);
}

TEST_F(ExclusionPassTest, TaggedCachesExceptionsAndAFileRecordFollowTheSettings) {
    const std::string work = src + "/Work";
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    writeFile(work + "/cache/blob", "cached");
    writeFile(work + "/notes/CACHEDIR.TAG", "my own notes about caches");
    writeFile(work + "/notes/n.txt", "note");
    writeFile(work + "/logs/a.log", "a");
    writeFile(work + "/logs/keep.log", "keep");
    writeFile(work + "/x/logs/b.log", "b");
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

}  // namespace
}  // namespace EngineTest
