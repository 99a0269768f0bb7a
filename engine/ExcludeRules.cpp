#include "engine/ExcludeRules.h"

namespace Orvana {
namespace Backup {

namespace {

const size_t MAX_PATTERN_LENGTH = 4096;

unsigned char lowerAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Trailing blanks are dropped unless escaped, as a pasted line often
// carries one that no file name was meant to have.
std::string trimTrailingBlanks(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ') {
        size_t slashes = 0;
        while (slashes < end - 1 && text[end - 2 - slashes] == '\\') ++slashes;
        if (slashes % 2 == 1) break;
        --end;
    }
    return text.substr(0, end);
}

// One part per "/"-separated piece of text from `start`; a "/" inside
// "[...]" or escaped is refused later rather than read as a separator.
bool splitParts(const std::string& text, size_t start, std::vector<std::string>& raw,
                std::string& reason) {
    raw.assign(1, std::string());
    for (size_t k = start; k < text.size(); ++k) {
        const char c = text[k];
        if (c == '\\') {
            if (k + 1 >= text.size()) {
                reason = "ends in a lone backslash";
                return false;
            }
            raw.back() += c;
            raw.back() += text[++k];
        } else if (c == '/') {
            raw.emplace_back();
        } else {
            raw.back() += c;
        }
    }
    return true;
}

}  // namespace

void ExcludeRules::addAnyFolders(Rule& rule, bool last) {
    Segment segment;
    segment.anyFolders = true;
    // "dir/**" is what lies inside dir, not dir itself: at least one name.
    if (last) {
        Segment one;
        one.tokens.push_back(Token{Token::STAR, 0, 0});
        summarize(one);
        rule.segments.push_back(one);
    }
    if (rule.segments.empty() || !rule.segments.back().anyFolders) rule.segments.push_back(segment);
}

bool ExcludeRules::parseSegment(const std::string& part, Segment& segment, std::string& reason) {
    for (size_t k = 0; k < part.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(part[k]);
        Token token;
        if (c == '\\') {
            const unsigned char next = static_cast<unsigned char>(part[++k]);
            if (next == '/') {
                reason = "has an escaped /, which no name can hold";
                return false;
            }
            token.byte = fold(next);
        } else if (c == '*') {
            // Any other run of stars is one star.
            if (!segment.tokens.empty() && segment.tokens.back().kind == Token::STAR) continue;
            token.kind = Token::STAR;
        } else if (c == '?') {
            token.kind = Token::ONE;
        } else if (c == '[') {
            if (!parseSet(part, k, token, reason)) return false;
        } else {
            token.byte = fold(c);
        }
        segment.tokens.push_back(token);
    }
    summarize(segment);
    return true;
}

unsigned char ExcludeRules::fold(unsigned char c) const { return m_ignoreCase ? lowerAscii(c) : c; }

bool ExcludeRules::compile(const std::vector<std::string>& patterns, bool ignoreCase,
                           ExcludeRules& rules, Refusal& refusal) {
    ExcludeRules compiled;
    compiled.m_ignoreCase = ignoreCase;
    for (const std::string& pattern : patterns) {
        Rule rule;
        std::string reason;
        if (!compiled.parse(pattern, rule, reason)) {
            refusal.pattern = pattern;
            refusal.reason = reason;
            rules = ExcludeRules();
            return false;
        }
        if (!rule.segments.empty()) compiled.m_rules.push_back(std::move(rule));
    }
    rules = std::move(compiled);
    return true;
}

bool ExcludeRules::parse(const std::string& pattern, Rule& rule, std::string& reason) {
    if (pattern.find('\0') != std::string::npos) {
        reason = "holds a NUL byte";
        return false;
    }
    if (pattern.size() > MAX_PATTERN_LENGTH) {
        reason = "is longer than 4096 bytes";
        return false;
    }
    std::string text = trimTrailingBlanks(pattern);
    if (text.empty() || text[0] == '#') return true;  // blank or a comment
    size_t i = 0;
    if (text[0] == '!') {
        rule.negated = true;
        i = 1;
    }
    if (text.size() > i && text.back() == '/') {
        rule.folderOnly = true;
        text.pop_back();
    }
    bool anchored = false;
    if (text.size() > i && text[i] == '/') {
        anchored = true;
        ++i;
    }
    if (i >= text.size()) {
        reason = "names nothing";
        return false;
    }

    std::vector<std::string> raw;
    if (!splitParts(text, i, raw, reason)) return false;
    if (raw.size() > 1) anchored = true;

    for (size_t s = 0; s < raw.size(); ++s) {
        const std::string& part = raw[s];
        if (part.empty()) {
            reason = "has an empty folder name (//)";
            return false;
        }
        if (part == "." || part == "..") {
            reason = "has a . or .. folder name, which never matches";
            return false;
        }
        if (part == "**") {
            addAnyFolders(rule, s > 0 && s + 1 == raw.size());
            anchored = true;  // a lone "**" is no name to look for
            continue;
        }
        Segment segment;
        if (!parseSegment(part, segment, reason)) return false;
        rule.segments.push_back(segment);
    }
    rule.nameOnly = !anchored;
    if (anchored) m_anyAnchored = true;
    return true;
}

void ExcludeRules::summarize(Segment& segment) {
    const std::vector<Token>& tokens = segment.tokens;
    for (const Token& token : tokens) {
        if (token.kind == Token::STAR) {
            segment.hasStar = true;
        } else {
            ++segment.minLength;
        }
    }
    size_t first = 0;
    while (first < tokens.size() && tokens[first].kind == Token::LITERAL)
        segment.head += char(tokens[first++].byte);
    if (first == tokens.size()) return;  // all literal: the head says it all
    size_t last = tokens.size();
    while (last > first && tokens[last - 1].kind == Token::LITERAL) --last;
    for (size_t t = last; t < tokens.size(); ++t) segment.tail += char(tokens[t].byte);
}

// Reads "[...]" starting at text[i] == '['; leaves i on the closing ']'.
bool ExcludeRules::parseSet(const std::string& text, size_t& i, Token& token, std::string& reason) {
    std::bitset<256> set;
    size_t k = i + 1;
    bool negated = false;
    if (k < text.size() && (text[k] == '!' || text[k] == '^')) {
        negated = true;
        ++k;
    }
    bool first = true;
    for (;;) {
        if (k >= text.size()) {
            reason = "has a [ without its closing ]";
            return false;
        }
        unsigned char c = static_cast<unsigned char>(text[k]);
        if (c == ']' && !first) break;
        first = false;
        if (c == '\\' && k + 1 < text.size()) c = static_cast<unsigned char>(text[++k]);
        unsigned char high = c;
        if (k + 2 < text.size() && text[k + 1] == '-' && text[k + 2] != ']') {
            k += 2;
            high = static_cast<unsigned char>(text[k]);
            if (high == '\\' && k + 1 < text.size()) high = static_cast<unsigned char>(text[++k]);
            if (high < c) {
                reason = "has a range that runs backwards";
                return false;
            }
        }
        for (unsigned v = c; v <= high; ++v) set.set(fold(static_cast<unsigned char>(v)));
        ++k;
    }
    if (negated) set.flip();
    set.reset('/');
    i = k;
    token.kind = Token::SET;
    token.set = m_sets.size();
    m_sets.push_back(set);
    return true;
}

void ExcludeRules::split(const std::string& relative, Parts& parts) {
    parts.clear();
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        if (slash == std::string::npos) {
            parts.emplace_back(relative.data() + start, relative.size() - start);
            return;
        }
        parts.emplace_back(relative.data() + start, slash - start);
        start = slash + 1;
    }
}

