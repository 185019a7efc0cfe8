#!/usr/bin/env python3
"""Counts the Wine server requests per deleted leaf key from a trace of
`wineserver -d1`, for each tool that removal_bench.exe ran in its "count"
round (the stage in a process of its own, reg.exe 32-bit and 64-bit).

Each counted process deleted a key of N leaf subkeys, N twice over (a small
and a large tree), and is known by its command line, which names the key
"...\\ZrtBenchCount\\<tool>-<N>". Every request that any thread of that
process made is counted, from its start to its exit; the difference between
the large and the small tree's counts, divided by the difference in leaves,
is what one more leaf key costs. Process start and exit, the parent key, the
listing, the empty 64-bit view's pass: all the same for both trees, and so
gone from the difference.

A trace line "TID: name( ... )" is a request of thread TID; "TID: name() = ..."
is its reply. Thread ids are reused once a thread is gone, so a thread
belongs to a process from the reply that tells its id (init_first_thread for
a process's first thread, new_thread for a thread the process started
itself) until another such reply reuses the id.
"""
import re
import sys

LINE = re.compile(r"^([0-9a-f]+): ([a-z_]+)\((.*)$")
TAG = re.compile(r"ZrtBenchCount\\\\([a-z0-9]+)-([0-9]+)")
FIELD = re.compile(r"\b(pid|tid|process)=([0-9a-f]+)")


def fields(text):
    return dict(FIELD.findall(text))


def count(trace):
    owner = {}  # thread id -> process (the index in tags)
    tags = []  # per process: (tool, leaves), or None for any other process
    by_pid = {}
    pending = {}  # requester's thread id -> what its new_process or new_thread asked for
    counts = {}
    for line in trace:
        match = LINE.match(line)
        if not match:
            continue
        tid, name, rest = match.groups()
        if not rest.startswith(") = "):
            if name == "new_process":
                tag = TAG.search(rest)
                pending[tid] = (tag.group(1), int(tag.group(2))) if tag else None
            elif name == "new_thread":
                pending[tid] = owner.get(tid) if fields(rest).get("process") == "ffffffff" else None
            process = owner.get(tid)
            if process is not None and tags[process] is not None:
                counts[process] = counts.get(process, 0) + 1
            continue
        reply = fields(rest)
        if name == "new_process" and "pid" in reply:
            by_pid[reply["pid"]] = len(tags)
            tags.append(pending.pop(tid, None))
        elif name == "new_thread" and "tid" in reply:
            owner[reply["tid"]] = pending.pop(tid, None)
        elif name == "init_first_thread" and "tid" in reply:
            process = by_pid.get(reply["pid"])
            owner[reply["tid"]] = process
            if process is not None and tags[process] is not None:
                counts[process] = counts.get(process, 0) + 1  # its request came before the reply
    totals = {}
    for process, requests in counts.items():
        totals.setdefault(tags[process][0], {})[tags[process][1]] = requests
    return totals


def main():
    with open(sys.argv[1], errors="replace") as trace:
        totals = count(trace)
    per_leaf = {}
    for tool in ("stage", "reg32", "reg64"):
        runs = totals.get(tool, {})
        if len(runs) != 2:
            sys.exit(f"count_requests: {tool}: expected two traced runs, found {sorted(runs)}")
        (small, few), (large, many) = sorted(runs.items())
        per_leaf[tool] = (many - few) / (large - small)
        print(f"  {tool}: {few} requests for {small} leaves, {many} for {large}")
    print(
        f"server requests per leaf key: stage {per_leaf['stage']:.2f}, reg {per_leaf['reg32']:.2f}"
        f" (64-bit reg {per_leaf['reg64']:.2f})"
    )


if __name__ == "__main__":
    main()
