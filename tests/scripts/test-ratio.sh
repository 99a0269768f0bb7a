#!/usr/bin/env bash
# Prints the lines of test code against the lines of the code it tests, and
# their ratio (the aim: a quarter to a third). Counted: every line of the C++
# sources (.cpp, .h) of the program's folders against those of tests/; then the
# same for the web page (ui/) against its browser tests.
set -euo pipefail
cd "$(dirname "$0")/../.."

lines() {  # lines of the files find prints for the given arguments
    find "$@" -type f -not -path '*/node_modules/*' -print0 | xargs -0r cat | wc -l
}

ratio() {  # label, test lines, code lines
    awk -v label="$1" -v t="$2" -v c="$3" \
        'BEGIN { printf "%-5s tests %6d  code %6d  ratio %5.1f %%\n", label, t, c, c ? 100 * t / c : 0 }'
}

code=$(lines engine requests db service host hostkit hostapi plugin \( -name '*.cpp' -o -name '*.h' \))
tests=$(lines tests \( -name '*.cpp' -o -name '*.h' \))
ratio "C++" "$tests" "$code"
page=$(lines ui \( -name '*.js' -o -name '*.html' -o -name '*.css' \))
pageTests=$(lines tests/browser -name '*.mjs')
ratio "page" "$pageTests" "$page"
