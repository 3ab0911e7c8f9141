# lvs, lvcreate, lvremove, lvchange and udevadm of the simulated host:
# sourced by fake.sh for those tools only.

############################################################ lvs

# Sets ATTR to the attribute string of the loaded LV of $2/$3; $1 is 1 for
# a COW origin. The health bits follow the usage: a thin pool out of data
# space shows D (metadata: M), a full COW snapshot is invalid (I).
lv_attr() {
    local is_origin=$1 a=- perm=w k=- h=-
    [[ $L_active == 1 ]] && a=a
    [[ $L_ro == 1 ]] && perm=r
    [[ $L_skip == 1 ]] && k=k
    case $L_kind in
        pool)
            if [[ -f $ROOT/pool-full/$2/$3 ]]; then
                h=D
            elif usage_now "$2" "$3"; then
                ((U_data >= 10000)) && h=D
                ((U_meta >= 10000)) && h=M
            fi
            ATTR="t${perm}i-${a}-tz${h}${k}" ;;
        thin) ATTR="V${perm}i-${a}-tz-${k}" ;;
        cow)
            [[ $a == a ]] && usage_now "$2" "$3" && ((U_data >= 10000)) && a=I
            ATTR="s${perm}i-${a}-s--${k}" ;;
        *) if ((is_origin)); then ATTR="o${perm}i-${a}-s--${k}"; else ATTR="-${perm}i-${a}----${k}"; fi ;;
    esac
}

# Sets PCT_FIELD to what lvs prints for data_percent (data), metadata_percent
# (meta) or snap_percent (snap) of the loaded LV of $2/$3: empty where it
# does not apply or the LV is inactive.
lv_percent() {
    PCT_FIELD=
    [[ $L_active == 1 ]] || return 0
    local h=0
    case $1:$L_kind in
        data:pool | meta:pool)
            if usage_now "$2" "$3"; then
                [[ $1 == data ]] && h=$U_data || h=$U_meta
            fi
            [[ $1 == data && -f $ROOT/pool-full/$2/$3 ]] && h=10000 ;;
        data:thin | data:cow | snap:cow)
            usage_now "$2" "$3" && h=$U_data ;;
        *) return 0 ;;
    esac
    pct_text "$h"
    PCT_FIELD=$PCT_TEXT
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

LVS_FIELDS=" vg_name lv_name lv_attr lv_size segtype origin origin_size lv_kernel_major lv_kernel_minor lv_tags pool_lv lv_active data_percent metadata_percent snap_percent "

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
        [[ $LVS_FIELDS == *" $c "* ]] || lvm_die 5 "Unrecognised field: $c"
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
                segtype) d=Type ;; origin) d=Origin ;; origin_size) d=OSize ;; lv_kernel_major) d=KMaj ;;
                lv_kernel_minor) d=KMin ;; lv_tags) d="LV Tags" ;; pool_lv) d=Pool ;; lv_active) d=Active ;;
                data_percent) d=Data% ;; metadata_percent) d=Meta% ;; snap_percent) d=Snap% ;;
            esac
            [[ -n $row ]] && row+=$sep
            row+=$d
        done
        out+="  $row"$'\n'
    fi
    local -A origins=()
    local -a names=()
    local i seg o_size
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
        if [[ $vg == "$HOST_VG" ]] && ((lvs_padding > 0)) && lvs_selected "$vg" ""; then
            printf '%s' "$out"
            out=
            lvs_padding_lines
        fi
        for lv in "${names[@]}"; do
            lvs_selected "$vg" "$lv" || continue
            lv_load "$vg" "$lv"
            row=
            i=0
            for c in "${cols[@]}"; do
                ((i++)) && row+=$sep
                case $c in
                    vg_name) row+=$vg ;;
                    lv_name) row+=$lv ;;
                    lv_attr) lv_attr "${origins[$lv]-0}" "$vg" "$lv"; row+=$ATTR ;;
                    lv_size) lvs_size "$L_size" "$units" "$nosuffix"; row+=$SIZE_TEXT ;;
                    segtype)
                        case $L_kind in pool) row+=thin-pool ;; thin) row+=thin ;; *) row+=linear ;; esac ;;
                    origin) row+=$L_origin ;;
                    origin_size)
                        if [[ -n $L_origin && ($L_kind == cow || $L_kind == thin) ]]; then
                            o_size=$(sed -n 's/^size=//p' "$ROOT/lvs/$vg/$L_origin" 2>/dev/null)
                            [[ -n $o_size ]] && { lvs_size "$o_size" "$units" "$nosuffix"; row+=$SIZE_TEXT; }
                        fi ;;
                    lv_kernel_major) [[ $L_active == 1 ]] && row+=$L_major || row+=$inactive_kernel ;;
                    lv_kernel_minor) [[ $L_active == 1 ]] && row+=$L_minor || row+=$inactive_kernel ;;
                    lv_tags) row+=$L_tags ;;
                    pool_lv) row+=$L_pool ;;
                    lv_active) [[ $L_active == 1 ]] && row+=active ;;
                    data_percent) lv_percent data "$vg" "$lv"; row+=$PCT_FIELD ;;
                    metadata_percent) lv_percent meta "$vg" "$lv"; row+=$PCT_FIELD ;;
                    snap_percent) lv_percent snap "$vg" "$lv"; row+=$PCT_FIELD ;;
                esac
            done
            for ((seg = 0; seg < ${L_segments:-1}; seg++)); do out+="  $row"$'\n'; done
        done
    done
    printf '%s' "$out"
}

