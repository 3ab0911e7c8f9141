# Shared state handling of the simulated host: sourced by testbed/simhost and
# by every fake in testbed/bin. Nothing here runs on its own.
#
# State lives under $VLT_SIM_ROOT (see testbed/README.md). Files holding
# records are shell assignments written with printf %q and read with `.`.

export LC_ALL=C
SIM_EXTENT=$((4 * 1024 * 1024))

sim_die() {
    printf '%s\n' "$*" >&2
    exit 1
}

# The host settings (the `host` file); see testbed/README.md.
HOST_FIELDS=(vg node created owner inactive_kernel cluster_root locale_warnings engine_dir lvs_padding)

# Loads the host record; every fake and driver command except init needs it.
# Sets GUESTS, the directory of the guest states: shared by every node of a
# simulated cluster (the first node's), as VM ids are.
sim_need_root() {
    [[ -n ${VLT_SIM_ROOT:-} ]] || sim_die "VLT_SIM_ROOT is not set (refusing to act on a real host)"
    ROOT=${VLT_SIM_ROOT%/}
    [[ -f $ROOT/host ]] || sim_die "$ROOT is not a simulated host (run 'simhost init' first)"
    cluster_root= locale_warnings= engine_dir= lvs_padding=
    . "$ROOT/host"
    HOST_VG=$vg
    GUESTS=${cluster_root:-$ROOT}/guests
}
sim_save_host() {
    sim_save "$ROOT/host" "" "${HOST_FIELDS[@]}"
}

# The current time in microseconds since the epoch.
now_us() {
    NOW_US=${EPOCHREALTIME/./}
}

############################################################ guests

GUEST_FIELDS=(agent frozen running fs state freeze_ms freeze_until)

# Loads a guest's state into agent, frozen, running, fs, state (QEMU's run
# state while running), freeze_ms (how long a freeze takes inside the
# guest) and freeze_until (when a freeze in progress completes, in
# microseconds; empty when none is). A freeze in progress whose time has
# come counts as done: the guest is frozen (GUEST_SETTLED=1 tells a caller
# holding the lock to store that). The caller declares the variables local.
guest_load() {
    agent=answering frozen=0 running=1 fs=2 state=running freeze_ms=0 freeze_until=
    GUEST_SETTLED=0
    [[ -f $GUESTS/$1 ]] && . "$GUESTS/$1"
    [[ -n $state ]] || state=running
    if [[ -n $freeze_until ]]; then
        now_us
        if ((NOW_US >= freeze_until)); then
            frozen=1 freeze_until= GUEST_SETTLED=1
        fi
    fi
    return 0
}
guest_save() {
    sim_save "$GUESTS/$1" "" "${GUEST_FIELDS[@]}"
}

# The run state `qm status` prints: QEMU's run state, or stopped.
guest_status() {
    ((running)) && GUEST_STATUS=$state || GUEST_STATUS=stopped
}

############################################################ fill levels

# Data and metadata usage of a thin pool and the usage of a COW snapshot
# are kept in usage/<vg>/<lv> (hundredths of a percent): pct and mpct at
# time since (microseconds; empty: from the LV's creation on), rising by
# rise and mrise hundredths per second, capped at 100 %. usage/default-cow
# is copied for every COW snapshot created later (from_default=1).
USAGE_FIELDS=(pct rise mpct mrise since from_default)

# Sets U_data and U_meta (hundredths) for an LV; false when it has no usage.
usage_now() {
    local f=$ROOT/usage/$1/$2
    [[ -f $f ]] || return 1
    local pct=0 rise=0 mpct=0 mrise=0 since= from_default=
    . "$f"
    local elapsed=0
    if [[ -n $since ]]; then
        now_us
        elapsed=$((NOW_US - since))
        ((elapsed > 0)) || elapsed=0
    fi
    U_data=$((pct + rise * elapsed / 1000000))
    U_meta=$((mpct + mrise * elapsed / 1000000))
    ((U_data > 10000)) && U_data=10000
    ((U_meta > 10000)) && U_meta=10000
    return 0
}

# Prints hundredths as LVM prints a percentage ("95.50").
pct_text() {
    printf -v PCT_TEXT '%d.%02d' $(($1 / 100)) $(($1 % 100))
}

