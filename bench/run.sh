#!/usr/bin/env bash
# The benchmarks: builds in Release mode, runs every figure once to warm up and
# then five times, and prints one table (our median, the baseline's median from
# the same run, their ratio, the target, and whether it holds).
#
#   bench/run.sh            the full run (several minutes; needs root for the
#                           simulated host's loop devices)
#   bench/run.sh --quick    small sizes and two rounds, to try the machinery
#
# Figures:
#   1  consistency window: what the backup adds to the lvcreate times while
#      the guest is frozen, against the same tools run by a bare loop
#   2  run_command against a bare fork/exec/waitpid loop; its 1 MiB capture
#      against a plain read loop
#   3  vlt_agent and vlt_restore against zstd on a 1 GiB file
#   4  peak resident memory of the four programs
#   5  orchestration time per disk, backup and restore, 1 to 32 disks
#   6  a node-wide run of 4 VMs (--pool) with --jobs 2 against --jobs 1
# The table also goes to $build/bench-results.txt, with the machine and its load.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

quick=0
for a in "$@"; do
    case $a in
        --quick) quick=1 ;;
        *) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "bench: needs root (the simulated host attaches loop devices)" >&2
    exit 1
fi

bash scripts/deps.sh zstd
bash bench/check_calllog.sh
build=${VLT_BENCH_BUILD:-$top/build-bench}
echo "== building (Release) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vlt_proxmox vlt_proxmox_restore vlt_agent vlt_restore vlt_bench vlt_bench_stamp >/dev/null

# Whatever else runs on the machine would decide the millisecond figures:
# the measuring runs ahead of it (the build above did not). VLT_BENCH_NICE=0
# measures at normal priority.
renice -n "${VLT_BENCH_NICE:--19}" -p $$ >/dev/null

if [ "$quick" = 1 ]; then
    reps=2 disk_counts="1 4" data_size=$((64 * 1024 * 1024)) runner_runs=200 big_runs=20
else
    reps=5 disk_counts="1 4 16 32" data_size=$((1024 * 1024 * 1024)) runner_runs=2000 big_runs=100
fi
lvcreate_ms=50

