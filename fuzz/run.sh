#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one
# on a scratch copy of its seed corpus (the repository is never written).
# Any crash, leak, time-out, memory blow-up or sanitizer report fails.
#
#   fuzz/run.sh [-j N] [--runs N] [SECONDS] [TARGET...]
#
#   SECONDS   how long each target runs (default 20)
#   --runs N  run each target for N executions instead of a time
#   -j N      run N targets at a time (default 1; each target uses one core)
#   TARGET    only these targets (default: all of fuzz/corpus/*)
#
# FUZZ_BUILD_DIR (default build-fuzz) and FUZZ_WORK_DIR (default a new
# directory under the build directory, removed unless a target failed)
# move the two directories.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

seconds=20
runs=
jobs=1
targets=()
while [ $# -gt 0 ]; do
    case $1 in
        -j) jobs=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        [0-9]*) seconds=$1; shift ;;
        *) targets+=("$1"); shift ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

# clang and its runtime libraries (libFuzzer, the sanitizers) are needed
# here only; Debian ships the runtimes apart from the compiler.
bash scripts/deps.sh clang-14 libclang-rt-14-dev

build=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVLT_FUZZ=ON -DVLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

work=${FUZZ_WORK_DIR:-$(mktemp -d "$top/$build/work.XXXXXX")}
mkdir -p "$work"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer

# One target: its corpus copied to scratch, its dictionary if it has one,
# one line of figures at the end. Returns libFuzzer's exit status.
run_target() {
    local t=$1 dir=$work/$1
    mkdir -p "$dir/corpus"
    cp fuzz/corpus/"$t"/* "$dir/corpus/"
    local args=(-timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1
                -artifact_prefix="$dir/")
    [ -f "fuzz/dict/$t.dict" ] && args+=(-dict="fuzz/dict/$t.dict")
    if [ -n "$runs" ]; then args+=(-runs="$runs"); else args+=(-max_total_time="$seconds"); fi
    local start=$SECONDS status=0
    "$build/fuzz/fuzz_$t" "${args[@]}" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
    local done_line execs
    done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED|NEW|REDUCE|pulse)' "$dir/log" | tail -1 || true)
    execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$dir/log")
    printf '%-17s %s  execs %s  cov %s  ft %s  %ss\n' "$t" \
        "$([ $status -eq 0 ] && echo ok || echo FAILED)" "${execs:-?}" \
        "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")" \
        "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")" "$((SECONDS - start))"
    if [ $status -ne 0 ]; then
        tail -n 60 "$dir/log" | sed "s/^/  $t: /"
        ls "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null | sed "s/^/  $t: input kept: /"
    fi
    return $status
}

failed=()
pids=()
names=()
wait_one() {
    local pid=${pids[0]} name=${names[0]}
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
    wait "$pid" || failed+=("$name")
}
for t in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/fuzz_$t" ]; then
        echo "no fuzz target $t" >&2
        failed+=("$t")
        continue
    fi
    run_target "$t" &
    pids+=($!)
    names+=("$t")
    [ ${#pids[@]} -ge "$jobs" ] && wait_one
done
while [ ${#pids[@]} -gt 0 ]; do wait_one; done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing FAILED: ${failed[*]} (logs and inputs in $work)" >&2
    exit 1
fi
[ -z "${FUZZ_WORK_DIR:-}" ] && rm -rf "$work"
echo "fuzzing ok: ${#targets[@]} targets"