# True when the command line selects the LV (or, with an empty LV name, the
# whole VG); everything is selected without selections.
lvs_selected() {
    ((${#selections[@]})) || return 0
    local s
    for s in "${selections[@]}"; do
        s=${s#/dev/}
        [[ $s == "$1" || (-n $2 && $s == "$1/$2") ]] && return 0
    done
    return 1
}

# The host setting lvs_padding: that many inactive thick LVs pad-000001 ...
# in the host VG, printed before its own LVs, so a listing is as long as on
# a host with thousands of volumes. One printf format, made per call.
lvs_padding_lines() {
    local fmt= i=0 c has_name=0
    for c in "${cols[@]}"; do
        ((i++)) && fmt+=$sep
        case $c in
            vg_name) fmt+=$vg ;;
            lv_name) fmt+=$'\001'; has_name=1 ;;
            lv_attr) fmt+=-wi------- ;;
            lv_size) lvs_size 4194304 "$units" "$nosuffix"; fmt+=$SIZE_TEXT ;;
            segtype) fmt+=linear ;;
            lv_kernel_major | lv_kernel_minor) fmt+=$inactive_kernel ;;
        esac
    done
    fmt=${fmt//\\/\\\\}
    fmt=${fmt//%/%%}
    fmt="  ${fmt//$'\001'/pad-%s}\n"
    local n=$lvs_padding
    ((has_name)) || fmt="%.0s$fmt"
    # Numbers from 1, six digits (more when there are more).
    local width=${#n}
    ((width < 6)) && width=6
    local -a ids
    eval "ids=({$(printf '%0*d' "$width" 1)..$(printf '%0*d' "$width" "$n")})"
    printf "$fmt" "${ids[@]}"
}

############################################################ lvcreate

tool_lvcreate() {
    local snapshot=0 name= size_opt= size_val= skip=1 skip_given=0 virt= thinpool= ro=0
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
            -p | --permission) [[ ${2-} == r ]] && ro=1 || ro=0; shift ;;
            --permission=*) [[ ${1#*=} == r ]] && ro=1 || ro=0 ;;
            -pr) ro=1 ;;
            -prw | -pw) ro=0 ;;
            -a | --activate | -W | --wipesignatures | --setautoactivation) shift ;;
            -ay | -aly | -an | -Wy | -Wn) ;;
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
        if pool_full "$vg" "$o_pool"; then
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
    L_active=0 L_skip=0 L_ro=$ro L_segments=1 L_loop= L_major= L_minor= L_file=$file
    if [[ $kind == thin ]] && ((skip)); then
        # Thin snapshots carry the activation-skip flag unless -kn is given:
        # they are created inactive, without a device.
        L_skip=1
        lv_store "$vg" "$name"
    elif [[ $kind == cow && $o_active != 1 ]]; then
        # A COW snapshot is active only together with its origin: of an
        # inactive origin it is created inactive, and the origin stays so.
        lv_store "$vg" "$name"
    else
        # A thin snapshot needs only the pool active, not its origin.
        lv_store "$vg" "$name"
        lv_activate "$vg" "$name" "$FAKE_NODE" || { lv_destroy "$vg" "$name"; lvm_die 5 "Failed to activate new LV $vg/$name."; }
    fi
    [[ $kind == cow ]] && usage_start "$vg" "$name"
    [[ $kind == thin ]] && thin_overcommit_warning "$vg" "$o_pool"
    sim_unlock
    echo "  Logical volume \"$name\" created."
    : "${virt}${thinpool}${skip_given}"
}

