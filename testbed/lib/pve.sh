# qm, pvesm and pvesh of the simulated host: sourced by fake.sh for those
# tools only (each call reads only the part it needs).

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
    local agent frozen running fs state freeze_ms freeze_until GUEST_SETTLED
    guest_load "$vmid"
    ((running)) || pve_die "VM $vmid is not running"
    # The guest-ping before every command: nothing answers while the guest's
    # CPUs do not run (paused, suspended, migrating, ...), nor while the
    # agent is busy with a freeze (the agent's socket serves one command at
    # a time, so the ping misses its 3 s; the fake fails at once).
    [[ $state == running && -z $freeze_until ]] || pve_die "QEMU guest agent is not running"
    case $agent in
        absent) pve_die "QEMU guest agent is not running" ;;
        hanging) fake_hang ;;
        timeout) pve_die "VM $vmid qga command 'guest-$command' failed - got timeout" ;;
    esac
    sim_lock
    guest_load "$vmid"
    if [[ -n $freeze_until ]]; then
        sim_unlock
        pve_die "QEMU guest agent is not running"
    fi
    case $command in
        fsfreeze-freeze)
            if ((frozen)); then
                ((GUEST_SETTLED)) && guest_save "$vmid"
                sim_unlock
                printf '{\n   "error" : {\n      "class" : "CommandNotFound",\n      "desc" : "Command guest-fsfreeze-freeze has been disabled: the command is not allowed"\n   }\n}\n'
                return 0
            fi
            if ((freeze_ms > 0)); then
                qm_slow_freeze "$vmid"
                return 0
            fi
            frozen=1
            guest_save "$vmid"
            echo "$fs" ;;
        fsfreeze-thaw)
            if ((frozen)); then
                frozen=0
                guest_save "$vmid"
                echo "$fs"
            else
                ((GUEST_SETTLED)) && guest_save "$vmid"
                echo 0
            fi ;;
        fsfreeze-status)
            ((GUEST_SETTLED)) && guest_save "$vmid"
            ((frozen)) && echo frozen || echo thawed ;;
        *) ;;
    esac
    sim_unlock
}

# A freeze that takes freeze_ms inside the guest: the guest records when it
# will be frozen, and qm waits for that. Killing qm does not stop the guest:
# it is frozen at that time all the same (guest_load sees to it). Called
# holding the lock, which it releases.
qm_slow_freeze() {
    local vmid=$1
    now_us
    freeze_until=$((NOW_US + freeze_ms * 1000))
    guest_save "$vmid"
    sim_unlock
    while :; do
        now_us
        ((NOW_US < freeze_until)) || break
        fake_sleep_ms $(((freeze_until - NOW_US + 999) / 1000))
    done
    sim_lock
    guest_load "$vmid"
    ((GUEST_SETTLED)) && guest_save "$vmid"
    sim_unlock
    echo "$fs"
}

# `qm status VMID [--verbose]`: one line "status: <state>" (QEMU's run
# state, or stopped); --verbose prints a sorted set of fields instead.
qm_status() {
    local vmid= verbose=0
    while (($#)); do
        case $1 in
            --verbose | --verbose=1) verbose=1 ;;
            --verbose=0) verbose=0 ;;
            -*) pve_die "400 unable to parse option '$1'" ;;
            *) [[ -z $vmid ]] && vmid=$1 || pve_die "400 too many arguments" ;;
        esac
        shift
    done
    [[ -n $vmid ]] || pve_die $'400 not enough arguments\nqm status <vmid> [OPTIONS]'
    [[ $vmid =~ ^[1-9][0-9]*$ ]] || pve_die $'400 Parameter verification failed.\nvmid: invalid format - value does not look like a valid VM ID'
    local conf=$ROOT/pve/qemu-server/$vmid.conf
    [[ -f $conf ]] || pve_die "Configuration file 'nodes/$node/qemu-server/$vmid.conf' does not exist"
    local agent frozen running fs state freeze_ms freeze_until GUEST_SETTLED
    guest_load "$vmid"
    guest_status
    if ((!verbose)); then
        echo "status: $GUEST_STATUS"
        return 0
    fi
    vm_summary "$conf"
    local out=
    out+="cpus: $VM_CPUS"$'\n'
    [[ -n $VM_LOCK ]] && out+="lock: $VM_LOCK"$'\n'
    out+="maxmem: $VM_MAXMEM"$'\n'
    [[ -n $VM_NAME ]] && out+="name: $VM_NAME"$'\n'
    out+="qmpstatus: $GUEST_STATUS"$'\n'
    ((running)) && out+="status: running"$'\n' || out+="status: stopped"$'\n'
    [[ $VM_TEMPLATE == 1 ]] && out+="template: 1"$'\n'
    out+="uptime: 0"$'\n'
    out+="vmid: $vmid"$'\n'
    printf '%s' "$out"
}

