#pragma once
// ExcludeRules: a record's exclusion patterns, compiled once per pass and
// asked about every entry the walk meets. Patterns follow gitignore's rules:
// a pattern without an inner "/" matches a name at any depth, one with a
// leading or inner "/" is anchored at the record's source; a trailing "/"
// matches folders only; "*" and "?" stop at "/", "**" spans folders; "!"
// makes an exception; "#" starts a comment; the last matching pattern wins.
// Paths are the entry's path relative to the record's source, "/"-separated,
// compared byte for byte (ASCII letters folded when ignoreCase).
//
// An immutable value once compiled; any thread may read it.

#include <bitset>
#include <string>
#include <string_view>
#include <vector>

namespace Orvana {
namespace Backup {

class ExcludeRules {
public:
    // Why a pattern was refused: an English text, translated by the caller.
    struct Refusal {
        std::string pattern;
        std::string reason;
    };

    ExcludeRules() = default;

    // Compiles the patterns; false with `refusal` filled for the first bad one
    // (`rules` is then left empty).
    static bool compile(const std::vector<std::string>& patterns, bool ignoreCase,
                        ExcludeRules& rules, Refusal& refusal);

    bool empty() const { return m_rules.empty(); }

    // The verdict for one entry whose parent folders are known to be included
    // (the walk never enters an excluded folder).
    bool excludes(const std::string& relative, bool isFolder) const;
    // The verdict for any path: also excluded when a folder above it is.
    bool excludesPath(const std::string& relative, bool isFolder) const;

private:
    struct Token {
        enum Kind : unsigned char { LITERAL, ONE, STAR, SET } kind = LITERAL;
        unsigned char byte = 0;  // LITERAL: the byte (folded when ignoring case)
        size_t set = 0;          // SET: index into m_sets
    };
    struct Segment {
        bool anyFolders = false;  // "**": any run of folders, none included
        std::vector<Token> tokens;
        // Quick refusal before the glob runs: the fewest bytes a name needs,
        // and the literal bytes it must start and end with.
        size_t minLength = 0;
        bool hasStar = false;
        std::string head, tail;
    };
    struct Rule {
        std::vector<Segment> segments;
        bool negated = false;
        bool folderOnly = false;
        bool nameOnly = false;  // matched against the last component alone
    };
    typedef std::vector<std::string_view> Parts;

    bool parse(const std::string& text, Rule& rule, std::string& reason);
    bool parseSet(const std::string& text, size_t& i, Token& token, std::string& reason);
    // The tokens of one folder name of a pattern.
    bool parseSegment(const std::string& part, Segment& segment, std::string& reason);
    // A "**" part; `last` when it ends a pattern of more than one part.
    static void addAnyFolders(Rule& rule, bool last);
    bool excludesParts(const Parts& parts, size_t count, bool isFolder) const;
    bool matches(const Rule& rule, const Parts& parts, size_t count, bool isFolder) const;
    bool matchGlob(const Segment& segment, std::string_view name) const;
    static void summarize(Segment& segment);
    unsigned char fold(unsigned char c) const;
    static void split(const std::string& relative, Parts& parts);

    std::vector<Rule> m_rules;
    std::vector<std::bitset<256>> m_sets;  // byte classes of "[...]"
    bool m_ignoreCase = false;
    bool m_anyAnchored = false;  // otherwise only last components are looked at
};

}  // namespace Backup
}  // namespace Orvana