# Parses a percentage ("95", "95.5", "0.25") into hundredths: PCT_H.
parse_pct() {
    [[ $1 =~ ^([0-9]{1,5})(\.([0-9]{1,2}))?$ ]] || return 1
    local frac=${BASH_REMATCH[3]}
    frac=${frac}00
    PCT_H=$((10#${BASH_REMATCH[1]} * 100 + 10#${frac:0:2}))
}

# True when a thin pool counts as full: set-pool-full, or data at 100 %.
pool_full() {
    [[ -f $ROOT/pool-full/$1/$2 ]] && return 0
    usage_now "$1" "$2" && ((U_data >= 10000))
}

# Exclusive lock on the host state, held on descriptor 9 until sim_unlock.
sim_lock() {
    exec 9>>"$ROOT/lock"
    flock 9
}
# Closing the descriptor releases the lock (no flock -u: one process less).
sim_unlock() {
    exec 9>&-
}

# Writes "name=value" lines for the named variables, atomically.
# sim_save FILE PREFIX FIELD... (writes FIELD=${PREFIX}FIELD)
sim_save() {
    local file=$1 prefix=$2 f v out=
    shift 2
    for f in "$@"; do
        v=${prefix}${f}
        printf -v out '%s%s=%q\n' "$out" "$f" "${!v-}"
    done
    # Written in place: every writer holds the host lock, and an external
    # rename costs a process per record on a busy machine.
    printf '%s' "$out" >"$file"
}

LV_FIELDS=(kind size dev_size origin pool tags active skip ro segments loop major minor file)

# Loads an LV record into L_<field>; false when there is none.
lv_load() {
    local vg=$1 lv=$2
    L_kind= L_size= L_dev_size= L_origin= L_pool= L_tags= L_active= L_skip= L_ro= L_segments=
    L_loop= L_major= L_minor= L_file=
    [[ -f $ROOT/lvs/$vg/$lv ]] || return 1
    local kind size dev_size origin pool tags active skip ro segments loop major minor file
    . "$ROOT/lvs/$vg/$lv"
    L_kind=$kind L_size=$size L_dev_size=$dev_size L_origin=$origin L_pool=$pool L_tags=$tags
    L_active=$active L_skip=$skip L_ro=$ro L_segments=$segments L_loop=$loop L_major=$major
    L_minor=$minor L_file=$file
    return 0
}
lv_store() {
    local vg=$1 lv=$2
    [[ -d $ROOT/lvs/$vg ]] || mkdir -p "$ROOT/lvs/$vg"
    sim_save "$ROOT/lvs/$vg/$lv" L_ "${LV_FIELDS[@]}"
}

# Loads a VG record into G_size and G_devdir.
vg_load() {
    local size= devdir=
    G_size= G_devdir=
    [[ -f $ROOT/vgs/$1 ]] || return 1
    . "$ROOT/vgs/$1"
    G_size=$size G_devdir=$devdir
}
vg_store() {
    sim_save "$ROOT/vgs/$1" G_ size devdir
}

# Loads a storage record into S_type, S_vg, S_pool, S_path, S_shared.
storage_load() {
    local type= vg= pool= path= shared=0
    S_type= S_vg= S_pool= S_path= S_shared=0
    [[ $1 =~ ^[A-Za-z][A-Za-z0-9._-]*$ && -f $ROOT/storages/$1 ]] || return 1
    . "$ROOT/storages/$1"
    S_type=$type S_vg=$vg S_pool=$pool S_path=$path S_shared=$shared
}

# Proxmox's lock of a storage (flock on pve-storage-<id>), on descriptor 8
# until storage_unlock; false when it was not had within $2 seconds.
storage_lock() {
    STORAGE_LOCK_FILE=$ROOT/locks/pve-manager/pve-storage-$1
    exec 8>>"$STORAGE_LOCK_FILE" || return 1
    flock -w "${2:-10}" 8
}
storage_unlock() {
    exec 8>&-
}

# Parses a size with an optional binary unit (b, s, k, m, g, t; any case)
# into SIZE_BYTES. $2 is the unit of a bare number ("b" or "m").
parse_size() {
    local text=$1 unit=${2:-b} num mult
    [[ $text =~ ^([0-9]+)([bBsSkKmMgGtT]?)$ ]] || return 1
    num=$((10#${BASH_REMATCH[1]}))
    [[ -n ${BASH_REMATCH[2]} ]] && unit=${BASH_REMATCH[2],,}
    case $unit in
        b) mult=1 ;; s) mult=512 ;; k) mult=1024 ;; m) mult=$((1024 ** 2)) ;;
        g) mult=$((1024 ** 3)) ;; t) mult=$((1024 ** 4)) ;;
    esac
    [[ ${#BASH_REMATCH[1]} -le 15 ]] || return 1
    SIZE_BYTES=$((num * mult))
}

# Sets ROUNDED to a byte count rounded up to whole extents.
round_extent() {
    ROUNDED=$((($1 + SIM_EXTENT - 1) / SIM_EXTENT * SIM_EXTENT))
}

# LVM's short size display ("4.00 MiB").
human_size() {
    local b=$1 unit=KiB div=1024
    if ((b >= 1024 ** 4)); then unit=TiB div=$((1024 ** 4))
    elif ((b >= 1024 ** 3)); then unit=GiB div=$((1024 ** 3))
    elif ((b >= 1024 ** 2)); then unit=MiB div=$((1024 ** 2)); fi
    local hundredths=$((b * 100 / div))
    printf '%d.%02d %s' $((hundredths / 100)) $((hundredths % 100)) "$unit"
}

valid_lv_name() {
    [[ $1 =~ ^[A-Za-z0-9+_.][A-Za-z0-9+_.-]*$ && ${#1} -le 127 && $1 != . && $1 != .. ]]
}

# Sets VG_USED to the bytes of a VG in use by allocated extents (thick LVs,
# COW areas, pools). Callers reload any LV they had loaded.
vg_used() {
    local vg=$1 f used=0
    for f in "$ROOT/lvs/$vg"/*; do
        [[ -f $f ]] || continue
        lv_load "$vg" "${f##*/}"
        [[ $L_kind == thin ]] && continue
        used=$((used + L_size))
    done
    VG_USED=$used
}

# Sets POOL_VIRTUAL to the sum of the virtual sizes of the thin LVs of a pool.
pool_virtual() {
    local vg=$1 pool=$2 f sum=0
    for f in "$ROOT/lvs/$vg"/*; do
        [[ -f $f ]] || continue
        lv_load "$vg" "${f##*/}"
        [[ $L_kind == thin && $L_pool == "$pool" ]] && sum=$((sum + L_size))
    done
    POOL_VIRTUAL=$sum
}

# LVM's warning (stderr) when the thin LVs of a pool add up to more than
# the pool. Reloads L_* with the pool's record.
thin_overcommit_warning() {
    local vg=$1 pool=$2 virt
    pool_virtual "$vg" "$pool"; virt=$POOL_VIRTUAL
    lv_load "$vg" "$pool"
    ((virt > L_size)) && printf '  WARNING: Sum of all thin volume sizes (%s) exceeds the size of thin pool %s/%s (%s).\n' \
        "$(human_size "$virt")" "$vg" "$pool" "$(human_size "$L_size")" >&2
    return 0
}

# Attaches a file to a free loop device: sets LOOP_DEV, LOOP_MAJOR, LOOP_MINOR.
# $2 = 1 attaches it read-only.
loop_attach() {
    local file=$1 dev
    local -a ro=()
    [[ ${2-} == 1 ]] && ro=(--read-only)
    # losetup retries by itself when another process takes the free device first.
    dev=$(losetup "${ro[@]}" --find --show "$file") || return 1
    [[ $dev == /dev/loop* ]] || return 1
    LOOP_DEV=$dev
    local mm
    read -r mm <"/sys/block/${dev#/dev/}/dev" || return 1
    LOOP_MAJOR=${mm%%:*} LOOP_MINOR=${mm##*:}
}

# The file behind a loop device ("" when detached), without " (deleted)".
loop_backing() {
    local name=${1#/dev/} b=
    [[ -r /sys/block/$name/loop/backing_file ]] && read -r b <"/sys/block/$name/loop/backing_file"
    printf '%s' "${b% (deleted)}"
}

# Detaches a loop device, but only while it is still backed by our file
# (a device freed lazily may already serve someone else).  While another
# process (udev's probe, say) holds the device open, the kernel only marks
# it for detaching at the last close; wait up to 3 s for that, so a removed
# LV or a torn-down host leaves no device behind.
loop_detach() {
    local dev=$1 file=$2 i
    [[ -n $dev && -n $file ]] || return 0
    [[ $(loop_backing "$dev") == "$file" ]] || return 0
    losetup -d "$dev" 2>/dev/null || true
    for ((i = 0; i < 30; i++)); do
        [[ $(loop_backing "$dev") == "$file" ]] || return 0
        sleep 0.1
    done
}

# Makes the LV's device usable: loop device plus /dev/<vg>/<lv> node
# (node: "now", "late" (at the next udevadm settle) or "never").
lv_activate() {
    local vg=$1 lv=$2 node=${3:-now}
    loop_attach "$L_file" "$L_ro" || return 1
    L_loop=$LOOP_DEV L_major=$LOOP_MAJOR L_minor=$LOOP_MINOR L_active=1
    lv_store "$vg" "$lv"
    case $node in
        now)
            [[ -d /dev/$vg ]] || mkdir -p "/dev/$vg"
            ln -sfn "$L_loop" "/dev/$vg/$lv" ;;
        late) printf '%s %s\n' "/dev/$vg/$lv" "$L_loop" >>"$ROOT/pending-nodes" ;;
    esac
}

# Takes the loaded LV's device away: node, then loop device; the LV stays.
lv_deactivate() {
    local vg=$1 lv=$2
    if [[ -L /dev/$vg/$lv ]]; then rm -f "/dev/$vg/$lv"; fi
    loop_detach "$L_loop" "$L_file"
    L_active=0 L_loop= L_major= L_minor=
    lv_store "$vg" "$lv"
}

# True while some process holds the LV's device open (checked a few times,
# 100 ms apart, as LVM retries before it gives up).
lv_in_use() {
    local loop=$1 i
    [[ -n $loop ]] || return 1
    for ((i = 0; i < 5; i++)); do
        [[ -z $(find /proc/[0-9]*/fd -maxdepth 1 -lname "$loop" -print -quit 2>/dev/null) ]] && return 1
        sleep 0.1
    done
    return 0
}

# Removes an LV: node, loop device, backing file, record.
lv_destroy() {
    local vg=$1 lv=$2
    lv_load "$vg" "$lv" || return 1
    local -a gone=("$ROOT/lvs/$vg/$lv")
    # The node goes first, so nobody opens the device while it is detached.
    if [[ -L /dev/$vg/$lv ]]; then rm -f "/dev/$vg/$lv"; fi
    loop_detach "$L_loop" "$L_file"
    [[ -n $L_file ]] && gone+=("$L_file")
    rm -f "${gone[@]}"
    [[ -f $ROOT/usage/$vg/$lv ]] && usage_forget "$vg" "$lv"
    return 0
}

# An LV is gone: a usage copied from the default goes with it; one set for
# the name waits for the next LV of that name (its clock restarts then).
usage_forget() {
    local f=$ROOT/usage/$1/$2 pct=0 rise=0 mpct=0 mrise=0 since= from_default=
    . "$f"
    if [[ $from_default == 1 ]]; then
        rm -f "$f"
    else
        since=
        sim_save "$f" "" "${USAGE_FIELDS[@]}"
    fi
}

# A new COW snapshot: starts the clock of a usage set for its name, or
# copies the default for COW snapshots.
usage_start() {
    local vg=$1 lv=$2 pct=0 rise=0 mpct=0 mrise=0 since= from_default=
    local f=$ROOT/usage/$vg/$lv
    if [[ -f $f ]]; then
        . "$f"
    elif [[ -f $ROOT/usage/default-cow ]]; then
        . "$ROOT/usage/default-cow"
        from_default=1
    else
        return 0
    fi
    now_us
    since=$NOW_US
    [[ -d $ROOT/usage/$vg ]] || mkdir -p "$ROOT/usage/$vg"
    sim_save "$f" "" "${USAGE_FIELDS[@]}"
}

# Creates a new LV record with a sparse backing file of dev_size bytes.
# Uses L_* set by the caller (kind, size, dev_size, origin, pool, tags, ...).
lv_new_file() {
    local vg=$1 lv=$2
    [[ -d $ROOT/data/$vg ]] || mkdir -p "$ROOT/data/$vg"
    L_file=$ROOT/data/$vg/$lv.img
    : >"$L_file" && truncate -s "$L_dev_size" "$L_file"
}

sim_now() {
    printf '%s' "$EPOCHREALTIME"
}

# Escapes one call-log field.
log_field() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//$'\t'/\\t}
    s=${s//$'\n'/\\n}
    s=${s//$'\r'/\\r}
    LOG_FIELD=$s
}