# Reads what Proxmox's VM status shows from a configuration's main section:
# VM_NAME, VM_CPUS, VM_MAXMEM (bytes), VM_LOCK, VM_TEMPLATE.
vm_summary() {
    local line key value cores=1 sockets=1 memory=512
    VM_NAME= VM_LOCK= VM_TEMPLATE=
    while IFS= read -r line || [[ -n $line ]]; do
        [[ $line == \[* ]] && break
        [[ $line =~ ^([a-z][a-z_-]*[0-9]*):[[:space:]]*(.*[^[:space:]])[[:space:]]*$ ]] || continue
        key=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
        case $key in
            name) VM_NAME=$value ;;
            lock) VM_LOCK=$value ;;
            template) VM_TEMPLATE=$value ;;
            cores) [[ $value =~ ^[0-9]+$ ]] && cores=$value ;;
            sockets) [[ $value =~ ^[0-9]+$ ]] && sockets=$value ;;
            memory) [[ $value =~ ^[0-9]+$ ]] && memory=$value ;;
        esac
    done <"$1"
    VM_CPUS=$((cores * sockets))
    VM_MAXMEM=$((memory * 1024 * 1024))
}

tool_qm() {
    case ${1-} in
        config) shift; qm_config "$@" ;;
        guest)
            [[ ${2-} == cmd ]] || pve_die "unknown command 'qm guest ${2-}'"
            shift 2
            qm_guest_cmd "$@" ;;
        status) shift; qm_status "$@" ;;
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
    # Proxmox allocates under its lock of the storage.
    storage_lock "$storage" 10 || pve_die "can't lock file '$STORAGE_LOCK_FILE' - got timeout"
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
        storage_unlock
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
        pool_full "$vg" "$S_pool" && pve_die "lvcreate '$vg/$name' error:   Cannot create new thin volume, free space in thin pool $vg/$S_pool reached threshold."
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
    [[ $L_kind == thin ]] && thin_overcommit_warning "$vg" "$S_pool"
    echo "  Logical volume \"$name\" created."
    echo "successfully created '$storage:$name'"
    sim_unlock
    storage_unlock
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
    storage_lock "$V_storage" 10 || pve_die "can't lock file '$STORAGE_LOCK_FILE' - got timeout"
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
    storage_unlock
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
    path=${path%/}
    case $path in
        /cluster/nextid) pvesh_nextid "$format" ;;
        /nodes/*/qemu)
            local n=${path#/nodes/}
            n=${n%/qemu}
            [[ $n != */* ]] || pve_die "No 'get' handler defined for '$path'"
            pvesh_json_only "$format" "$path"
            pvesh_node_qemu "$n" ;;
        /pools/*)
            local pool=${path#/pools/}
            [[ $pool != */* ]] || pve_die "No 'get' handler defined for '$path'"
            pvesh_json_only "$format" "$path"
            pvesh_pool "$pool" ;;
        *) pve_die "No 'get' handler defined for '$path'" ;;
    esac
}

