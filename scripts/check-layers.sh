#!/usr/bin/env bash
# Checks that the includes of the two programs run one way down. Each file
# of backup/ and restore/ has a layer (below); a file may include files of
# its own program from its own layer or a lower one only, and the include
# graph of each program must have no circle (tsort finds none). A file that
# is not in the table fails the check, so a new file gets its place here.
#
#   layer 4  main.cc                      the program's entry
#   layer 3  cli                          command line and start sequence
#   layer 2  the run                      run sequence and the steps it drives
#   layer 1  the parts and option records
#
# Usage: scripts/check-layers.sh [source-dir]
set -euo pipefail
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top"

layer_of() {
    case "$1" in
    */main.cc) echo 4 ;;
    */cli.h | */cli.cc) echo 3 ;;
    backup/run_backup.* | backup/agent_runs.* | backup/snapshots.* | backup/disks.* | backup/vm_state.*) echo 2 ;;
    backup/run_lock.* | backup/run_journal.* | backup/recovery.*) echo 2 ;;
    backup/activation.* | backup/agent_wait.* | backup/pool_guard.* | backup/preflight.*) echo 2 ;;
    backup/snapshot_phase.* | backup/run_report.* | backup/node_run.* | backup/node_select.*) echo 2 ;;
    backup/node_summary.* | backup/mail.*) echo 2 ;;
    restore/restore_vm.* | restore/restore_runs.* | restore/set_choice.* | restore/interrupt.*) echo 2 ;;
    backup/backup_options.h | backup/profile_config.* | backup/storage_cfg.*) echo 1 ;;
    restore/restore_options.h | restore/discovery.* | restore/allocation.* | restore/config_rewrite.* | restore/vmid.*) echo 1 ;;
    restore/backup_sets.* | restore/disk_plan.* | restore/storage_type.* | restore/utc_time.*) echo 1 ;;
    *) echo "" ;;
    esac
}

status=0
for program in backup restore; do
    edges=$(mktemp)
    for file in "$program"/*.h "$program"/*.cc; do
        from=$(layer_of "$file")
        if [ -z "$from" ]; then
            echo "check-layers: $file has no layer (add it to scripts/check-layers.sh)" >&2
            status=1
            continue
        fi
        echo "$file $file" >>"$edges"
        while read -r included; do
            [ -e "$included" ] || continue
            to=$(layer_of "$included")
            if [ -z "$to" ] || [ "$to" -gt "$from" ]; then
                echo "check-layers: $file (layer $from) includes $included (layer ${to:-none})" >&2
                status=1
            fi
            echo "$file $included" >>"$edges"
        done < <(sed -n "s|^#include \"\\($program/[^\"]*\\)\".*|\\1|p" "$file")
    done
    if ! tsort "$edges" >/dev/null 2>"$edges.err"; then
        echo "check-layers: the includes of $program/ run in a circle:" >&2
        cat "$edges.err" >&2
        status=1
    fi
    echo "check-layers: $program/: $(grep -vc '^\(\S*\) \1$' "$edges" || true) includes checked"
    rm -f "$edges" "$edges.err"
done
exit $status