############################################################ lvremove

# True, with LVM's message, when the loaded LV is active and some process
# holds its device open.
lv_busy() {
    [[ $L_active == 1 ]] && lv_in_use "$L_loop" || return 1
    printf '  Logical volume %s/%s in use.\n' "$1" "$2" >&2
}

# Splits a VG/LV argument (also /dev/VG/LV) into ARG_VG and ARG_LV and
# loads the LV; prints LVM's error and fails when the VG or LV is missing.
lv_arg() {
    local p=${1#/dev/}
    ARG_VG=${p%%/*} ARG_LV=${p#*/}
    if [[ $p != */* || ! -f $ROOT/vgs/$ARG_VG ]]; then
        printf '  Volume group "%s" not found\n  Cannot process volume group %s\n' "$ARG_VG" "$ARG_VG" >&2
        return 1
    fi
    if ! lv_load "$ARG_VG" "$ARG_LV"; then
        printf '  Failed to find logical volume "%s/%s"\n' "$ARG_VG" "$ARG_LV" >&2
        return 1
    fi
}

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
        lv_arg "$p" || { rc=5; continue; }
        vg=$ARG_VG lv=$ARG_LV
        if [[ $L_active == 1 ]] && ((!force && !yes)); then
            printf 'Do you really want to remove active logical volume %s/%s? [y/n]: n\n' "$vg" "$lv" >&2
            printf '  Logical volume %s not removed.\n' "$lv" >&2
            rc=5
            continue
        fi
        if lv_busy "$vg" "$lv"; then
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

############################################################ lvchange

tool_lvchange() {
    local activate= ignore_skip=0 perm= setskip= autoact= refresh=0
    local -a pos=() addtags=() deltags=()
    while (($#)); do
        case $1 in
            -a | --activate) activate=${2-}; shift ;;
            --activate=*) activate=${1#*=} ;;
            -a?*) activate=${1#-a} ;;
            -K | --ignoreactivationskip) ignore_skip=1 ;;
            -k | --setactivationskip) setskip=${2-}; shift ;;
            --setactivationskip=*) setskip=${1#*=} ;;
            -ky | -kn) setskip=${1#-k} ;;
            -p | --permission) perm=${2-}; shift ;;
            --permission=*) perm=${1#*=} ;;
            -pr | -prw) perm=${1#-p} ;;
            --setautoactivation) autoact=${2-}; shift ;;
            --setautoactivation=*) autoact=${1#*=} ;;
            --refresh) refresh=1 ;;
            --addtag) addtags+=("${2-}"); shift ;;
            --addtag=*) addtags+=("${1#*=}") ;;
            --deltag) deltags+=("${2-}"); shift ;;
            --deltag=*) deltags+=("${1#*=}") ;;
            -y | --yes | -f | --force) ;;
            -*) lvm_die 3 "lvchange: unrecognized option '$1'" "Error during parsing of command line." ;;
            *) pos+=("$1") ;;
        esac
        shift
    done
    case $activate in
        "" | y | n | ey | ly | sy | ay) ;;
        *) lvm_die 3 "Invalid argument for --activate: $activate" "Error during parsing of command line." ;;
    esac
    case $perm in "" | r | rw) ;; *) lvm_die 3 "Invalid argument for --permission: $perm" "Error during parsing of command line." ;; esac
    case $setskip in "" | y | n) ;; *) lvm_die 3 "Invalid argument for --setactivationskip: $setskip" "Error during parsing of command line." ;; esac
    case $autoact in "" | y | n) ;; *) lvm_die 3 "Invalid argument for --setautoactivation: $autoact" "Error during parsing of command line." ;; esac
    if [[ -z $activate$perm$setskip$autoact ]] && ((!refresh && ${#addtags[@]} == 0 && ${#deltags[@]} == 0)); then
        lvm_die 3 "No command with matching syntax recognised.  Run 'lvchange --help' for more information."
    fi
    ((${#pos[@]})) || lvm_die 3 "Please specify a logical volume path."
    local rc=0 p vg lv t changed
    sim_lock
    for p in "${pos[@]}"; do
        lv_arg "$p" || { rc=5; continue; }
        vg=$ARG_VG lv=$ARG_LV
        # Changes of the metadata first, each LV reported once.
        changed=0
        if [[ -n $perm ]]; then
            if [[ ($perm == r && $L_ro == 1) || ($perm == rw && $L_ro != 1) ]]; then
                [[ $perm == r ]] && printf '  Logical volume %s/%s is already read only.\n' "$vg" "$lv" >&2 ||
                    printf '  Logical volume %s/%s is already writable.\n' "$vg" "$lv" >&2
                rc=5
                continue
            fi
            # An active LV gets a new device with the new permission (a
            # loop device's own read-only flag would outlive the LV).
            if lv_busy "$vg" "$lv"; then
                rc=5
                continue
            fi
            [[ $perm == r ]] && L_ro=1 || L_ro=0
            if [[ $L_active == 1 ]]; then
                local ro=$L_ro
                lv_deactivate "$vg" "$lv"
                L_ro=$ro
                lv_activate "$vg" "$lv" now || { printf '  Failed to activate %s/%s.\n' "$vg" "$lv" >&2; rc=5; continue; }
            fi
            changed=1
        fi
        if [[ -n $setskip ]]; then
            [[ $setskip == y ]] && L_skip=1 || L_skip=0
            changed=1
        fi
        [[ -n $autoact ]] && changed=1
        for t in "${addtags[@]}"; do
            [[ ,$L_tags, == *,"$t",* ]] || L_tags=${L_tags:+$L_tags,}$t
            changed=1
        done
        for t in "${deltags[@]}"; do
            L_tags=,$L_tags,
            L_tags=${L_tags//,"$t",/,}
            L_tags=${L_tags#,}
            L_tags=${L_tags%,}
            changed=1
        done
        if ((changed)); then
            lv_store "$vg" "$lv"
            printf '  Logical volume %s/%s changed.\n' "$vg" "$lv"
        fi
        [[ -n $activate ]] || continue
        lvchange_activate "$vg" "$lv" "$activate" "$ignore_skip" || rc=5
    done
    sim_unlock
    return "$rc"
}

# Activates (y and its kinds) or deactivates (n) an LV of the loaded
# record. A COW snapshot and its origin change together, with the origin's
# other snapshots; an LV with the activation-skip flag is left as it is on
# -ay without -K, silently, as LVM does. Pools are always active here.
lvchange_activate() {
    local vg=$1 lv=$2 want=$3 ignore_skip=$4 f n
    [[ $L_kind == pool ]] && return 0
    if [[ $want != n && $L_skip == 1 ]] && ((!ignore_skip)); then
        return 0
    fi
    local -a set=("$lv")
    local head=$lv
    [[ $L_kind == cow && -n $L_origin ]] && head=$L_origin set=("$L_origin")
    if [[ $L_kind == cow || $L_kind == thick ]]; then
        for f in "$ROOT/lvs/$vg"/*; do
            [[ -f $f ]] || continue
            n=${f##*/}
            lv_load "$vg" "$n"
            [[ $L_kind == cow && $L_origin == "$head" ]] && set+=("$n")
        done
    fi
    if [[ $want == n ]]; then
        # Nothing changes while any of them is open.
        for n in "${set[@]}"; do
            lv_load "$vg" "$n" || continue
            lv_busy "$vg" "$n" && return 1
        done
        for n in "${set[@]}"; do
            lv_load "$vg" "$n" || continue
            [[ $L_active == 1 ]] && lv_deactivate "$vg" "$n"
        done
        return 0
    fi
    for n in "${set[@]}"; do
        lv_load "$vg" "$n" || continue
        [[ $L_active == 1 ]] && continue
        if ! lv_activate "$vg" "$n" "$FAKE_NODE"; then
            printf '  Failed to activate %s/%s.\n' "$vg" "$n" >&2
            return 1
        fi
    done
    return 0
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
