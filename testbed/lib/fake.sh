# The fake host tools. testbed/bin/<tool> sources this file with the tool's
# name and its arguments: . fake.sh qm "$@"
#
# Each call is logged, then the faults and the delay of the tool are
# applied, then the tool acts on the state under $VLT_SIM_ROOT.

[[ -n ${VLT_SIM_TRACE-} ]] && { PS4='+ $EPOCHREALTIME '; set -x; }
FAKE_TOOL=$1
shift
# The caller's locale (simlib.sh sets LC_ALL=C for the fake itself).
FAKE_LC_ALL=${LC_ALL-} FAKE_LC_ALL_SET=${LC_ALL+1}
FAKE_DIR=${BASH_SOURCE[0]%/*}
. "$FAKE_DIR/simlib.sh"
case $FAKE_TOOL in
    vlt_agent | vlt_restore)
        # Outside a simulated host the engine runs as it is.
        [[ -n ${VLT_SIM_ROOT:-} ]] || { . "$FAKE_DIR/engine.sh"; engine_exec "$@"; } ;;
esac
sim_need_root

SLEEP_PID=
FAKE_NODE=now
FAKE_HANG_AFTER=0

fake_log() {
    local line a
    line="$EPOCHREALTIME"$'\t'"$$"$'\t'"$1"$'\t'"$FAKE_TOOL"
    shift
    for a in "$@"; do
        log_field "$a"
        line+=$'\t'"$LOG_FIELD"
    done
    printf '%s\n' "$line" >>"$ROOT/calls.log"
}

# A signal during the exit (our callers send SIGTERM to a tool's group and
# then to the tool itself, so a second one often follows the first) would
# run fake_on_signal again and exit before the end line is written.
fake_on_exit() {
    local rc=$?
    trap '' TERM INT HUP
    [[ -n $SLEEP_PID ]] && kill "$SLEEP_PID" 2>/dev/null
    fake_log end "$rc"
}

fake_on_signal() {
    trap '' TERM INT HUP
    [[ -n $SLEEP_PID ]] && kill "$SLEEP_PID" 2>/dev/null
    SLEEP_PID=
    exit "$1"
}

# Sleeps in a child so that SIGTERM, SIGINT and SIGHUP end the fake at once.
fake_sleep_ms() {
    local ms=$1 secs
    printf -v secs '%d.%03d' $((ms / 1000)) $((ms % 1000))
    sleep "$secs" &
    SLEEP_PID=$!
    wait "$SLEEP_PID"
    SLEEP_PID=
}

# Sleeps until killed, or until the caller is gone (a caller killed by
# SIGKILL cannot end us): then ends with 129, as on a hang-up.
fake_hang() {
    local stat rest
    while :; do
        fake_sleep_ms 250
        read -r stat <"/proc/$$/stat" || exit 129
        rest=${stat##*) }
        rest=${rest#* }
        [[ ${rest%% *} == "$PPID" ]] || exit 129
    done
}

# Perl's complaint about a locale the host lacks, which qm, pvesm and pvesh
# print first (host setting locale_warnings: 1 unless the caller set
# LC_ALL=C, always even then).
fake_perl_warnings() {
    case $FAKE_TOOL in qm | pvesm | pvesh) ;; *) return 0 ;; esac
    case $locale_warnings in
        always) ;;
        1) [[ -n $FAKE_LC_ALL_SET && ($FAKE_LC_ALL == C || $FAKE_LC_ALL == C.UTF-8 || $FAKE_LC_ALL == POSIX) ]] && return 0 ;;
        *) return 0 ;;
    esac
    printf '%s\n' 'perl: warning: Setting locale failed.' \
        'perl: warning: Please check that your locale settings:' \
        $'\tLANGUAGE = (unset),' \
        $'\tLC_ALL = (unset),' \
        $'\tLANG = "en_US.UTF-8"' \
        '    are supported and installed on your system.' \
        'perl: warning: Falling back to the standard locale ("C").' >&2
}

# Output that no tool would print, with exit status 0.
fake_garbage() {
    case $1 in
        random) head -c 512 /dev/urandom ;;
        empty) printf '\n' ;;
        huge)
            local line block= i
            printf -v line '%127s' ''
            line=${line// /x}
            for ((i = 0; i < 64; i++)); do block+=$line$'\n'; done
            # 64 lines of 128 bytes, 128 times: 1 MiB.
            for ((i = 0; i < 128; i++)); do printf '%s' "$block"; done ;;
        nul) printf 'garbage\0after a NUL byte\n' ;;
    esac
    exit 0
}

# True when the leading arguments match the glob words of $1.
fault_matches() {
    local -a words
    read -ra words <<<"$1"
    shift
    local -a args=("$@")
    local i
    ((${#args[@]} >= ${#words[@]})) || return 1
    for ((i = 0; i < ${#words[@]}; i++)); do
        # shellcheck disable=SC2053
        [[ ${args[i]} == ${words[i]} ]] || return 1
    done
    return 0
}

# Counts the call against every matching fault and fires the first due one.
fake_faults() {
    local -a files=("$ROOT"/faults/*)
    [[ -e ${files[0]} ]] || { fake_perl_warnings; return 0; }
    local f tool match nth times action code text count fire_action= fire_code= fire_text=
    sim_lock
    for f in "${files[@]}"; do
        tool= match= nth=1 times=1 action= code=1 text= count=0
        . "$f"
        [[ $tool == "$FAKE_TOOL" ]] || continue
        fault_matches "$match" "$@" || continue
        count=$((count + 1))
        sim_save "$f" "" tool match nth times action code text count
        if [[ -z $fire_action ]] && ((count >= nth)) && ((times == 0 || count < nth + times)); then
            fire_action=$action fire_code=$code fire_text=$text
        fi
    done
    sim_unlock
    [[ $fire_action == missing ]] || fake_perl_warnings
    case $fire_action in
        fail)
            [[ -n $fire_text ]] && printf '%s\n' "$fire_text" >&2
            exit "$fire_code" ;;
        print)
            [[ -n $fire_text ]] && printf '%s\n' "$fire_text"
            exit "$fire_code" ;;
        hang) fake_hang ;;
        missing)
            printf '%s: command not found\n' "$FAKE_TOOL" >&2
            exit 127 ;;
        no-node) FAKE_NODE=never ;;
        late-node) FAKE_NODE=late ;;
        hang-after) FAKE_HANG_AFTER=1 ;;
        garbage) fake_garbage "$fire_text" ;;
        signal-caller)
            kill -s "$fire_text" "$PPID" 2>/dev/null
            fake_hang ;;
    esac
}

fake_delay() {
    local ms
    [[ -f $ROOT/delays/$FAKE_TOOL ]] || return 0
    read -r ms <"$ROOT/delays/$FAKE_TOOL" || return 0
    ((ms > 0)) && fake_sleep_ms "$ms"
    return 0
}

pve_die() {
    printf '%s\n' "$1" >&2
    exit 255
}

lvm_die() {
    local code=$1
    shift
    printf '  %s\n' "$@" >&2
    exit "$code"
}

############################################################ sendmail

# Records the mail: its arguments (escaped as in the call log) in
# mails/<n>.args and the message read from standard input in mails/<n>.msg.
tool_sendmail() {
    local line= a n=0 f
    for a in "$@"; do
        log_field "$a"
        line+=${line:+$'\t'}$LOG_FIELD
    done
    sim_lock
    for f in "$ROOT"/mails/*.args; do [[ -f $f ]] && n=$((n + 1)); done
    n=$((n + 1))
    printf -v f '%s/mails/%04d' "$ROOT" "$n"
    # The message first: the mail is listed once it is whole.
    cat >"$f.msg"
    printf '%s\n' "$line" >"$f.args"
    sim_unlock
}

############################################################ main

fake_log call "$@"
trap fake_on_exit EXIT
trap 'fake_on_signal 143' TERM
trap 'fake_on_signal 130' INT
trap 'fake_on_signal 129' HUP
fake_faults "$@"
fake_delay
case $FAKE_TOOL in
    qm) . "$FAKE_DIR/pve.sh"; tool_qm "$@" ;;
    pvesm) . "$FAKE_DIR/pve.sh"; tool_pvesm "$@" ;;
    pvesh) . "$FAKE_DIR/pve.sh"; tool_pvesh "$@" ;;
    lvs) . "$FAKE_DIR/lvm.sh"; tool_lvs "$@" ;;
    lvcreate) . "$FAKE_DIR/lvm.sh"; tool_lvcreate "$@" ;;
    lvremove) . "$FAKE_DIR/lvm.sh"; tool_lvremove "$@" ;;
    lvchange) . "$FAKE_DIR/lvm.sh"; tool_lvchange "$@" ;;
    udevadm) . "$FAKE_DIR/lvm.sh"; tool_udevadm "$@" ;;
    sendmail) tool_sendmail "$@" ;;
    vlt_agent | vlt_restore)
        . "$FAKE_DIR/engine.sh"
        ((FAKE_HANG_AFTER)) && engine_run_then_hang "$@"
        engine_exec "$@" ;;
    *) sim_die "unknown fake tool $FAKE_TOOL" ;;
esac
# hang-after: the call did its work (its output is out), then it hangs.
rc=$?
((FAKE_HANG_AFTER)) && fake_hang
exit "$rc"
