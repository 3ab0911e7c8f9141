#!/usr/bin/env bash
# Checks bench/calllog.awk, which turns a call log into the window and
# orchestration figures, against hand-made logs with known answers.
# bench/run.sh runs it first; it needs nothing but bash and awk.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
failed=0

expect() {  # name, log text, expected output line
    local got
    got=$(printf '%s' "$2" | awk -f "$here/calllog.awk")
    if [ "$got" != "$3" ]; then
        printf 'check_calllog: %s\n  expected: %s\n  got:      %s\n' "$1" "$3" "$got" >&2
        failed=1
    fi
}

T=$'\t'
# Two snapshots inside the window, a thaw, an agent after it, and one call
# that never ended (a tool killed without its end line), which counts nowhere.
expect "two disks" \
"100.000000${T}11${T}call${T}qm${T}guest${T}cmd${T}301${T}fsfreeze-freeze
100.010000${T}11${T}end${T}qm${T}0
100.012000${T}12${T}call${T}lvcreate${T}-s${T}-y${T}-kn${T}-n${T}vm-301-disk-0_vltsnap${T}vg/vm-301-disk-0
100.062000${T}12${T}end${T}lvcreate${T}0
100.065000${T}13${T}call${T}lvcreate${T}-s${T}-y${T}-kn${T}-n${T}vm-301-disk-1_vltsnap${T}vg/vm-301-disk-1
100.125000${T}13${T}end${T}lvcreate${T}0
100.129000${T}14${T}call${T}qm${T}guest${T}cmd${T}301${T}fsfreeze-thaw
100.139000${T}14${T}end${T}qm${T}0
100.140000${T}15${T}call${T}vlt_agent
100.640000${T}15${T}end${T}vlt_agent${T}0
100.700000${T}16${T}call${T}lvremove${T}-f${T}-y${T}vg/vm-301-disk-0_vltsnap
" \
"tools=0.630000 window=0.129000 lvcreate=0.110000 n=2 thaw=0.010000 overhead=0.009000 first_gap=0.002000 last_gap=0.004000 gaps=0.003000"

# Lines of different tools interleave when one starts another; the pid pairs
# each end with its call. Other qm commands are not the freeze or the thaw.
expect "pairs by pid" \
"50.000000${T}1${T}call${T}qm${T}config${T}301${T}--current
50.100000${T}1${T}end${T}qm${T}0
51.000000${T}2${T}call${T}qm${T}guest${T}cmd${T}301${T}fsfreeze-freeze
51.001000${T}3${T}call${T}udevadm${T}settle
51.002000${T}3${T}end${T}udevadm${T}0
51.020000${T}2${T}end${T}qm${T}0
51.025000${T}4${T}call${T}lvcreate${T}-s
51.525000${T}4${T}end${T}lvcreate${T}0
51.526000${T}5${T}call${T}qm${T}guest${T}cmd${T}301${T}fsfreeze-thaw
51.546000${T}5${T}end${T}qm${T}0
" \
"tools=0.641000 window=0.526000 lvcreate=0.500000 n=1 thaw=0.020000 overhead=0.006000 first_gap=0.005000 last_gap=0.001000 gaps=-"

# A backup that failed before its freeze has no window.
expect "no window" \
"10.000000${T}1${T}call${T}qm${T}config${T}301${T}--current
10.250000${T}1${T}end${T}qm${T}255
" \
"tools=0.250000 window=nan lvcreate=nan n=0 thaw=nan overhead=nan first_gap=nan last_gap=nan gaps=-"

[ "$failed" = 0 ] && echo "check_calllog: the call-log figures are right"
exit "$failed"