bench=$build/bench/vlt_bench
sim=$top/testbed/simhost
work=$(mktemp -d /tmp/vlt_bench.XXXXXX)
export VLT_SIM_ROOT=$work/host
# Proxmox's storage locks of the simulated host, not of this machine.
export VLT_PVE_LOCK_DIR=$VLT_SIM_ROOT/locks/pve-manager
cleanup() {
    "$sim" teardown >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# Every outside tool is reached through the stamp, which logs when each
# tool's process starts and ends (bench/stamp.cc); the fakes' own call log
# starts only once their shell is up.
mkdir -p "$work/stamp"
for t in qm pvesm pvesh lvs lvcreate lvchange lvremove udevadm vlt_agent vlt_restore; do
    ln -s "$build/bench/vlt_bench_stamp" "$work/stamp/$t"
done
# The engine first: testbed/bin's vlt_agent and vlt_restore are wrappers
# that log to the host's call log; the stamp times the engine itself.
export VLT_BENCH_REAL_PATH=$build/engine:$top/testbed/bin
export VLT_BENCH_CALLS=$work/calls.log
fake_path="$work/stamp:$PATH"

results=$work/results.tsv
: >"$results"
fail() { printf 'bench: FAILED: %s\n' "$*" >&2; exit 1; }
# median of the numbers on standard input
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# row NAME OURS BASE UNIT KIND LIMIT: KIND is "ratio" (ours/base <= LIMIT),
# "excess" (ours - base <= LIMIT), or "max" (ours <= LIMIT)
row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p"; }

# ---------------------------------------------------------------- figure 2
echo "== runner: $runner_runs runs of /bin/true, $big_runs captures of 1 MiB, warm-up + $reps rounds"
"$bench" runner --runs "$runner_runs" --big-runs "$big_runs" --reps "$reps" >"$work/runner.txt"
read -r _ ours base < <(grep '^runner_true ' "$work/runner.txt")
row "run_command /bin/true (per run)" "$ours" "$base" us ratio 1.2
read -r _ ours base < <(grep '^runner_1mib ' "$work/runner.txt")
row "run_command 1 MiB capture (per run)" "$ours" "$base" us ratio 1.2

# ---------------------------------------------------------------- figures 1, 4, 5
echo "== simulated host: VMs with $disk_counts disks, lvcreate delayed by $lvcreate_ms ms"
vg=$("$sim" init)
"$sim" add-storage local-lvm lvmthin >/dev/null
for n in $disk_counts; do
    vmid=$((300 + n))
    conf=$'agent: 1\nname: bench'"$n"$'\nmemory: 1024'
    for ((k = 0; k < n; k++)); do
        # 31 scsi slots (0..30), then virtio
        if ((k < 31)); then slot=scsi$k; else slot=virtio$((k - 31)); fi
        conf+=$'\n'"$slot: local-lvm:vm-$vmid-disk-$k,size=4M"
        "$sim" add-lv local-lvm "vm-$vmid-disk-$k" 4M --urandom >/dev/null
    done
    "$sim" add-vm "$vmid" --config-text "$conf" >/dev/null
done
"$sim" delay lvcreate "$lvcreate_ms"

# Total wall time minus the outside tools' own time, from the stamps.
orchestration() {  # wall seconds -> orchestration seconds
    local tools
    tools=$(awk -f "$top/bench/calllog.awk" "$VLT_BENCH_CALLS" | field tools)
    awk -v w="$1" -v t="$tools" 'BEGIN { printf "%.6f\n", w - t }'
}

# Restored disks must hold the origin's bytes; the new VM is removed again.
check_and_drop_restore() {  # vmid newid verify
    local vmid=$1 newid=$2 verify=$3 conf=$VLT_SIM_ROOT/pve/qemu-server/$2.conf line slot vol k want got
    [ -f "$conf" ] || fail "restore of VM $vmid installed no $conf"
    if [ "$verify" = 1 ]; then
        k=0
        while IFS= read -r line; do
            case $line in scsi*:* | virtio*:*) ;; *) continue ;; esac
            slot=${line%%:*}
            vol=$(sed -n "s/^$slot: local-lvm:\\([^,]*\\),.*/\\1/p" "$conf")
            case $slot in
                scsi*) want=$(head -c 4194304 "/dev/$vg/vm-$vmid-disk-${slot#scsi}" | sha256sum) ;;
                *) want=$(head -c 4194304 "/dev/$vg/vm-$vmid-disk-$((31 + ${slot#virtio}))" | sha256sum) ;;
            esac
            got=$(head -c 4194304 "/dev/$vg/$vol" | sha256sum)
            [ "$want" = "$got" ] || fail "VM $vmid $slot: restored bytes differ"
            k=$((k + 1))
        done <"$conf"
        [ "$k" -eq "$(grep -c '^\(scsi\|virtio\)[0-9]*: ' "$VLT_SIM_ROOT/pve/qemu-server/$vmid.conf")" ] ||
            fail "VM $vmid: the restored config has $k disks"
    fi
    for vol in $("$sim" lv-names | grep "^vm-$newid-disk-" || true); do
        "$sim" remove-lv "$vg" "$vol"
    done
    rm -f "$conf"
}

