# The reference engine behind testbed/bin/vlt_agent and vlt_restore: sourced
# by fake.sh, which logs the call and applies faults and delays first.

# Sets ENGINE_BIN to the real engine binary FAKE_TOOL names: from
# $VLT_ENGINE_BIN_DIR, the host setting engine_dir, or the first one on
# PATH that is not in testbed/bin.
engine_find() {
    local d self
    ENGINE_BIN=
    for d in "${VLT_ENGINE_BIN_DIR-}" "${engine_dir-}"; do
        if [[ -n $d && -x $d/$FAKE_TOOL && ! -d $d/$FAKE_TOOL ]]; then
            ENGINE_BIN=$d/$FAKE_TOOL
            return 0
        fi
    done
    self=$(cd -P "$FAKE_DIR/../bin" && pwd)
    local IFS=:
    for d in $PATH; do
        [[ -n $d && -x $d/$FAKE_TOOL && ! -d $d/$FAKE_TOOL ]] || continue
        [[ $(cd -P "$d" 2>/dev/null && pwd) == "$self" ]] && continue
        ENGINE_BIN=$d/$FAKE_TOOL
        return 0
    done
    return 1
}

# Becomes the engine: same pid, arguments (argv[0] the tool's name, as our
# programs start it), environment (the caller's LC_ALL), descriptors and
# signal dispositions. No end line is logged: the caller reaps the engine.
engine_exec() {
    if ! engine_find; then
        printf '%s: the engine binary was not found (set VLT_ENGINE_BIN_DIR or simhost set engine_dir)\n' "$FAKE_TOOL" >&2
        exit 127
    fi
    if [[ -n $FAKE_LC_ALL_SET ]]; then export LC_ALL=$FAKE_LC_ALL; else unset LC_ALL; fi
    trap - EXIT TERM INT HUP
    exec -a "$FAKE_TOOL" "$ENGINE_BIN" "$@"
}

# With a hang-after fault: the engine runs as a child to its end, then the
# wrapper hangs until killed (so this call's pid is the wrapper's).
engine_run_then_hang() {
    engine_find || { printf '%s: the engine binary was not found\n' "$FAKE_TOOL" >&2; exit 127; }
    (
        if [[ -n $FAKE_LC_ALL_SET ]]; then export LC_ALL=$FAKE_LC_ALL; else unset LC_ALL; fi
        exec -a "$FAKE_TOOL" "$ENGINE_BIN" "$@"
    )
    fake_hang
}
