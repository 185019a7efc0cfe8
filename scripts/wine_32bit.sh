# shellcheck shell=bash
# How this machine runs 32-bit x86 programs, and so the 32-bit half of Wine.
# Sourced by scripts/setup.sh and by every script that starts Wine.
#
# Machines of our kind differ: some kernels run 32-bit programs, others
# refuse them ("Exec format error"). There the 32-bit half of Wine runs
# under qemu-i386 user emulation, registered with binfmt_misc. Once such a
# registration is enabled it takes every i386 program, whatever the kernel
# could do, so it is looked at first.
#
#   zrt_32bit_mode     sets ZRT_32BIT to native | emulated | unavailable,
#                      ZRT_32BIT_LINE to the one line that says so,
#                      ZRT_32BIT_EMULATOR_NAME (emulated: qemu-i386), and
#                      ZRT_WINE_SLOWDOWN to the factor for Wine's deadlines
#   zrt_32bit_needs_emulator  true where 32-bit programs do not run, or run
#                      under a qemu older than 10
#   zrt_32bit_enable   (root) registers qemu-i386 (replacing an older entry);
#                      returns 1 with ZRT_32BIT_LINE saying why when it
#                      cannot be had
#   zrt_32bit_require  for the Wine runners: prints the line; exits 77 (a
#                      skip for ctest) when 32-bit programs cannot run

ZRT_BINFMT=/proc/sys/fs/binfmt_misc
ZRT_I386_LOADER=/lib/ld-linux.so.2
# The i386 ELF header as qemu's own binfmt entries give it: class 32-bit,
# little-endian, version 1, an executable or shared object for machine 3.
ZRT_I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
ZRT_I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
ZRT_QEMU=/usr/bin/qemu-i386-static

# Prints the interpreter of the enabled binfmt_misc entry that takes i386
# ELF programs, if there is one.
zrt_i386_interpreter() {
    local entry
    [[ -d $ZRT_BINFMT ]] || return 0
    for entry in "$ZRT_BINFMT"/*; do
        [[ -f $entry && $entry != */register && $entry != */status ]] || continue
        grep -qx enabled "$entry" 2>/dev/null || continue
        grep -qE '^magic 7f454c4601010100000000000000000002000300' "$entry" 2>/dev/null || continue
        sed -n 's/^interpreter //p' "$entry"
        return 0
    done
}

zrt_32bit_mode() {
    local interpreter output
    ZRT_WINE_SLOWDOWN=1
    interpreter=$(zrt_i386_interpreter)
    if [[ -n $interpreter ]]; then
        if "$ZRT_I386_LOADER" --version >/dev/null 2>&1; then
            ZRT_32BIT=emulated
            ZRT_32BIT_EMULATOR_NAME=$(basename "${interpreter%-static}")
            ZRT_32BIT_LINE="32-bit programs: emulated ($ZRT_32BIT_EMULATOR_NAME)"
            # The Wine suites took about three times as long (e2e 309 s
            # against 105 s); the deadlines get a margin over that.
            ZRT_WINE_SLOWDOWN=4
            return 0
        fi
        ZRT_32BIT=unavailable
        ZRT_32BIT_LINE="32-bit programs: unavailable ($interpreter is registered but does not run $ZRT_I386_LOADER)"
        return 0
    fi
    if [[ ! -e $ZRT_I386_LOADER ]]; then
        ZRT_32BIT=unavailable
        ZRT_32BIT_LINE="32-bit programs: unavailable (no $ZRT_I386_LOADER: libc6:i386 is not installed)"
        return 0
    fi
    if output=$("$ZRT_I386_LOADER" --version 2>&1); then
        ZRT_32BIT=native
        ZRT_32BIT_LINE="32-bit programs: native"
        return 0
    fi
    ZRT_32BIT=unavailable
    ZRT_32BIT_LINE="32-bit programs: unavailable (the kernel refuses them: ${output%%$'\n'*})"
}

# The major version of the qemu-i386 that takes i386 programs now, or 0.
zrt_qemu_major() {
    local interpreter
    interpreter=$(zrt_i386_interpreter)
    [[ -n $interpreter ]] || { echo 0; return; }
    "$interpreter" --version 2>/dev/null | sed -n '1s/.*version \([0-9]*\)\..*/\1/p' | grep . || echo 0
}

# Whether setup must (re)install the emulator: 32-bit programs do not run,
# or they run under a qemu older than 10. Debian 12's own qemu (7.2) loses
# threads of 32-bit Wine processes at random: a service stop went unanswered
# (1053) in 3 of 30 tries, the conformance suite's service cases passed in 2
# of 13 runs, exceptions killed processes; qemu 10.0: 0 of 16 and 6 of 6.
zrt_32bit_needs_emulator() {
    zrt_32bit_mode
    [[ $ZRT_32BIT == unavailable ]] || { [[ $ZRT_32BIT == emulated ]] && (($(zrt_qemu_major) < 10)); }
}

zrt_32bit_enable() {
    zrt_32bit_mode
    if [[ $(id -u) -ne 0 ]]; then
        ZRT_32BIT_LINE="$ZRT_32BIT_LINE; as root, scripts/setup.sh sets up qemu-i386 emulation"
        return 1
    fi
    if [[ ! -x $ZRT_QEMU ]]; then
        ZRT_32BIT_LINE="$ZRT_32BIT_LINE; $ZRT_QEMU is missing"
        return 1
    fi
    if [[ ! -e $ZRT_BINFMT/register ]]; then
        mount -t binfmt_misc binfmt_misc "$ZRT_BINFMT" 2>/dev/null || {
            ZRT_32BIT_LINE="$ZRT_32BIT_LINE; binfmt_misc cannot be mounted on $ZRT_BINFMT"
            return 1
        }
    fi
    # An entry of that name that is disabled or takes other files would
    # refuse the registration: it goes first.
    [[ -e $ZRT_BINFMT/qemu-i386 ]] && echo -1 >"$ZRT_BINFMT/qemu-i386"
    # F: the kernel opens the interpreter now, so it serves in every
    # mount namespace and chroot, as Wine's own starts need.
    printf '%s' ":qemu-i386:M::$ZRT_I386_MAGIC:$ZRT_I386_MASK:$ZRT_QEMU:F" >"$ZRT_BINFMT/register" 2>/dev/null || {
        ZRT_32BIT_LINE="$ZRT_32BIT_LINE; the kernel refused the qemu-i386 registration"
        return 1
    }
    zrt_32bit_mode
    [[ $ZRT_32BIT != unavailable ]]
}

zrt_32bit_require() {
    zrt_32bit_mode
    echo "$ZRT_32BIT_LINE"
    if [[ $ZRT_32BIT == unavailable ]]; then
        echo "SKIP: Wine cannot run 32-bit programs on this machine"
        exit 77
    fi
}