# Each round takes every disk count in turn, so a change of the machine's load
# during the run touches all of them alike.
for n in $disk_counts; do : >"$work/f1_$n.txt"; done
for ((r = 0; r <= reps; r++)); do
    echo "== round $r of $reps ($([ "$r" = 0 ] && echo warm-up || echo measured)): backup, bare snapshot sequence and restore of $disk_counts disk(s)"
    for n in $disk_counts; do
        vmid=$((300 + n))
        origins=()
        for ((k = 0; k < n; k++)); do origins+=("$vg/vm-$vmid-disk-$k"); done
        out=$work/runs
        rm -rf "$out" && mkdir -p "$out"
        # The warm-up round also reads the peak memory of every program: the
        # tracer that does it must not touch the timed rounds.
        launch=time
        [ "$r" = 0 ] && launch=hwm

        : >"$VLT_BENCH_CALLS"
        PATH=$fake_path "$bench" $launch --stderr "$work/backup.log" -- \
            "$build/backup/vlt_proxmox" --vmid "$vmid" --pve-dir "$VLT_SIM_ROOT/pve" -- --out "$out" >"$work/measure.txt" ||
            { cat "$work/backup.log" >&2; fail "vlt_proxmox of VM $vmid exited non-zero"; }
        read -r b_wall b_peak <"$work/measure.txt"
        logged=$(sed -n 's/.*consistency window (guest quiesced until thawed): \([0-9.]*\) s over.*/\1/p' "$work/backup.log")
        [ -n "$logged" ] || fail "no consistency window in the backup log"
        ours=$(awk -f bench/calllog.awk "$VLT_BENCH_CALLS")
        [ "$(echo "$ours" | field n)" = "$n" ] || fail "VM $vmid: $n lvcreate calls expected: $ours"
        b_orch=$(orchestration "$b_wall")
        # the host is checked for leftovers in the last round (check-clean
        # may wait seconds for programs of other hosts on a shared machine)
        [ "$r" = "$reps" ] && { "$sim" check-clean >/dev/null ||
            { "$sim" check-clean >&2; fail "the backup of VM $vmid left something behind"; }; }

        : >"$VLT_BENCH_CALLS"
        PATH=$fake_path "$bench" $launch -- "$bench" snapset "$vmid" "vm$vmid" "${origins[@]}" >"$work/measure.txt" ||
            fail "the bare snapshot sequence of VM $vmid failed"
        read -r _ s_peak < <(tail -n 1 "$work/measure.txt")
        base=$(awk -f bench/calllog.awk "$VLT_BENCH_CALLS")
        [ "$r" = "$reps" ] && { "$sim" check-clean >/dev/null ||
            { "$sim" check-clean >&2; fail "the bare sequence of VM $vmid left something behind"; }; }

        : >"$VLT_BENCH_CALLS"
        PATH=$fake_path "$bench" $launch --stderr "$work/restore.log" -- \
            "$build/restore/vlt_proxmox_restore" --job "vm$vmid" --search-dir "$out" --pve-dir "$VLT_SIM_ROOT/pve" \
            >"$work/measure.txt" || { cat "$work/restore.log" >&2; fail "vlt_proxmox_restore of VM $vmid exited non-zero"; }
        read -r r_wall r_peak <"$work/measure.txt"
        r_orch=$(orchestration "$r_wall")
        newid=$(sed -n 's/.*done (VMID \([0-9]*\))$/\1/p' "$work/restore.log")
        [ -n "$newid" ] || fail "no 'done (VMID ...)' line in the restore log"
        check_and_drop_restore "$vmid" "$newid" "$([ "$r" = "$reps" ] && echo 1 || echo 0)"

        if [ "$r" = 0 ]; then
            printf '%s %s %s %s\n' "$n" "$b_peak" "$r_peak" "$s_peak" >>"$work/peaks.txt"
            continue
        fi
        printf 'ours %s logged=%s\nbase %s\norch backup=%s restore=%s\n' \
            "$ours" "$logged" "$base" "$b_orch" "$r_orch" >>"$work/f1_$n.txt"
    done
done
for n in $disk_counts; do
    f=$work/f1_$n.txt
    pick() { grep "^$1 " "$f" | field "$2" | median; }
    per_disk() { awk -v a="$1" -v n="$n" 'BEGIN { printf "%.3f\n", a * 1000 / n }'; }
    ms() { awk -v a="$1" 'BEGIN { printf "%.3f\n", a * 1000 }'; }
    # What the window holds beyond the lvcreate and thaw times is the gap
    # from the freeze to the first lvcreate, the n - 1 gaps between
    # lvcreates and the gap from the last one to the thaw. Each is taken as
    # its median over the rounds (the gaps between lvcreates over all of
    # them), so one slow start of a fake tool on a busy machine does not
    # decide the figure.
    robust() {  # ours|base -> seconds per disk
        local fg lg ig
        fg=$(pick "$1" first_gap)
        lg=$(pick "$1" last_gap)
        ig=$(grep "^$1 " "$f" | field gaps | tr ',' '\n' | grep -v '^-$' | median)
        [ "$ig" = nan ] && ig=0
        awk -v a="$fg" -v b="$lg" -v g="$ig" -v n="$n" 'BEGIN { printf "%.6f\n", (a + b + (n - 1) * g) / n }'
    }
    row "window overhead per disk, $n disk(s)" "$(ms "$(robust ours)")" "$(ms "$(robust base)")" ms excess 2
    printf '%s %s %s %s %s %s %s\n' "$n" "$(pick orch backup)" "$(pick orch restore)" "$(pick ours window)" \
        "$(grep '^ours ' "$f" | field logged | median)" "$(per_disk "$(pick ours overhead)")" \
        "$(per_disk "$(pick base overhead)")" >>"$work/scale.txt"
done

