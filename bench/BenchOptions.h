#pragma once
// BenchOptions: the command line of a bench program. `make bench` hands one
// BENCH_ARGS to every program, so an option another program owns is skipped
// (with a note on stderr) instead of failing the run. An option followed by
// another "--" word or by nothing is a flag. Single-threaded, used by main only.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace Bench {

class BenchOptions {
public:
    // valued: options taking a value; flags: options without one.
    BenchOptions(int argc, char** argv, const std::set<std::string>& valued,
                 const std::set<std::string>& flags) {
        for (int i = 1; i < argc; ++i) {
            const std::string k = argv[i];
            const bool hasValue = i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0;
            if (k.compare(0, 2, "--") != 0) {
                m_bad = true;
            } else if (valued.count(k)) {
                if (!hasValue) {
                    m_bad = true;
                    continue;
                }
                m_values[k] = argv[++i];
            } else if (flags.count(k)) {
                m_flags.insert(k);
            } else {
                std::fprintf(stderr, "%s: ignoring %s (not an option of this program)\n", argv[0],
                             k.c_str());
                if (hasValue) ++i;
            }
        }
    }

    bool bad() const { return m_bad; }  // a stray word or a missing value
    bool flag(const std::string& k) const { return m_flags.count(k) != 0; }
    long number(const std::string& k, long fallback) const {
        auto it = m_values.find(k);
        return it == m_values.end() ? fallback : std::atol(it->second.c_str());
    }
    std::string text(const std::string& k, const std::string& fallback = "") const {
        auto it = m_values.find(k);
        return it == m_values.end() ? fallback : it->second;
    }

private:
    std::map<std::string, std::string> m_values;
    std::set<std::string> m_flags;
    bool m_bad = false;
};

}  // namespace Bench
