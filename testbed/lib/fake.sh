# The fake host tools. testbed/bin/<tool> sources this file with the tool's
# name and its arguments: . fake.sh qm "$@"
#
# Each call is logged, then the faults and the delay of the tool are
# applied, then the tool acts on the state under $VLT_SIM_ROOT.

[[ -n ${VLT_SIM_TRACE-} ]] && { PS4='+ $EPOCHREALTIME '; set -x; }
FAKE_TOOL=$1
shift
. "${BASH_SOURCE[0]%/*}/simlib.sh"
sim_need_root

SLEEP_PID=
FAKE_NODE=now

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

fake_on_exit() {
    local rc=$?
    [[ -n $SLEEP_PID ]] && kill "$SLEEP_PID" 2>/dev/null
    fake_log end "$rc"
}

fake_on_signal() {
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

fake_hang() {
    while :; do fake_sleep_ms 3600000; done
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
    [[ -d $ROOT/faults ]] || return 0
    local -a files=("$ROOT"/faults/*)
    [[ -e ${files[0]} ]] || return 0
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

############################################################ qm

# Prints the configuration as `qm config` does.
qm_config() {
    local vmid= current=0 a
    for a in "$@"; do
        case $a in
            --current | --current=1) current=1 ;;
            --current=0) current=0 ;;
            -*) pve_die "400 unable to parse option '$a'" ;;
            *) [[ -z $vmid ]] && vmid=$a || pve_die "400 too many arguments" ;;
        esac
    done
    [[ $vmid =~ ^[1-9][0-9]*$ ]] || pve_die $'400 Parameter verification failed.\nvmid: invalid format - value does not look like a valid VM ID'
    local conf=$ROOT/pve/qemu-server/$vmid.conf
    [[ -f $conf ]] || pve_die "Configuration file 'nodes/$node/qemu-server/$vmid.conf' does not exist"
    awk -v current="$current" '
    function hexval(c) { return index("0123456789ABCDEF", toupper(c)) - 1 }
    function decode(s,   out, i, c, h, l) {
        out = ""
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "%" && i + 2 <= length(s)) {
                h = hexval(substr(s, i + 1, 1)); l = hexval(substr(s, i + 2, 1))
                if (h >= 0 && l >= 0) { out = out sprintf("%c", h * 16 + l); i += 2; continue }
            }
            out = out c
        }
        return out
    }
    function encode(s,   out, i, c, o) {
        out = ""
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1); o = ord[c]
            if (o >= 32 && o <= 126 && c != "%" && c != ":") out = out c
            else out = out sprintf("%%%02X", o)
        }
        return out
    }
    function rtrim(s) { sub(/[ \t\r\n]+$/, "", s); return s }
    # Sizes as Proxmox prints them: the largest unit that divides exactly.
    function format_size(text,   num, unit, mult, b) {
        if (text !~ /^[0-9]+(\.[0-9]+)?([KMGT](iB)?)?$/) return text
        num = text; sub(/[KMGT].*$/, "", num)
        unit = text; sub(/^[0-9.]+/, "", unit); unit = substr(unit, 1, 1)
        mult = 1
        if (unit == "K") mult = 1024
        else if (unit == "M") mult = 1024 ^ 2
        else if (unit == "G") mult = 1024 ^ 3
        else if (unit == "T") mult = 1024 ^ 4
        b = int(num * mult + 0.5)
        if (b % (1024 ^ 4) == 0 && b > 0) return sprintf("%.0fT", b / 1024 ^ 4)
        if (b % (1024 ^ 3) == 0 && b > 0) return sprintf("%.0fG", b / 1024 ^ 3)
        if (b % (1024 ^ 2) == 0 && b > 0) return sprintf("%.0fM", b / 1024 ^ 2)
        if (b % 1024 == 0 && b > 0) return sprintf("%.0fK", b / 1024)
        return sprintf("%.0f", b)
    }
    # A drive line re-printed: the volume first, the other options sorted.
    function normalise_drive(v,   n, parts, i, j, t, vol, opts, k, out) {
        n = split(v, parts, ",")
        vol = ""; k = 0
        for (i = 1; i <= n; i++) {
            if (parts[i] == "") continue
            if (index(parts[i], "=") == 0 && vol == "") { vol = parts[i]; continue }
            if (parts[i] ~ /^file=/) { vol = substr(parts[i], 6); continue }
            if (parts[i] ~ /^size=/) parts[i] = "size=" format_size(substr(parts[i], 6))
            opts[++k] = parts[i]
        }
        for (i = 2; i <= k; i++) {
            t = opts[i]
            for (j = i - 1; j >= 1 && opts[j] > t; j--) opts[j + 1] = opts[j]
            opts[j + 1] = t
        }
        out = vol
        for (i = 1; i <= k; i++) out = out "," opts[i]
        return out
    }
    BEGIN { for (i = 1; i < 256; i++) ord[sprintf("%c", i)] = i; section = "main"; desc = ""; hasdesc = 0 }
    /^\[/ {
        section = ($0 ~ /^\[PENDING\]/) ? "pending" : "other"
        next
    }
    section == "main" && /^#/ { desc = desc decode(substr($0, 2)) "\n"; hasdesc = 1; next }
    section == "other" { next }
    {
        line = rtrim($0)
        p = index(line, ":")
        if (p < 2) next
        key = substr(line, 1, p - 1)
        if (key !~ /^[a-z][a-z_-]*[0-9]*$/) next
        val = substr(line, p + 1); sub(/^[ \t]+/, "", val)
        if (val == "") next
        if (key == "cdrom") key = "ide2"
        if (section == "pending") { pend[key] = val; next }
        if (key == "description") { desc = decode(val); hasdesc = 1; next }
        conf[key] = val
    }
    END {
        if (hasdesc) { desc = rtrim(desc); if (desc != "") conf["description"] = desc }
        if (!current) {
            for (k in pend) if (k != "delete") conf[k] = (k == "description") ? decode(pend[k]) : pend[k]
            if ("delete" in pend) {
                n = split(pend["delete"], dl, /[,; ]+/)
                for (i = 1; i <= n; i++) delete conf[dl[i]]
            }
        }
        n = 0
        for (k in conf) if (k != "digest") keys[++n] = k
        for (i = 2; i <= n; i++) {
            v = keys[i]
            for (j = i - 1; j >= 1 && keys[j] > v; j--) keys[j + 1] = keys[j]
            keys[j + 1] = v
        }
        for (i = 1; i <= n; i++) {
            k = keys[i]; v = conf[k]
            if (k == "description") v = encode(v)
            if (k ~ /^(ide|scsi|virtio|sata)[0-9]+$/) v = normalise_drive(v)
            if (k == "cipassword" && v != "") v = "**********"
            printf "%s: %s\n", k, v
        }
    }' "$conf"
}

guest_load() {
    agent=answering frozen=0 running=1 fs=2
    [[ -f $ROOT/guests/$1 ]] && . "$ROOT/guests/$1"
    return 0
}

# The `agent:` property of the VM's main section says whether an agent is configured.
agent_configured() {
    local value
    value=$(awk '/^\[/ { exit } /^agent:/ { sub(/^agent:[ \t]*/, ""); v = $0 } END { print v }' "$1")
    [[ -n $value ]] || return 1
    local first=${value%%,*}
    [[ $first == 1 || $first == enabled=1 ]] && return 0
    [[ $first == 0 || $first == enabled=0 ]] && return 1
    [[ $value == *enabled=0* ]] && return 1
    return 0
}