# The step from the freeze to the first lvcreate, and from the last device
# check to the thaw, is the same whatever the number of disks: the medians
# are taken over every disk count and round.
ms() { awk -v a="$1" 'BEGIN { printf "%.3f\n", a * 1000 }'; }
allpick() { cat "$work"/f1_*.txt | grep "^$1 " | field "$2" | median; }
row "freeze end to 1st lvcreate (all counts)" "$(ms "$(allpick ours first_gap)")" "$(ms "$(allpick base first_gap)")" ms excess 1
row "last lvcreate to thaw (all counts)" "$(ms "$(allpick ours last_gap)")" "$(ms "$(allpick base last_gap)")" ms excess 1

# Peak memory of the two programs during a 4-disk run (the warm-up above was
# the first one), against the bare C++ sequence.
echo "== memory: backup, bare snapshot sequence and restore of 4 disks, peak read as each exits; $reps rounds"
vmid=304
origins=()
for ((k = 0; k < 4; k++)); do origins+=("$vg/vm-$vmid-disk-$k"); done
: >"$work/memory.txt"
for ((r = 1; r <= reps; r++)); do
    out=$work/runs
    rm -rf "$out" && mkdir -p "$out"
    PATH=$fake_path "$bench" hwm --stderr "$work/backup.log" -- \
        "$build/backup/vlt_proxmox" --vmid "$vmid" --pve-dir "$VLT_SIM_ROOT/pve" -- --out "$out" >"$work/measure.txt" ||
        { cat "$work/backup.log" >&2; fail "vlt_proxmox of VM $vmid exited non-zero"; }
    read -r _ b_peak <"$work/measure.txt"
    PATH=$fake_path "$bench" hwm -- "$bench" snapset "$vmid" "vm$vmid" "${origins[@]}" >"$work/measure.txt" ||
        fail "the bare snapshot sequence of VM $vmid failed"
    read -r _ s_peak < <(tail -n 1 "$work/measure.txt")
    PATH=$fake_path "$bench" hwm --stderr "$work/restore.log" -- \
        "$build/restore/vlt_proxmox_restore" --job "vm$vmid" --search-dir "$out" --pve-dir "$VLT_SIM_ROOT/pve" \
        >"$work/measure.txt" || { cat "$work/restore.log" >&2; fail "vlt_proxmox_restore of VM $vmid exited non-zero"; }
    read -r _ r_peak <"$work/measure.txt"
    newid=$(sed -n 's/.*done (VMID \([0-9]*\))$/\1/p' "$work/restore.log")
    [ -n "$newid" ] || fail "no 'done (VMID ...)' line in the restore log"
    check_and_drop_restore "$vmid" "$newid" 0
    printf 'backup=%s restore=%s bare=%s\n' "$b_peak" "$r_peak" "$s_peak" >>"$work/memory.txt"
done
mpick() { field "$1" <"$work/memory.txt" | median; }
row "vlt_proxmox peak RSS, 4 disks" "$(mpick backup)" "$(mpick bare)" KiB max 8192
row "vlt_proxmox_restore peak RSS, 4 disks" "$(mpick restore)" "$(mpick bare)" KiB max 8192

# ---------------------------------------------------------------- figure 6
# Four VMs of one pool, one disk each, backed up by one node-wide run: with
# --jobs 2 two agent runs work side by side (the snapshot phases still take
# turns), so the run takes less wall time than one VM after another.
node_mib=$([ "$quick" = 1 ] && echo 16 || echo 128)
echo "== node-wide run: 4 VMs of $node_mib MiB, --jobs 1 and --jobs 2; $reps rounds"
"$sim" delay lvcreate 0
for vmid in 401 402 403 404; do
    "$sim" add-lv local-lvm "vm-$vmid-disk-0" "${node_mib}M" --urandom >/dev/null
    "$sim" add-vm "$vmid" --config-text $'agent: 1\nscsi0: local-lvm:vm-'"$vmid"$'-disk-0,size='"$node_mib"'M' >/dev/null