# The lowest id in datacenter.cfg's next-id range (100 to 1000000 by
# default) that no VM or container of any node uses.
pvesh_nextid() {
    local format=$1 lower=100 upper=1000000
    if [[ -f $ROOT/pve/datacenter.cfg ]]; then
        local line
        line=$(grep -m1 '^next-id:' "$ROOT/pve/datacenter.cfg" 2>/dev/null)
        [[ $line =~ lower=([0-9]+) ]] && lower=${BASH_REMATCH[1]}
        [[ $line =~ upper=([0-9]+) ]] && upper=${BASH_REMATCH[1]}
    fi
    local -A used=()
    local f id
    for f in "$ROOT"/pve/nodes/*/qemu-server/*.conf "$ROOT"/pve/nodes/*/lxc/*.conf; do
        id=${f##*/}
        used[${id%.conf}]=1
    done
    local i
    for ((i = lower; i < upper; i++)); do
        if [[ -z ${used[$i]-} ]]; then
            [[ $format == json* ]] && echo "\"$i\"" || echo "$i"
            return 0
        fi
    done
    pve_die "unable to get any free VMID in range [$lower, $upper]"
}

# Lists of objects are modelled as JSON only (the text format's table is not).
pvesh_json_only() {
    [[ $1 == json ]] || pve_die "simulated pvesh: '$2' is answered with --output-format json only"
}

