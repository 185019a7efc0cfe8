#!/usr/bin/env bash
# Times the files stage's folder walk against "rd /s /q" (32-bit and 64-bit
# cmd.exe) on a tree of 20,000 files, and again with 100 of them held open,
# which it queues for the restart, and the registry stage against
# "reg delete /f" (32-bit and 64-bit reg.exe) on 5,051 keys in both views, in
# a throwaway Wine prefix, alternating in one run, with and without a trace
# log, and prints the net medians, the ratios, what a held file adds, and
# whether 32-bit code ran natively or under qemu. Then counts the Wine
# server requests per deleted leaf key of the registry stage and of
# "reg delete /f" in one more round under a tracing wineserver
# (count_requests.py says how). --rounds 0 only counts.
#
#   bash bench/run.sh [--rounds N] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=3 KEEP=0
while (($#)); do
    case $1 in
        --rounds) ROUNDS=${2:?}; shift 2 ;;
        --keep) KEEP=1; shift ;;
        *) sed -n '2,13s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
done

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target zrt_program >/dev/null
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zrt-bench.XXXXXX")
((KEEP)) || trap 'WINEPREFIX=$WORK/prefix wineserver -k 2>/dev/null || true; rm -rf "$WORK"' EXIT
i686-w64-mingw32-g++ -std=c++20 -O2 -Wall -Wextra -Werror -I. -Iplatform bench/removal_bench.cpp build/win32/libzrt_program.a \
    -static -ladvapi32 -lshlwapi -lcomctl32 -luser32 -lgdi32 -o "$WORK/removal_bench.exe"

export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
timeout 180 wineboot -i >/dev/null 2>&1
timeout 60 wineserver -w || true
mkdir -p "$WINEPREFIX/drive_c/bench"
cp "$WORK/removal_bench.exe" "$WINEPREFIX/drive_c/bench/"

# binfmt_misc hands 32-bit ELF programs (the 32-bit Wine loader among them)
# to qemu when qemu-i386 is registered and enabled.
if [[ -r /proc/sys/fs/binfmt_misc/qemu-i386 ]] && head -1 /proc/sys/fs/binfmt_misc/qemu-i386 | grep -q enabled; then
    echo "32-bit code: emulated (binfmt_misc qemu-i386 enabled)"
else
    echo "32-bit code: native"
fi
echo "tree: 20 x 10 folders x 100 files (100 of them held in one run each round); keys: 50 x 100 (2 values each) in both views; rounds: $ROUNDS"
((ROUNDS == 0)) || timeout 3600 wine 'C:\bench\removal_bench.exe' 'C:\bench' "$ROUNDS"

# The count round, under a server started anew to trace every request to
# stderr (-d1) and kept (-p) until the round is over; the timed rounds above
# ran untraced.
wineserver -k 2>/dev/null || true
timeout 60 wineserver -w || true
wineserver -f -p -d1 2>"$WORK/requests.trace" &
TRACER=$!
timeout 1200 wine 'C:\bench\removal_bench.exe' 'C:\bench' count
wineserver -k
wait "$TRACER" || true
python3 bench/count_requests.py "$WORK/requests.trace"
