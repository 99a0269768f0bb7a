#!/usr/bin/env python3
"""Prints the longest function bodies of the C++ sources in the given folders
(default: engine), longest first, as "lines  file:line  name".

  tests/scripts/longest-functions.py [--top N] [--limit L] [folder...]

--limit L exits with 1 when a function is longer than L lines. A length
counts from the line with the function's name to its closing brace; lambdas
count towards the function they are written in. The reader follows braces,
not the language: it skips comments, strings and character literals, takes
a brace after ")" (or const, override and the like) for a function body and
one after a name for a braced initialiser.
"""
import argparse
import pathlib
import re
import sys

QUALIFIERS = {"const", "noexcept", "override", "final", "mutable", "volatile"}


def strip_code(text):
    """The text with comments, strings and character literals blanked out,
    newlines kept, so offsets and line numbers stay."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', i)
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(" " * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    code = strip_code(path.read_text(errors="replace"))
    results = []
    stack = []  # kinds of the open blocks: "scope", "function", "other"
    header_start = 0  # where the text before the next brace at this level starts
    body_start = None
    for pos, c in enumerate(code):
        if c == ";" and (not stack or stack[-1] == "scope"):
            header_start = pos + 1
        elif c == "{":
            if stack and stack[-1] != "scope":
                stack.append("other")
                continue
            header = code[header_start:pos]
            before = header.rstrip()
            last_word = re.search(r"(\w+)$", before)
            if re.search(r"\b(namespace|class|struct|union|enum)\b[^()]*$", header) or \
                    re.search(r'extern\s*$', before):
                stack.append("scope")
                header_start = pos + 1
            elif "(" in header and (before.endswith(")") or before.endswith("}") or
                                    (last_word and last_word.group(1) in QUALIFIERS) or
                                    re.search(r"->\s*[\w:<>,\s*&]+$", before)):
                stack.append("function")
                name = re.search(r"([~\w][\w:~]*(?:operator\s*\S+?)?)\s*\(", header)
                name_pos = header_start + (name.start(1) if name else len(header) - len(header.lstrip()))
                body_start = (code.count("\n", 0, name_pos) + 1, name.group(1) if name else "?")
            else:
                stack.append("other")  # a braced initialiser, an array, ...
        elif c == "}":
            if not stack:
                continue
            kind = stack.pop()
            if kind == "function" and body_start:
                end_line = code.count("\n", 0, pos) + 1
                results.append((end_line - body_start[0] + 1, body_start[0], body_start[1]))
                body_start = None
            if not stack or stack[-1] == "scope":
                header_start = pos + 1
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="*", default=["engine"])
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--limit", type=int, default=0)
    args = parser.parse_args()
    root = pathlib.Path(__file__).resolve().parents[2]
    found = []
    for folder in args.folders:
        base = pathlib.Path(folder) if pathlib.Path(folder).is_absolute() else root / folder
        for path in sorted(base.rglob("*")):
            if path.suffix in (".cpp", ".h", ".cc", ".hpp"):
                for length, line, name in functions(path):
                    found.append((length, f"{path.relative_to(root)}:{line}", name))
    found.sort(key=lambda f: (-f[0], f[1]))
    for length, where, name in found[: args.top]:
        print(f"{length:5d}  {where}  {name}")
    if args.limit and found and found[0][0] > args.limit:
        over = sum(1 for f in found if f[0] > args.limit)
        print(f"{over} function(s) longer than {args.limit} lines", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