done
"$sim" add-pool benchnode 401 402 403 404 >/dev/null
: >"$work/node.txt"
for ((r = 1; r <= reps; r++)); do
    for jobs in 1 2; do
        out=$work/runs
        rm -rf "$out" && mkdir -p "$out"
        PATH=$fake_path "$bench" time --stderr "$work/node.log" -- \
            "$build/backup/vlt_proxmox" --pool benchnode --jobs "$jobs" --pve-dir "$VLT_SIM_ROOT/pve" \
            -- --out "$out" --no-progress >"$work/measure.txt" ||
            { cat "$work/node.log" >&2; fail "the node-wide run with --jobs $jobs exited non-zero"; }
        grep -q '4 of 4 VM(s) backed up, 0 failed, 0 skipped' "$work/node.log" ||
            { cat "$work/node.log" >&2; fail "the node-wide run with --jobs $jobs did not back up 4 VMs"; }
        read -r wall _ <"$work/measure.txt"
        printf 'jobs%s=%s\n' "$jobs" "$wall" >>"$work/node.txt"
    done
done
"$sim" check-clean >/dev/null || { "$sim" check-clean >&2; fail "the node-wide runs left something behind"; }
row "node-wide run of 4 VMs, --jobs 2 vs 1" "$(field jobs2 <"$work/node.txt" | median)" \
    "$(field jobs1 <"$work/node.txt" | median)" s ratio 0.9
"$sim" teardown >/dev/null

