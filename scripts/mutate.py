#!/usr/bin/env python3
"""Mutation run: applies one small textual fault at a time to C++ sources,
rebuilds the host unit tests, runs them and says whether they noticed.

    python3 scripts/mutate.py removers/folders.cpp removers/tree_walk.cpp
    python3 scripts/mutate.py --list removers/folders.cpp   # the mutants only
    python3 scripts/mutate.py --only folders.cpp:12,tree_walk.cpp:40 FILES...

Faults: == and !=, < and <=, > and >= swapped; && and ||; a "!" dropped;
true and false swapped; an integer one more, one less or 0; a bool
function's returned value negated, another's made 0; a statement that is a
call dropped. Comments, strings, characters and preprocessor lines are never
touched. A mutant that does not build is not counted; a test that fails,
crashes or outlives --timeout kills it. Each filter of --filter runs in turn
(the slow ones last), and the first failure ends the mutant's run.
"""
import argparse
import re
import subprocess
import sys
import time
from pathlib import Path

SWAPS = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">", "&&": "||", "||": "&&"}
CALL = re.compile(r"[A-Za-z_][\w.:>\[\]-]*\(")
FUNCTION = re.compile(r"^(?:static |inline |constexpr )*([\w:]+)\s*[*&]?\s*[\w:]+\(", re.M)
INTEGER_TYPES = {"LONG", "DWORD", "ULONG", "NtStatus", "size_t", "int", "LONGLONG"}
KEYWORDS = {"return", "if", "for", "while", "switch", "case", "else", "do", "sizeof", "delete", "alignas"}


def masked(text):
    """The text with comments, literals and preprocessor lines blanked
    (same offsets), so that nothing in them is ever mutated."""
    out = list(text)
    i = 0
    while i < len(text):
        if text.startswith("//", i) or (text[i] == "#" and (i == 0 or text[i - 1] == "\n")):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
        elif text[i] in "\"'":
            end = i + 1
            while text[end] != text[i]:
                end += 2 if text[end] == "\\" else 1
            end += 1
        else:
            i += 1
            continue
        out[i:end] = " " * (end - i)
        i = end
    return "".join(out)


def statement_end(code, start):
    """Offset just past the ';' that ends the statement at `start`."""
    depth = 0
    for i in range(start, len(code)):
        depth += {"(": 1, "[": 1, "{": 1, ")": -1, "]": -1, "}": -1}.get(code[i], 0)
        if code[i] == ";" and depth == 0:
            return i + 1
    return len(code)


def mutants(text):
    """(start, end, replacement, description) for every fault in the text."""
    code = masked(text)
    found = []
    for m in re.finditer(r"(?<= )(==|!=|<=|>=|<|>|&&|\|\|)(?= )", code):
        found.append((m.start(), m.end(), SWAPS[m.group()], f"{m.group()} -> {SWAPS[m.group()]}"))
    for m in re.finditer(r"(?<=[ (])!(?!=)", code):
        found.append((m.start(), m.end(), "", "! dropped"))
    for m in re.finditer(r"\b(true|false|TRUE|FALSE)\b", code):
        flip = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}[m.group()]
        found.append((m.start(), m.end(), flip, f"{m.group()} -> {flip}"))
    for m in re.finditer(r"(?<![\w.])(\d+)(u?)\b(?!\.)", code):
        n = int(m.group(1))
        for k in sorted({n + 1, n - 1, 0} - {n, -1}):
            found.append((m.start(1), m.end(1), str(k), f"{n} -> {k}"))
    types = [(m.start(), m.group(1)) for m in FUNCTION.finditer(code)]
    for m in re.finditer(r"\breturn (?=[^;])", code):
        kind = next((t for at, t in reversed(types) if at < m.start()), "")
        end = statement_end(code, m.end()) - 1
        value = text[m.end() : end]
        if kind == "bool" and value not in ("true", "false"):
            found.append((m.end(), end, f"!({value})", "returned value negated"))
        elif kind in INTEGER_TYPES and not value.isdigit():
            found.append((m.end(), end, "0", "returns 0"))
    for m in re.finditer(r"(?<=\n)[ \t]*(\S)", code):
        start = m.start(1)
        call = CALL.match(code, start)
        before = code[:start].rstrip()
        if not call or call.group()[:-1] in KEYWORDS or not (before.endswith(("else", ":")) or before[-1:] in ";{})"):
            continue
        end = statement_end(code, start)
        if not re.search(r"[^=!<>]=(?!=)", re.sub(r"\([^()]*\)", "", code[start:end])):
            found.append((start, end, "{}", "call dropped"))
    return sorted(found)


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+")
    p.add_argument("--build", default="build/host")
    p.add_argument("--target", default="unit_tests")
    p.add_argument("--filter", action="append", help="gtest filters, run in turn")
    p.add_argument("--timeout", type=float, default=120)
    p.add_argument("--every", type=int, default=1, help="take every k-th mutant of each file")
    p.add_argument("--only", help="comma-separated ids (file name:index)")
    p.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    a = p.parse_args()
    filters = a.filter or ["*"]
    only = set(a.only.split(",")) if a.only else None
    build = ["cmake", "--build", a.build, "--target", a.target, "-j1"]
    tally = {}
    for name in a.files:
        path = Path(name)
        original = path.read_text()
        for index, (start, end, new, what) in enumerate(mutants(original)):
            mid = f"{path.name}:{index}"
            if (only is not None and mid not in only) or (only is None and index % a.every):
                continue
            line = original.count("\n", 0, start) + 1
            shown = original[start:end].split("\n")[0].strip()
            label = f"{mid} line {line}: {what} [{shown[:60]}]"
            if a.list:
                print(label)
                continue
            began = time.time()
            try:
                path.write_text(original[:start] + new + original[end:])
                if run(build, 600) != 0:
                    outcome = "stillborn"
                else:
                    outcome = "survived"
                    for f in filters:
                        cmd = [f"{a.build}/{a.target}", f"--gtest_filter={f}", "--gtest_fail_fast"]
                        if run(cmd, a.timeout) != 0:
                            outcome = "killed"
                            break
            finally:
                path.write_text(original)
            tally.setdefault(name, {}).setdefault(outcome, 0)
            tally[name][outcome] += 1
            print(f"{outcome:9} {time.time() - began:4.0f}s {label}", flush=True)
    run(build, 600)
    for name, t in tally.items():
        k, s = t.get("killed", 0), t.get("survived", 0)
        print(f"{name}: {k + s} mutants, {k} killed, {s} survived, {t.get('stillborn', 0)} not built"
              + (f", {100 * k / (k + s):.1f}% killed" if k + s else ""))
    k = sum(t.get("killed", 0) for t in tally.values())
    n = k + sum(t.get("survived", 0) for t in tally.values())
    if n:
        print(f"overall: {n} mutants, {k} killed, {n - k} survived, {100 * k / n:.1f}% killed")


if __name__ == "__main__":
    sys.exit(main())
