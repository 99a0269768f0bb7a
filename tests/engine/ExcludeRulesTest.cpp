// Exclusion patterns: which relative paths a set of patterns leaves out.
#include <gtest/gtest.h>

#include "engine/ExcludeRules.h"

namespace {

using Orvana::Backup::ExcludeRules;

struct Case {
    std::vector<std::string> patterns;
    std::string path;
    bool folder;
    bool excluded;
};

ExcludeRules compiled(const std::vector<std::string>& patterns, bool ignoreCase = false) {
    ExcludeRules rules;
    ExcludeRules::Refusal refusal;
    EXPECT_TRUE(ExcludeRules::compile(patterns, ignoreCase, rules, refusal))
        << refusal.pattern << ": " << refusal.reason;
    return rules;
}

TEST(ExcludeRulesTest, PatternsAgainstPaths) {
    const bool F = true, D = false;  // F: a folder entry; D: a file ("data")
    const Case cases[] = {
        // A name anywhere.
        {{"*.tmp"}, "a.tmp", D, true},
        {{"*.tmp"}, "deep/er/a.tmp", D, true},
        {{"*.tmp"}, "a.tmp.txt", D, false},
        {{"*.tmp"}, "x.tmp", F, true},
        {{"node_modules"}, "web/node_modules", F, true},
        {{"a?c"}, "abc", D, true},
        {{"a?c"}, "a/c", D, false},
        {{"*"}, "anything/at/all", D, true},
        {{"a*a"}, "a", D, false},  // start and end may not share a byte
        {{"a*a"}, "aa", D, true},
        {{"ab*cd"}, "abxcd", D, true},
        {{"ab*cd"}, "abd", D, false},
        {{"a?"}, "abc", D, false},
        // Anchored at the source: no longer names, no deeper matches.
        {{"/build"}, "build", F, true},
        {{"/build"}, "builder", F, false},
        {{"/build"}, "sub/build", F, false},
        {{"/build"}, "build/x.o", D, true},  // inside the excluded folder
        {{"doc/*.pdf"}, "doc/a.pdf", D, true},
        {{"doc/*.pdf"}, "sub/doc/a.pdf", D, false},
        {{"doc/*.pdf"}, "doc/x/a.pdf", D, false},
        // Folders only.
        {{"cache/"}, "cache", F, true},
        {{"cache/"}, "cache", D, false},
        {{"cache/"}, "a/b/cache", F, true},
        {{"cache/"}, "a/cache/f", D, true},
        {{"/out/"}, "out", D, false},
        // "**".
        {{"**/logs/*.log"}, "logs/a.log", D, true},
        {{"**/logs/*.log"}, "x/y/logs/a.log", D, true},
        {{"**/logs/*.log"}, "x/logs/y/a.log", D, false},
        {{"a/**/z"}, "a/z", D, true},
        {{"a/**/z"}, "a/b/c/z", D, true},
        {{"a/**/z"}, "b/a/z", D, false},
        {{"keep/**"}, "keep", D, false},
        {{"keep/**"}, "keep/x/y", D, true},
        {{"**"}, "x", D, true},
        {{"a**b"}, "axxb", D, true},  // not alone in its name: one star
        {{"a**b"}, "ax/xb", D, false},
        // Exceptions: the last match wins; nothing comes back from inside an
        // excluded folder.
        {{"*.log", "!keep.log"}, "keep.log", D, false},
        {{"*.log", "!keep.log"}, "other.log", D, true},
        {{"!keep.log", "*.log"}, "keep.log", D, true},
        {{"logs/", "!logs/keep.log"}, "logs/keep.log", D, true},
        {{"/logs/*", "!/logs/keep.log"}, "logs/keep.log", D, false},
        // Sets, escapes, comments, blanks.
        {{"[abc].txt"}, "b.txt", D, true},
        {{"[abc].txt"}, "d.txt", D, false},
        {{"[!abc].txt"}, "d.txt", D, true},
        {{"[a-c]x"}, "bx", D, true},
        {{"[]]"}, "]", D, true},
        {{"\\*"}, "*", D, true},
        {{"\\*"}, "a", D, false},
        {{"\\#x"}, "#x", D, true},
        {{"\\!x"}, "!x", D, true},
        {{"#x"}, "#x", D, false},
        {{"x.tmp  "}, "x.tmp", D, true},
        {{"x\\ "}, "x ", D, true},
        {{""}, "a", D, false},
        // Odd bytes are matched as bytes.
        {{"odd-\xff*"}, "odd-\xff\xfe", D, true},
        {{"odd-\xfe*"}, "odd-\xff\xfe", D, false},
        {{"?\xfe"}, "\xff\xfe", D, true},
        {{"[\xf0-\xff]"}, "\xfa", D, true},
        {{"new\nline"}, "new\nline", D, true},
        // Case counts unless told otherwise.
        {{"*.JPG"}, "a.jpg", D, false},
        {{"Build/"}, "build", F, false},
    };
    for (const Case& c : cases) {
        const ExcludeRules rules = compiled(c.patterns);
        std::string shown;
        for (const std::string& p : c.patterns) shown += "[" + p + "]";
        EXPECT_EQ(c.excluded, rules.excludesPath(c.path, c.folder)) << shown << " " << c.path;
    }
}

TEST(ExcludeRulesTest, IgnoreCaseFoldsAsciiLettersOnly) {
    const ExcludeRules rules = compiled({"*.JPG", "/Build/", "[A-C]x", "\xc3\x84*"}, true);
    EXPECT_TRUE(rules.excludes("Photo.jpg", false));
    EXPECT_TRUE(rules.excludes("build", true));
    EXPECT_TRUE(rules.excludes("bx", false));
    EXPECT_TRUE(rules.excludes("BX", false));
    EXPECT_TRUE(rules.excludes("\xc3\x84rger", false));
    // Only ASCII is folded: "ä" is another byte sequence than "Ä".
    EXPECT_FALSE(rules.excludes("\xc3\xa4rger", false));
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
        "[abc",
        "x\\",
        "/",
        "!",
        "!/",
        "a//b",
        "../x",
        "a/./b",
        "[z-a]",
        "a\\/b",
        std::string("a\0b", 3),
        std::string(5000, 'x'),
    };
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

}  // namespace