qm_guest_cmd() {
    local vmid=${1-} command=${2-}
    [[ -n $vmid && -n $command ]] || pve_die "400 not enough arguments"$'\n'"qm guest cmd <vmid> <command>"
    [[ $vmid =~ ^[1-9][0-9]*$ ]] || pve_die $'400 Parameter verification failed.\nvmid: invalid format - value does not look like a valid VM ID'
    case $command in
        fsfreeze-freeze | fsfreeze-thaw | fsfreeze-status | ping | info | get-time | shutdown) ;;
        *) pve_die $'400 Parameter verification failed.\n'"command: value '$command' does not have a value in the enumeration 'fsfreeze-freeze, fsfreeze-status, fsfreeze-thaw, fstrim, get-fsinfo, get-host-name, get-memory-block-info, get-memory-blocks, get-osinfo, get-time, get-timezone, get-users, get-vcpus, info, network-get-interfaces, ping, shutdown, suspend-disk, suspend-hybrid, suspend-ram'" ;;
    esac
    local conf=$ROOT/pve/qemu-server/$vmid.conf
    [[ -f $conf ]] || pve_die "Configuration file 'nodes/$node/qemu-server/$vmid.conf' does not exist"
    agent_configured "$conf" || pve_die "No QEMU guest agent configured"
    local agent frozen running fs
    guest_load "$vmid"
    ((running)) || pve_die "VM $vmid is not running"
    case $agent in
        absent) pve_die "QEMU guest agent is not running" ;;
        hanging) fake_hang ;;
        timeout) pve_die "VM $vmid qga command 'guest-$command' failed - got timeout" ;;
    esac
    sim_lock
    guest_load "$vmid"
    case $command in
        fsfreeze-freeze)
            if ((frozen)); then
                sim_unlock
                printf '{\n   "error" : {\n      "class" : "CommandNotFound",\n      "desc" : "Command guest-fsfreeze-freeze has been disabled: the command is not allowed"\n   }\n}\n'
                return 0
            fi
            frozen=1
            sim_save "$ROOT/guests/$vmid" "" agent frozen running fs
            echo "$fs" ;;
        fsfreeze-thaw)
            if ((frozen)); then
                frozen=0
                sim_save "$ROOT/guests/$vmid" "" agent frozen running fs
                echo "$fs"
            else
                echo 0
            fi ;;
        fsfreeze-status) ((frozen)) && echo frozen || echo thawed ;;
        *) ;;
    esac
    sim_unlock
}