# Orchestration per added disk: (T(n) - T(1)) / (n - 1), against the same
# figure from 1 to 4 disks; flat means the ratio stays near 1.
base_line() { awk -v n=4 '$1 == n' "$work/scale.txt"; }
t1=$(awk '$1 == 1' "$work/scale.txt")
t4=$(base_line)
if [ -n "$t1" ] && [ -n "$t4" ]; then
    for n in $disk_counts; do
        [ "$n" -le 4 ] && continue
        tn=$(awk -v n="$n" '$1 == n' "$work/scale.txt")
        for col in 2 3; do
            what=backup
            [ $col = 3 ] && what=restore
            ours=$(awk -v c=$col -v a="$tn" -v b="$t1" -v n="$n" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.3f\n", (x[c] - y[c]) * 1000 / (n - 1) }')
            base=$(awk -v c=$col -v a="$t4" -v b="$t1" 'BEGIN { split(a, x, " "); split(b, y, " "); printf "%.3f\n", (x[c] - y[c]) * 1000 / 3 }')
            row "$what orchestration per disk, 1 to $n disks" "$ours" "$base" ms ratio 1.25
        done
    done
fi

# ---------------------------------------------------------------- figure 3
echo "== engine: $((data_size / 1048576)) MiB file (a third each random, text-like, zeros); warm-up + $reps rounds"
data=$work/data
mkdir -p "$data"
"$bench" gen "$data_size" "$data/source.img"
: >"$work/engine.txt"
# measure FILE: runs "vlt_bench time" with the rest of the arguments, leaves
# "<wall> <peak KiB>" in FILE and fails when the program does
measure() {
    local file=$1
    shift
    "$bench" time "$@" >"$file"
}
for ((r = 0; r <= reps; r++)); do
    rm -rf "$data/runs" "$data/restored.img" "$data/source.zst" "$data/unpacked.img"
    mkdir -p "$data/runs"
    sync
    measure "$work/m.txt" --stderr "$data/agent.log" -- "$build/engine/vlt_agent" \
        --source "$data/source.img" --snapshot off --name bench --out "$data/runs" --no-progress ||
        { cat "$data/agent.log" >&2; fail "vlt_agent exited non-zero"; }
    read -r a_wall a_peak <"$work/m.txt"
    sync
    measure "$work/m.txt" --stdout "$data/source.zst" -- zstd -3 -T2 -c "$data/source.img" || fail "zstd exited non-zero"
    read -r z_wall z_peak <"$work/m.txt"
    # the engine's outputs reach the disk (fsync) before it ends; so must zstd's
    measure "$work/m.txt" -- sync "$data/source.zst" || fail "sync failed"
    read -r zs_wall _ <"$work/m.txt"
    sync
    meta=$(ls "$data"/runs/bench-*.infb)
    measure "$work/m.txt" --stderr "$data/restore.log" -- "$build/engine/vlt_restore" \
        --meta "$meta" --search-dir "$data/runs" --target "$data/restored.img" --no-progress ||
        { cat "$data/restore.log" >&2; fail "vlt_restore exited non-zero"; }
    read -r re_wall re_peak <"$work/m.txt"
    sync
    measure "$work/m.txt" --stdout "$data/unpacked.img" -- zstd -d -c "$data/source.zst" || fail "zstd -d exited non-zero"
    read -r d_wall d_peak <"$work/m.txt"
    measure "$work/m.txt" -- sync "$data/unpacked.img" || fail "sync failed"
    read -r ds_wall _ <"$work/m.txt"
    if [ "$r" = "$reps" ]; then
        cmp -s "$data/source.img" "$data/restored.img" || fail "vlt_restore did not give the source back"
        cmp -s "$data/source.img" "$data/unpacked.img" || fail "zstd -d did not give the source back"
    fi
    [ "$r" = 0 ] && continue
    stored=$(du -sb "$data/runs" | cut -f1)
    zsize=$(stat -c %s "$data/source.zst")
    printf 'agent=%s zstd=%s zsync=%s zall=%s restore=%s unzstd=%s unsync=%s dall=%s apeak=%s zpeak=%s rpeak=%s dpeak=%s stored=%s zsize=%s\n' \
        "$a_wall" "$z_wall" "$zs_wall" "$(awk -v a="$z_wall" -v b="$zs_wall" 'BEGIN { print a + b }')" \
        "$re_wall" "$d_wall" "$ds_wall" "$(awk -v a="$d_wall" -v b="$ds_wall" 'BEGIN { print a + b }')" \
        "$a_peak" "$z_peak" "$re_peak" "$d_peak" "$stored" "$zsize" >>"$work/engine.txt"
done
rm -rf "$data"
epick() { field "$1" <"$work/engine.txt" | median; }
row "vlt_agent vs zstd -3 -T2 + fsync" "$(epick agent)" "$(epick zall)" s ratio 1.25
row "vlt_restore vs zstd -d + fsync" "$(epick restore)" "$(epick dall)" s ratio 1.25
row "vlt_agent peak RSS (vs zstd -3 -T2)" "$(epick apeak)" "$(epick zpeak)" KiB max 65536
row "vlt_restore peak RSS (vs zstd -d)" "$(epick rpeak)" "$(epick dpeak)" KiB max 65536

# ---------------------------------------------------------------- the table
report=$build/bench-results.txt
{
    echo "vlt-proxmox benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $([ $quick = 1 ] && echo quick || echo full) run"
    echo "machine: $(nproc) processors, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), kernel $(uname -r)"
    echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg); measured at nice $(nice)"
    echo
    awk -F '\t' '
    function fmt(x) { return (x >= 100) ? sprintf("%.0f", x) : sprintf("%.2f", x) }
    {
        ours = $2 + 0; base = $3 + 0; ratio = (base > 0) ? sprintf("%.2f", ours / base) : "-"
        if ($5 == "info") {
            printf "| %-42s | %10s %-3s | %10s %-3s | %5s | %-22s | %-4s |\n", $1, fmt(ours), $4, fmt(base), $4, ratio, "(not in the programs)", "-"
            next
        }
        if ($5 == "ratio") { target = "ratio <= " $6; ok = (base > 0 && ours / base <= $6 + 0) }
        else if ($5 == "excess") { target = "ours - base <= " $6 " " $4; ok = (ours - base <= $6 + 0) }
        else { target = "ours <= " $6 " " $4; ok = (ours <= $6 + 0) }
        if ($2 == "nan" || $3 == "nan") ok = 0
        printf "| %-42s | %10s %-3s | %10s %-3s | %5s | %-22s | %-4s |\n", $1, fmt(ours), $4, fmt(base), $4, ratio, target, ok ? "yes" : "NO"
        if (!ok) bad++
    }
    END { if (bad) printf "\n%d target(s) missed\n", bad; else printf "\nevery target holds\n" }
    ' "$results" | {
        printf '| %-42s | %14s | %14s | %5s | %-22s | %-4s |\n' figure ours baseline ratio target holds
        printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..44})" "$(printf -- '-%.0s' {1..16})" \
            "$(printf -- '-%.0s' {1..16})" "-------" "$(printf -- '-%.0s' {1..24})" "------"
        cat
    }
    echo
    echo "per disk count: backup and restore orchestration (s), window from the call log (s), window logged (s),"
    echo "  window overhead per disk from the medians of the whole windows (ms): ours, bare sequence"
    cat "$work/scale.txt"
    echo "per disk count: peak RSS KiB of vlt_proxmox, vlt_proxmox_restore and the bare sequence (warm-up round)"
    cat "$work/peaks.txt"
    echo "engine rounds:"
    cat "$work/engine.txt"
} | tee "$report"
echo "(saved in $report)"