# Sets JSON_TEXT to a JSON string literal.
json_string() {
    local s=$1 out= i c
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    if [[ $s == *[$'\001'-$'\037']* ]]; then
        for ((i = 0; i < ${#s}; i++)); do
            c=${s:i:1}
            if [[ $c == [$'\001'-$'\037'] ]]; then
                printf -v c '\\u%04x' "'$c"
            fi
            out+=$c
        done
        s=$out
    fi
    JSON_TEXT="\"$s\""
}

# The node a guest's configuration lives on ("" when none): sets GUEST_NODE
# and GUEST_TYPE (qemu or lxc).
guest_where() {
    local f
    GUEST_NODE= GUEST_TYPE=
    for f in "$ROOT"/pve/nodes/*/qemu-server/"$1".conf; do
        [[ -f $f ]] || continue
        GUEST_TYPE=qemu GUEST_NODE=${f%/qemu-server/*}
        GUEST_NODE=${GUEST_NODE##*/}
        return 0
    done
    for f in "$ROOT"/pve/nodes/*/lxc/"$1".conf; do
        [[ -f $f ]] || continue
        GUEST_TYPE=lxc GUEST_NODE=${f%/lxc/*}
        GUEST_NODE=${GUEST_NODE##*/}
        return 0
    done
    return 1
}

# `pvesh get /nodes/<node>/qemu`: the VMs whose configuration is in that
# node's directory, in no particular order (the fake: descending VMID).
pvesh_node_qemu() {
    local n=$1
    if [[ ! $n =~ ^[A-Za-z0-9][A-Za-z0-9.-]*$ || ! -d $ROOT/pve/nodes/$n ]]; then
        pve_die "hostname lookup '$n' failed - failed to get address info for: $n: Name or service not known"
    fi
    local -a ids=()
    local f id
    for f in "$ROOT/pve/nodes/$n/qemu-server"/*.conf; do
        [[ -f $f ]] || continue
        id=${f##*/}
        id=${id%.conf}
        [[ $id =~ ^[1-9][0-9]*$ ]] && ids+=("$id")
    done
    local out= sep= agent frozen running fs state freeze_ms freeze_until GUEST_SETTLED status
    while read -r id; do
        [[ -n $id ]] || continue
        vm_summary "$ROOT/pve/nodes/$n/qemu-server/$id.conf"
        guest_load "$id"
        ((running)) && status=running || status=stopped
        json_string "${VM_NAME:-VM $id}"
        out+="$sep{\"cpu\":0,\"cpus\":$VM_CPUS,\"disk\":0,\"diskread\":0,\"diskwrite\":0"
        if [[ -n $VM_LOCK ]]; then
            local name_json=$JSON_TEXT
            json_string "$VM_LOCK"
            out+=",\"lock\":$JSON_TEXT"
            JSON_TEXT=$name_json
        fi
        out+=",\"maxdisk\":0,\"maxmem\":$VM_MAXMEM,\"mem\":0,\"name\":$JSON_TEXT,\"netin\":0,\"netout\":0,\"status\":\"$status\""
        [[ $VM_TEMPLATE == 1 ]] && out+=",\"template\":1"
        out+=",\"uptime\":0,\"vmid\":$id}"
        sep=,
    done < <(((${#ids[@]})) && printf '%s\n' "${ids[@]}" | sort -rn)
    printf '[%s]\n' "$out"
}

# `pvesh get /pools/<pool>`: the pool's comment and members (guests of
# every node, and storages) from user.cfg.
pvesh_pool() {
    local pool=$1 cfg=$ROOT/pve/user.cfg line= comment= vms= stores=
    if [[ -f $cfg ]]; then
        while IFS= read -r line; do
            [[ $line == "pool:$pool:"* ]] || continue
            local -a f
            IFS=: read -ra f <<<"$line"
            comment=${f[2]-} vms=${f[3]-} stores=${f[4]-}
            break
        done <"$cfg"
    fi
    [[ $line == "pool:$pool:"* ]] || pve_die "pool '$pool' does not exist"
    # The comment is stored encoded (%3A for ':', %25 for '%', ...).
    comment=${comment//\\/\\\\}
    printf -v comment '%b' "${comment//%/\\x}"
    local -a members=() idlist=() storelist=()
    IFS=, read -ra idlist <<<"$vms"
    IFS=, read -ra storelist <<<"$stores"
    local id agent frozen running fs state freeze_ms freeze_until GUEST_SETTLED status m conf
    for id in "${idlist[@]}"; do
        [[ $id =~ ^[1-9][0-9]*$ ]] && guest_where "$id" || continue
        if [[ $GUEST_TYPE == qemu ]]; then
            conf=$ROOT/pve/nodes/$GUEST_NODE/qemu-server/$id.conf
            vm_summary "$conf"
            guest_load "$id"
            ((running)) && status=running || status=stopped
            json_string "${VM_NAME:-VM $id}"
        else
            conf=$ROOT/pve/nodes/$GUEST_NODE/lxc/$id.conf
            VM_CPUS=1 VM_MAXMEM=536870912 VM_TEMPLATE=0 status=stopped
            local hn
            hn=$(sed -n 's/^hostname:[[:space:]]*//p' "$conf" | head -1)
            json_string "${hn:-CT $id}"
        fi
        m="{\"cpu\":0,\"disk\":0,\"diskread\":0,\"diskwrite\":0,\"id\":\"$GUEST_TYPE/$id\",\"maxcpu\":$VM_CPUS,\"maxdisk\":0"
        m+=",\"maxmem\":$VM_MAXMEM,\"mem\":0,\"name\":$JSON_TEXT,\"netin\":0,\"netout\":0,\"node\":\"$GUEST_NODE\""
        m+=",\"status\":\"$status\",\"template\":$([[ $VM_TEMPLATE == 1 ]] && echo 1 || echo 0),\"type\":\"$GUEST_TYPE\",\"uptime\":0,\"vmid\":$id}"
        members+=("$GUEST_TYPE/$id"$'\t'"$m")
    done
    for id in "${storelist[@]}"; do
        storage_load "$id" || continue
        m="{\"content\":\"images,rootdir\",\"disk\":0,\"id\":\"storage/$node/$id\",\"maxdisk\":0,\"node\":\"$node\""
        m+=",\"plugintype\":\"$S_type\",\"shared\":$S_shared,\"status\":\"available\",\"storage\":\"$id\",\"type\":\"storage\"}"
        members+=("storage/$node/$id"$'\t'"$m")
    done
    local out= sep=
    while IFS=$'\t' read -r id m; do
        [[ -n $m ]] || continue
        out+=$sep$m
        sep=,
    done < <(((${#members[@]})) && printf '%s\n' "${members[@]}" | sort)
    if [[ -n $comment ]]; then
        json_string "$comment"
        printf '{"comment":%s,"members":[%s]}\n' "$JSON_TEXT" "$out"
    else
        printf '{"members":[%s]}\n' "$out"
    fi
}