tool_qm() {
    case ${1-} in
        config) shift; qm_config "$@" ;;
        guest)
            [[ ${2-} == cmd ]] || pve_die "unknown command 'qm guest ${2-}'"
            shift 2
            qm_guest_cmd "$@" ;;
        status)
            local vmid=${2-} agent frozen running fs
            [[ -f $ROOT/pve/qemu-server/$vmid.conf ]] || pve_die "Configuration file 'nodes/$node/qemu-server/$vmid.conf' does not exist"
            guest_load "$vmid"
            ((running)) && echo "status: running" || echo "status: stopped" ;;
        *) pve_die "unknown command 'qm ${1-}'" ;;
    esac
}

############################################################ pvesm

pvesm_usage_die() {
    printf '400 Parameter verification failed.\n' >&2
    printf '%s\n' "$@" >&2
    printf '\npvesm alloc <storage> <vmid> <filename> <size> [OPTIONS]\n' >&2
    exit 255
}

# The lowest k for which no LV of the VG (or file of the dir) uses vm-<vmid>-disk-<k>.
free_disk_index() {
    local vmid=$1
    shift
    local -A used=()
    local n k
    for n in "$@"; do
        if [[ $n =~ (vm|base)-$vmid-disk-([0-9]+) ]]; then used[$((10#${BASH_REMATCH[2]}))]=1; fi
    done
    for ((k = 0; k < 1024; k++)); do
        [[ -z ${used[$k]-} ]] && { echo "$k"; return 0; }
    done
    return 1
}

pvesm_alloc() {
    (($# >= 4)) || pve_die $'400 not enough arguments\npvesm alloc <storage> <vmid> <filename> <size> [OPTIONS]'
    local storage=$1 vmid=$2 name=$3 size=$4
    local -a errs=()
    [[ $vmid =~ ^[1-9][0-9]*$ ]] && ((${#vmid} <= 9 && vmid >= 100)) ||
        errs+=("vmid: invalid format - value does not look like a valid VM ID")
    [[ $size =~ ^[0-9]+[MG]?$ ]] || errs+=("size: value does not match the regex pattern")
    ((${#errs[@]} == 0)) || pvesm_usage_die "${errs[@]}"
    storage_load "$storage" || pve_die "storage '$storage' does not exist"
    local kib=${size%[MG]}
    kib=$((10#$kib))
    case $size in
        *M) kib=$((kib * 1024)) ;;
        *G) kib=$((kib * 1024 * 1024)) ;;
    esac
    local bytes=$((kib * 1024))
    sim_lock
    if [[ $S_type == dir ]]; then
        local dir=$S_path/images/$vmid
        mkdir -p "$dir"
        if [[ -z $name ]]; then
            local -a names=()
            local f
            for f in "$dir"/*; do [[ -e $f ]] && names+=("${f##*/}"); done
            local k
            k=$(free_disk_index "$vmid" "${names[@]}") || pve_die "unable to allocate an image name for VM $vmid in storage '$storage'"
            name=vm-$vmid-disk-$k.raw
        fi
        [[ -e $dir/$name ]] && pve_die "disk image '$dir/$name' already exists"
        : >"$dir/$name" && truncate -s "$bytes" "$dir/$name" || pve_die "unable to create image: $dir/$name"
        echo "Formatting '$dir/$name', fmt=raw size=$bytes"
        echo "successfully created '$storage:$vmid/$name'"
        sim_unlock
        return 0
    fi
    local vg=$S_vg
    if [[ -z $name ]]; then
        local -a names=()
        local f k
        for f in "$ROOT/lvs/$vg"/*; do [[ -e $f ]] && names+=("${f##*/}"); done
        k=$(free_disk_index "$vmid" "${names[@]}") || pve_die "unable to allocate an image name for VM $vmid in storage '$storage'"
        name=vm-$vmid-disk-$k
    fi
    [[ $name == vm-$vmid-* ]] || pve_die "illegal name '$name' - should be 'vm-$vmid-*'"
    valid_lv_name "$name" || pve_die "lvcreate '$vg/$name' error:   Logical volume name \"$name\" is invalid."
    [[ -f $ROOT/lvs/$vg/$name ]] && pve_die "lvcreate '$vg/$name' error:   Logical Volume \"$name\" already exists in volume group \"$vg\""
    ((bytes > 0)) || pve_die "lvcreate '$vg/$name' error:   Size is zero."
    local rounded
    round_extent "$bytes"; rounded=$ROUNDED
    vg_load "$vg"
    vg_used "$vg"
    local used=$VG_USED free
    L_kind= L_origin= L_pool= L_tags= L_skip=0 L_ro=0 L_segments=1 L_loop= L_major= L_minor= L_active=0
    if [[ $S_type == lvmthin ]]; then
        local pool_full=
        [[ -f $ROOT/pool-full/$vg/$S_pool ]] && pool_full=1
        [[ -n $pool_full ]] && pve_die "lvcreate '$vg/$name' error:   Cannot create new thin volume, free space in thin pool $vg/$S_pool reached threshold."
        L_kind=thin L_pool=$S_pool
    else
        free=$((G_size - used))
        ((rounded <= free)) || pve_die "lvcreate '$vg/$name' error:   Volume group \"$vg\" has insufficient free space ($((free / SIM_EXTENT)) extents): $((rounded / SIM_EXTENT)) required."
        L_kind=thick L_tags=pve-vm-$vmid
    fi
    L_size=$rounded L_dev_size=$rounded
    lv_new_file "$vg" "$name" || pve_die "lvcreate '$vg/$name' error:   cannot create the backing file"
    if [[ $L_kind == thick ]]; then
        # A new thick LV is not zeroed: it starts with what the extents held before.
        dd if=/dev/urandom of="$L_file" bs=64K count=1 conv=notrunc status=none
        dd if=/dev/urandom of="$L_file" bs=64K count=1 seek=$((rounded / 65536 - 1)) conv=notrunc status=none
    fi
    lv_activate "$vg" "$name" now || { lv_destroy "$vg" "$name"; pve_die "lvcreate '$vg/$name' error:   cannot activate"; }
    ((rounded != bytes)) && echo "  Rounding up size to full physical extent $(human_size "$rounded")"
    if [[ $L_kind == thin ]]; then
        local virt pool_size
        pool_virtual "$vg" "$S_pool"; virt=$POOL_VIRTUAL
        lv_load "$vg" "$S_pool"
        pool_size=$L_size
        ((virt > pool_size)) && printf '  WARNING: Sum of all thin volume sizes (%s) exceeds the size of thin pool %s/%s (%s).\n' \
            "$(human_size "$virt")" "$vg" "$S_pool" "$(human_size "$pool_size")" >&2
    fi
    echo "  Logical volume \"$name\" created."
    echo "successfully created '$storage:$name'"
    sim_unlock
}

# Splits a volume id into V_storage and V_name, loading the storage.
volid_split() {
    local volid=$1
    [[ $volid == *:* ]] || pve_die "unable to parse volume ID '$volid'"
    V_storage=${volid%%:*} V_name=${volid#*:}
    storage_load "$V_storage" || pve_die "storage '$V_storage' does not exist"
    case $S_type in
        lvmthin) [[ $V_name =~ ^((vm|base)-[0-9]+-[^[:space:]]+)$ ]] || pve_die "unable to parse lvm volume name '$V_name'" ;;
        lvm) [[ $V_name =~ ^(vm-[0-9]+-[^[:space:]]+)$ ]] || pve_die "unable to parse lvm volume name '$V_name'" ;;
        dir) [[ $V_name =~ ^[0-9]+/[^/[:space:]]+$ ]] || pve_die "unable to parse directory volume name '$V_name'" ;;
    esac
}

pvesm_path() {
    (($# >= 1)) || pve_die $'400 not enough arguments\npvesm path <volume>'
    volid_split "$1"
    if [[ $S_type == dir ]]; then
        echo "$S_path/images/$V_name"
    else
        echo "/dev/$S_vg/$V_name"
    fi
}

pvesm_free() {
    (($# >= 1)) || pve_die $'400 not enough arguments\npvesm free <volume> [OPTIONS]'
    local volid=$1 delay=
    shift
    while (($#)); do
        case $1 in
            --delay) delay=${2-}; shift 2 || true ;;
            --delay=*) delay=${1#--delay=}; shift ;;
            *) pve_die "400 unable to parse option '$1'" ;;
        esac
    done
    volid_split "$volid"
    local err=
    sim_lock
    if [[ $S_type == dir ]]; then
        if [[ -f $S_path/images/$V_name ]]; then
            rm -f "$S_path/images/$V_name"
        else
            err="unable to remove '$S_path/images/$V_name': No such file or directory"
        fi
    else
        local vg=$S_vg f
        if lv_load "$vg" "$V_name" && [[ $L_active == 1 ]] && lv_in_use "$L_loop"; then
            err="lvremove '$vg/$V_name' error:   Logical volume $vg/$V_name in use."
        elif [[ -f $ROOT/lvs/$vg/$V_name ]]; then
            if [[ $S_type == lvmthin ]]; then
                for f in "$ROOT/lvs/$vg/snap_${V_name}_"*; do
                    [[ -f $f ]] && lv_destroy "$vg" "${f##*/}" && echo "  Logical volume \"${f##*/}\" successfully removed."
                done
            fi
            lv_destroy "$vg" "$V_name"
            echo "  Logical volume \"$V_name\" successfully removed."
        else
            err="lvremove '$vg/$V_name' error:   Failed to find logical volume \"$vg/$V_name\""
        fi
    fi
    sim_unlock
    if [[ -n $err ]]; then
        # The removal runs as a worker whose failure the command does not check
        # unless --delay asks it to wait for the task.
        printf '%s\n' "$err" >&2
        [[ -n $delay ]] && exit 255
        return 0
    fi
    echo "Removed volume '$volid'"
}

tool_pvesm() {
    local cmd=${1-}
    shift || true
    case $cmd in
        alloc) pvesm_alloc "$@" ;;
        path) pvesm_path "$@" ;;
        free) pvesm_free "$@" ;;
        *) pve_die "unknown command 'pvesm $cmd'" ;;
    esac
}

############################################################ pvesh

tool_pvesh() {
    local verb=${1-} path=${2-} format=text
    shift 2 || true
    while (($#)); do
        case $1 in
            --output-format) format=${2-}; shift 2 || true ;;
            --output-format=*) format=${1#*=}; shift ;;
            *) shift ;;
        esac
    done
    [[ $verb == get ]] || pve_die "unknown command 'pvesh $verb'"
    [[ ${path%/} == /cluster/nextid ]] || pve_die "No 'get' handler defined for '$path'"
    local lower=100 upper=1000000
    if [[ -f $ROOT/pve/datacenter.cfg ]]; then
        local line
        line=$(grep -m1 '^next-id:' "$ROOT/pve/datacenter.cfg" 2>/dev/null)
        [[ $line =~ lower=([0-9]+) ]] && lower=${BASH_REMATCH[1]}
        [[ $line =~ upper=([0-9]+) ]] && upper=${BASH_REMATCH[1]}
    fi
    local i
    for ((i = lower; i < upper; i++)); do
        if [[ ! -e $ROOT/pve/qemu-server/$i.conf && ! -e $ROOT/pve/lxc/$i.conf ]]; then
            [[ $format == json* ]] && echo "\"$i\"" || echo "$i"
            return 0
        fi
    done
    pve_die "unable to get any free VMID in range [$lower, $upper]"
}

############################################################ lvs

# Sets ATTR to the attribute string of the loaded LV; $1 is 1 for a COW origin.
lv_attr() {
    local is_origin=$1 a=- perm=w k=-
    [[ $L_active == 1 ]] && a=a
    [[ $L_ro == 1 ]] && perm=r
    [[ $L_skip == 1 ]] && k=k
    case $L_kind in
        pool) ATTR="t${perm}i-${a}-tz--" ;;
        thin) ATTR="V${perm}i-${a}-tz-${k}" ;;
        cow) ATTR="s${perm}i-${a}-s---" ;;
        *) if ((is_origin)); then ATTR="o${perm}i-${a}-s---"; else ATTR="-${perm}i-${a}-----"; fi ;;
    esac
}

# LVM's short size ("4.00g"), or the byte count with --units b.
lvs_size() {
    local b=$1 units=$2 nosuffix=$3
    if [[ $units == b || $units == B ]]; then
        ((nosuffix)) && SIZE_TEXT=$b || SIZE_TEXT=${b}B
        return
    fi
    local u=k div=1024
    if ((b >= 1024 ** 4)); then u=t div=$((1024 ** 4))
    elif ((b >= 1024 ** 3)); then u=g div=$((1024 ** 3))
    elif ((b >= 1024 ** 2)); then u=m div=$((1024 ** 2)); fi
    local h=$((b * 100 / div))
    printf -v SIZE_TEXT '%d.%02d' $((h / 100)) $((h % 100))
    ((nosuffix)) || SIZE_TEXT+=$u
}

tool_lvs() {
    local noheadings=0 sep=' ' units=h nosuffix=0 fields=vg_name,lv_name,lv_attr,lv_size,pool_lv,origin
    local -a selections=()
    while (($#)); do
        case $1 in
            --noheadings) noheadings=1 ;;
            --nosuffix) nosuffix=1 ;;
            --unbuffered | -a | --all | --readonly | --nolocking) ;;
            --separator) sep=${2-}; shift ;;
            --separator=*) sep=${1#*=} ;;
            --units) units=${2-}; shift ;;
            --units=*) units=${1#*=} ;;
            -o | --options) fields=${2-}; shift ;;
            --options=*) fields=${1#*=} ;;
            -o*) fields=${1#-o} ;;
            -*) lvm_die 3 "Invalid argument: $1" ;;
            *) selections+=("$1") ;;
        esac
        shift
    done
    local -a cols
    IFS=, read -ra cols <<<"$fields"
    local c
    for c in "${cols[@]}"; do
        case $c in
            vg_name | lv_name | lv_attr | lv_size | segtype | origin | lv_kernel_major | lv_kernel_minor | lv_tags | pool_lv | lv_active) ;;
            *) lvm_die 5 "Unrecognised field: $c" ;;
        esac
    done
    local s
    for s in "${selections[@]}"; do
        s=${s#/dev/}
        [[ -f $ROOT/vgs/${s%%/*} ]] || lvm_die 5 "Volume group \"${s%%/*}\" not found" "Cannot process volume group ${s%%/*}"
        if [[ $s == */* && ! -f $ROOT/lvs/$s ]]; then
            lvm_die 5 "Failed to find logical volume \"$s\""
        fi
    done
    local out= row vg lvf lv d
    if ((!noheadings)); then
        row=
        for c in "${cols[@]}"; do
            case $c in
                vg_name) d=VG ;; lv_name) d=LV ;; lv_attr) d=Attr ;; lv_size) d=LSize ;;
                segtype) d=Type ;; origin) d=Origin ;; lv_kernel_major) d=KMaj ;;
                lv_kernel_minor) d=KMin ;; lv_tags) d="LV Tags" ;; pool_lv) d=Pool ;; lv_active) d=Active ;;
            esac
            [[ -n $row ]] && row+=$sep
            row+=$d
        done
        out+="  $row"$'\n'
    fi
    local -A origins=()
    local -a names=()
    local i seg
    for d in "$ROOT"/vgs/*; do
        [[ -f $d ]] || continue
        vg=${d##*/}
        origins=()
        names=()
        for lvf in "$ROOT/lvs/$vg"/*; do
            [[ -f $lvf ]] || continue
            lv=${lvf##*/}
            names+=("$lv")
            lv_load "$vg" "$lv"
            [[ $L_kind == cow && -n $L_origin ]] && origins[$L_origin]=1
        done
        for lv in "${names[@]}"; do
            if ((${#selections[@]})); then
                local hit=0
                for s in "${selections[@]}"; do
                    s=${s#/dev/}
                    [[ $s == "$vg" || $s == "$vg/$lv" ]] && hit=1
                done
                ((hit)) || continue
            fi
            lv_load "$vg" "$lv"
            row=
            i=0
            for c in "${cols[@]}"; do
                ((i++)) && row+=$sep
                case $c in
                    vg_name) row+=$vg ;;
                    lv_name) row+=$lv ;;
                    lv_attr) lv_attr "${origins[$lv]-0}"; row+=$ATTR ;;
                    lv_size) lvs_size "$L_size" "$units" "$nosuffix"; row+=$SIZE_TEXT ;;
                    segtype)
                        case $L_kind in pool) row+=thin-pool ;; thin) row+=thin ;; *) row+=linear ;; esac ;;
                    origin) row+=$L_origin ;;
                    lv_kernel_major) [[ $L_active == 1 ]] && row+=$L_major || row+=$inactive_kernel ;;
                    lv_kernel_minor) [[ $L_active == 1 ]] && row+=$L_minor || row+=$inactive_kernel ;;
                    lv_tags) row+=$L_tags ;;
                    pool_lv) row+=$L_pool ;;
                    lv_active) [[ $L_active == 1 ]] && row+=active ;;
                esac
            done
            for ((seg = 0; seg < ${L_segments:-1}; seg++)); do out+="  $row"$'\n'; done
        done
    done
    printf '%s' "$out"
}