bool ExcludeRules::excludes(const std::string& relative, bool isFolder) const {
    if (m_rules.empty() || relative.empty()) return false;
    if (!m_anyAnchored) {
        // Only names are asked about: no need to take the path apart.
        const size_t slash = relative.rfind('/');
        const Parts last(1, slash == std::string::npos
                                ? std::string_view(relative)
                                : std::string_view(relative).substr(slash + 1));
        return excludesParts(last, 1, isFolder);
    }
    // Asked once per entry of a walk: the parts' storage is kept per thread.
    static thread_local Parts parts;
    split(relative, parts);
    return excludesParts(parts, parts.size(), isFolder);
}

bool ExcludeRules::excludesPath(const std::string& relative, bool isFolder) const {
    if (m_rules.empty() || relative.empty()) return false;
    Parts parts;
    split(relative, parts);
    // Nothing inside an excluded folder comes back, exception or not: the
    // walk never looks inside it.
    for (size_t n = 1; n < parts.size(); ++n)
        if (excludesParts(parts, n, true)) return true;
    return excludesParts(parts, parts.size(), isFolder);
}

bool ExcludeRules::excludesParts(const Parts& parts, size_t count, bool isFolder) const {
    // The last pattern that matches decides.
    for (auto rule = m_rules.rbegin(); rule != m_rules.rend(); ++rule)
        if (matches(*rule, parts, count, isFolder)) return !rule->negated;
    return false;
}

bool ExcludeRules::matches(const Rule& rule, const Parts& parts, size_t count,
                           bool isFolder) const {
    if (rule.folderOnly && !isFolder) return false;
    if (rule.nameOnly) return matchGlob(rule.segments[0], parts[count - 1]);
    // Greedy, with one way back to the latest "**": linear in practice and
    // never exponential, whatever the pattern.
    const std::vector<Segment>& pattern = rule.segments;
    size_t p = 0, s = 0, starP = std::string::npos, starS = 0;
    while (s < count) {
        if (p < pattern.size() && pattern[p].anyFolders) {
            starP = p++;
            starS = s;
        } else if (p < pattern.size() && matchGlob(pattern[p], parts[s])) {
            ++p;
            ++s;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            s = ++starS;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p].anyFolders) ++p;
    return p == pattern.size();
}

bool ExcludeRules::matchGlob(const Segment& segment, std::string_view name) const {
    if (name.size() < segment.minLength || (!segment.hasStar && name.size() != segment.minLength))
        return false;
    for (size_t k = 0; k < segment.head.size(); ++k)
        if (fold(static_cast<unsigned char>(name[k])) !=
            static_cast<unsigned char>(segment.head[k]))
            return false;
    const size_t from = name.size() - segment.tail.size();
    for (size_t k = 0; k < segment.tail.size(); ++k)
        if (fold(static_cast<unsigned char>(name[from + k])) !=
            static_cast<unsigned char>(segment.tail[k]))
            return false;
    const std::vector<Token>& tokens = segment.tokens;
    size_t t = 0, i = 0, starT = std::string::npos, starI = 0;
    while (i < name.size()) {
        if (t < tokens.size()) {
            const Token& token = tokens[t];
            if (token.kind == Token::STAR) {
                starT = t++;
                starI = i;
                continue;
            }
            const unsigned char c = fold(static_cast<unsigned char>(name[i]));
            const bool hit = token.kind == Token::ONE ||
                             (token.kind == Token::LITERAL && token.byte == c) ||
                             (token.kind == Token::SET && m_sets[token.set].test(c));
            if (hit) {
                ++t;
                ++i;
                continue;
            }
        }
        if (starT == std::string::npos) return false;
        t = starT + 1;
        i = ++starI;
    }
    while (t < tokens.size() && tokens[t].kind == Token::STAR) ++t;
    return t == tokens.size();
}

}  // namespace Backup
}  // namespace Orvana
