#!/usr/bin/env bash
# Builds and runs the whole test suite, then builds and runs it again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and says after each run
# how many tests were skipped and why. Exits non-zero on any failure, and
# as root also when a test that needs root was skipped. Then it fuzzes the
# parsers for a short while.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The skipped tests of a ctest JUnit file, one per line: name, a tab, the
# reason the test gave (GTEST_SKIP() << reason; ctest marks a test skipped
# when its output says "[  SKIPPED ]").
skipped_tests() {
    awk '
        /<testcase / {
            match($0, /name="[^"]*"/)
            name = substr($0, RSTART + 6, RLENGTH - 7)
            skipped = 0; want = 0; reason = ""
        }
        /<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/ { skipped = 1 }
        want { reason = $0; want = 0 }
        /: Skipped$/ { if (reason == "") want = 1 }
        /<\/testcase>/ {
            if (!skipped) next
            gsub(/&lt;/, "<", reason); gsub(/&gt;/, ">", reason); gsub(/&quot;/, "\"", reason)
            gsub(/&apos;/, "\047", reason); gsub(/&amp;/, "\\&", reason)
            print name "\t" (reason == "" ? "(no reason given)" : reason)
        }
    ' "$1"
}

# Says how many tests were skipped and why. As root (CI runs as root) a
# skipped test that needs root, and so loop devices, fails the run: its
# reason names root, loop devices or losetup.
report_skips() {
    local label=$1 junit=$2 skipped count root_only
    skipped=$(skipped_tests "$junit")
    count=$(printf '%s' "$skipped" | grep -c . || true)
    echo "$label: $count test(s) skipped"
    [ "$count" -eq 0 ] || printf '%s\n' "$skipped" | sed 's/^/    skipped: /'
    if [ "$(id -u)" -eq 0 ]; then
        root_only=$(printf '%s\n' "$skipped" | awk -F'\t' 'tolower($2) ~ /root|loop device|losetup/' || true)
        if [ -n "$root_only" ]; then
            echo "error: running as root, yet tests that need root were skipped:" >&2
            printf '%s\n' "$root_only" | sed 's/^/    /' >&2
            exit 1
        fi
    fi
}

run_suite() {
    local label=$1 dir=$2; shift 2
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    rm -f "$top/$dir/ctest-junit.xml"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300 --output-junit "$top/$dir/ctest-junit.xml")
    report_skips "$label" "$top/$dir/ctest-junit.xml"
}

echo "== normal build"
run_suite "normal build" build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build (ASan + UBSan)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite "sanitizer build" build-asan -DCMAKE_BUILD_TYPE=Debug -DVLT_SANITIZE=ON

# 15 s a target: twelve targets, two at a time, and their clang build keep
# the step near three minutes on two cores.
echo "== fuzzing (every parser of outside text, 15 s each)"
bash fuzz/run.sh -j "$jobs" 15

if [ -x scripts/package-test.sh ]; then
    echo "== packages"
    bash scripts/package-test.sh build
fi