############################################################ lvcreate

tool_lvcreate() {
    local snapshot=0 name= size_opt= size_val= skip=1 skip_given=0 virt= thinpool=
    local -a tags=() pos=()
    while (($#)); do
        case $1 in
            -s | --snapshot) snapshot=1 ;;
            -y | --yes | -K | --ignoreactivationskip | -Z | -Zy | -Zn) ;;
            -n | --name) name=${2-}; shift ;;
            --name=*) name=${1#*=} ;;
            -n*) name=${1#-n} ;;
            -L | --size) size_opt=L size_val=${2-}; shift ;;
            -L*) size_opt=L size_val=${1#-L} ;;
            -l | --extents) size_opt=l size_val=${2-}; shift ;;
            -l*) size_opt=l size_val=${1#-l} ;;
            -kn | --setactivationskip=n) skip=0 skip_given=1 ;;
            -ky | --setactivationskip=y) skip=1 skip_given=1 ;;
            -k | --setactivationskip) [[ ${2-} == n ]] && skip=0 || skip=1; skip_given=1; shift ;;
            --addtag) tags+=("${2-}"); shift ;;
            --addtag=*) tags+=("${1#*=}") ;;
            -V | --virtualsize) virt=${2-}; shift ;;
            --thinpool | -T) thinpool=${2-}; shift ;;
            -a | --activate | -W | --wipesignatures | --setautoactivation | -p | --permission) shift ;;
            -ay | -aly | -an | -Wy | -Wn | -pr | -prw | -pw) ;;
            -*) lvm_die 3 "lvcreate: unrecognized option '$1'" "Error during parsing of command line." ;;
            *) pos+=("$1") ;;
        esac
        shift
    done
    ((snapshot)) || lvm_die 3 "The simulated lvcreate only makes snapshots (-s)."
    ((${#pos[@]} == 1)) || lvm_die 3 "Please specify a logical volume to act as the snapshot origin."
    local origin=${pos[0]#/dev/}
    [[ $origin == */* ]] || lvm_die 3 "Please specify a logical volume to act as the snapshot origin."
    local vg=${origin%%/*} olv=${origin#*/}
    [[ -n $name ]] || lvm_die 3 "Please specify a name for the snapshot (the simulator does not invent one)."
    valid_lv_name "$name" || lvm_die 3 "Logical volume name \"$name\" is invalid."
    local t
    for t in "${tags[@]}"; do
        [[ $t =~ ^[A-Za-z0-9_+.:@/=!-]+$ && ${#t} -le 1024 ]] || lvm_die 3 "Invalid argument for --addtag: $t"
    done
    sim_lock
    vg_load "$vg" || lvm_die 5 "Volume group \"$vg\" not found" "Cannot process volume group $vg"
    [[ -f $ROOT/lvs/$vg/$name ]] && lvm_die 5 "Logical Volume \"$name\" already exists in volume group \"$vg\""
    lv_load "$vg" "$olv" || lvm_die 5 "Snapshot origin LV $olv not found in Volume group $vg."
    local o_kind=$L_kind o_size=$L_size o_dev=$L_dev_size o_pool=$L_pool o_file=$L_file o_loop=$L_loop o_active=$L_active
    [[ $o_kind == pool || $o_kind == cow ]] && lvm_die 5 "Snapshots of ${o_kind/cow/snapshot}s are not supported."
    local kind bytes
    if [[ $o_kind == thin && -z $size_opt ]]; then
        if [[ -f $ROOT/pool-full/$vg/$o_pool ]]; then
            lvm_die 5 "Cannot create new thin volume, free space in thin pool $vg/$o_pool reached threshold."
        fi
        kind=thin bytes=$o_size
    else
        [[ -n $size_opt ]] || lvm_die 3 "Please specify either size or extents with snapshots."
        if [[ $size_opt == L ]]; then
            parse_size "$size_val" m || lvm_die 3 "Invalid argument for --size: $size_val" "Error during parsing of command line."
            bytes=$SIZE_BYTES
        else
            local ext
            if [[ $size_val =~ ^([0-9]+)$ ]]; then
                ext=$((10#${BASH_REMATCH[1]}))
            elif [[ $size_val =~ ^([0-9]+)%(ORIGIN|VG|FREE)$ ]]; then
                local pct=$((10#${BASH_REMATCH[1]})) base
                case ${BASH_REMATCH[2]} in
                    ORIGIN) base=$o_size ;;
                    VG) base=$G_size ;;
                    FREE) vg_used "$vg"; base=$((G_size - VG_USED)) ;;
                esac
                ((pct <= 100)) || lvm_die 3 "Percentage must be less than or equal to 100."
                ext=$(((base / SIM_EXTENT * pct + 99) / 100))
            else
                lvm_die 3 "Invalid argument for --extents: $size_val" "Error during parsing of command line."
            fi
            bytes=$((ext * SIM_EXTENT))
        fi
        ((bytes > 0)) || lvm_die 3 "Size must be larger than zero."
        local rounded
        round_extent "$bytes"; rounded=$ROUNDED
        ((rounded != bytes)) && echo "  Rounding up size to full physical extent $(human_size "$rounded")"
        bytes=$rounded
        local used free
        vg_used "$vg"; used=$VG_USED
        free=$((G_size - used))
        ((bytes <= free)) || lvm_die 5 "Volume group \"$vg\" has insufficient free space ($((free / SIM_EXTENT)) extents): $((bytes / SIM_EXTENT)) required."
        kind=cow
    fi
    # The snapshot starts as a copy of the origin's bytes at this moment.
    [[ $o_active == 1 && -n $o_loop ]] && blockdev --flushbufs "$o_loop" 2>/dev/null
    [[ -d $ROOT/data/$vg ]] || mkdir -p "$ROOT/data/$vg"
    local file=$ROOT/data/$vg/$name.img
    cp --sparse=always "$o_file" "$file" || lvm_die 5 "Failed to copy the origin's data."
    local IFS=,
    L_kind=$kind L_size=$bytes L_dev_size=$o_dev L_origin=$olv L_pool=
    [[ $kind == thin ]] && L_pool=$o_pool
    L_tags="${tags[*]}"
    unset IFS
    L_active=0 L_skip=0 L_ro=0 L_segments=1 L_loop= L_major= L_minor= L_file=$file
    if [[ $kind == thin ]] && ((skip)); then
        # Thin snapshots carry the activation-skip flag unless -kn is given:
        # they are created inactive, without a device.
        L_skip=1
        lv_store "$vg" "$name"
    else
        lv_store "$vg" "$name"
        lv_activate "$vg" "$name" "$FAKE_NODE" || { lv_destroy "$vg" "$name"; lvm_die 5 "Failed to activate new LV $vg/$name."; }
    fi
    if [[ $kind == thin ]]; then
        local virt_sum pool_size
        pool_virtual "$vg" "$o_pool"; virt_sum=$POOL_VIRTUAL
        lv_load "$vg" "$o_pool"
        pool_size=$L_size
        ((virt_sum > pool_size)) && printf '  WARNING: Sum of all thin volume sizes (%s) exceeds the size of thin pool %s/%s (%s).\n' \
            "$(human_size "$virt_sum")" "$vg" "$o_pool" "$(human_size "$pool_size")" >&2
    fi
    sim_unlock
    echo "  Logical volume \"$name\" created."
    : "${virt}${thinpool}${skip_given}"
}

############################################################ lvremove

tool_lvremove() {
    local force=0 yes=0
    local -a pos=()
    while (($#)); do
        case $1 in
            -f | --force | -ff) force=1 ;;
            -y | --yes) yes=1 ;;
            -fy | -yf) force=1 yes=1 ;;
            -*) lvm_die 3 "lvremove: unrecognized option '$1'" "Error during parsing of command line." ;;
            *) pos+=("$1") ;;
        esac
        shift
    done
    ((${#pos[@]})) || lvm_die 3 "Please enter one or more logical volume paths."
    local rc=0 p vg lv f
    sim_lock
    for p in "${pos[@]}"; do
        p=${p#/dev/}
        vg=${p%%/*} lv=${p#*/}
        if [[ $p != */* || ! -f $ROOT/vgs/$vg ]]; then
            printf '  Volume group "%s" not found\n  Cannot process volume group %s\n' "$vg" "$vg" >&2
            rc=5
            continue
        fi
        if ! lv_load "$vg" "$lv"; then
            printf '  Failed to find logical volume "%s/%s"\n' "$vg" "$lv" >&2
            rc=5
            continue
        fi
        if [[ $L_active == 1 ]] && ((!force && !yes)); then
            printf 'Do you really want to remove active logical volume %s/%s? [y/n]: n\n' "$vg" "$lv" >&2
            printf '  Logical volume %s not removed.\n' "$lv" >&2
            rc=5
            continue
        fi
        if [[ $L_active == 1 ]] && lv_in_use "$L_loop"; then
            printf '  Logical volume %s/%s in use.\n' "$vg" "$lv" >&2
            rc=5
            continue
        fi
        local kind=$L_kind
        for f in "$ROOT/lvs/$vg"/*; do
            [[ -f $f ]] || continue
            lv_load "$vg" "${f##*/}"
            if [[ ($kind != thin && $L_kind == cow && $L_origin == "$lv") || ($kind == pool && $L_pool == "$lv") ]]; then
                lv_destroy "$vg" "${f##*/}"
                echo "  Logical volume \"${f##*/}\" successfully removed."
            fi
        done
        lv_destroy "$vg" "$lv"
        echo "  Logical volume \"$lv\" successfully removed."
    done
    sim_unlock
    return "$rc"
}

############################################################ udevadm

tool_udevadm() {
    if [[ ${1-} == settle && -f $ROOT/pending-nodes ]]; then
        sim_lock
        local node loop
        while read -r node loop; do
            [[ -n $node ]] || continue
            local rest=${node#/dev/}
            if lv_load "${rest%%/*}" "${rest#*/}" && [[ $L_loop == "$loop" ]]; then
                mkdir -p "${node%/*}" && ln -sfn "$loop" "$node"
            fi
        done <"$ROOT/pending-nodes"
        rm -f "$ROOT/pending-nodes"
        sim_unlock
    fi
    return 0
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
    qm) tool_qm "$@" ;;
    pvesm) tool_pvesm "$@" ;;
    pvesh) tool_pvesh "$@" ;;
    lvs) tool_lvs "$@" ;;
    lvcreate) tool_lvcreate "$@" ;;
    lvremove) tool_lvremove "$@" ;;
    udevadm) tool_udevadm "$@" ;;
    *) sim_die "unknown fake tool $FAKE_TOOL" ;;
esac
