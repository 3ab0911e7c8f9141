#!/usr/bin/env bash
# The demo: on a simulated Proxmox VE host (real loop-device volumes), back up a
# VM with two disks (LVM-thin and thick LVM) with vlt_proxmox and the reference
# engine, restore it as a new VM with vlt_proxmox_restore, check every restored
# byte and the new configuration, and tear the simulated host down again.
# Needs root (loop devices); installs missing Debian packages itself.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
    echo "demo: needs root (the simulated host attaches loop devices)" >&2
    bash scripts/deps.sh || true
    exit 1
fi

bash scripts/deps.sh
build=${VLT_DEMO_BUILD:-$top/build-demo}
echo "== building in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vlt_proxmox vlt_proxmox_restore vlt_agent vlt_restore >/dev/null

VLT_SIM_ROOT=$(mktemp -d /tmp/vlt_demo_sim.XXXXXX)
export VLT_SIM_ROOT
# Proxmox's storage locks of the simulated host, not of this machine.
export VLT_PVE_LOCK_DIR=$VLT_SIM_ROOT/locks/pve-manager
work=$(mktemp -d /tmp/vlt_demo.XXXXXX)
sim=$top/testbed/simhost
cleanup() {
    "$sim" teardown >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

export PATH="$top/testbed/bin:$build/engine:$build/backup:$build/restore:$PATH"

say() { printf '%s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

# --- the simulated host and its VM -------------------------------------------
vg=$("$sim" init)
"$sim" add-storage local-lvm lvmthin >/dev/null
"$sim" add-storage fast-lvm lvm >/dev/null
cat > "$work/101.conf" <<'CONF'
agent: 1
boot: order=scsi0;ide2;net0
cores: 2
ide2: local:iso/debian-12.iso,media=cdrom,size=628M
memory: 2048
name: web01
net0: virtio=BC:24:11:5E:00:01,bridge=vmbr0,firewall=1
ostype: l26
scsi0: local-lvm:vm-101-disk-0,iothread=1,size=64M
scsihw: virtio-scsi-single
smbios1: uuid=7d3c5a42-9f1e-4c1b-8a55-0a4e2b8c1d77
virtio1: fast-lvm:vm-101-disk-1,size=32M
vmgenid: 2f0e1d4c-3b5a-4e6f-8a7b-9c0d1e2f3a4b
CONF
"$sim" add-vm 101 --config "$work/101.conf" --agent answering >/dev/null
head -c $((48 * 1024 * 1024)) /dev/urandom > "$work/disk0.bin"
for i in $(seq 1 20000); do echo "line $i of the thick disk: the quick brown fox jumps over the lazy dog"; done > "$work/disk1.bin"
"$sim" add-lv local-lvm vm-101-disk-0 64M --data "$work/disk0.bin" >/dev/null
"$sim" add-lv fast-lvm vm-101-disk-1 32M --data "$work/disk1.bin" >/dev/null
say "simulated host: VG $vg, VM 101 (scsi0 64 MiB on LVM-thin, virtio1 32 MiB on thick LVM, a cdrom, net0)"

# --- backup ------------------------------------------------------------------
mkdir -p "$work/backup"
dev0=$(pvesm path local-lvm:vm-101-disk-0)
dev1=$(pvesm path fast-lvm:vm-101-disk-1)
sum0=$(sha256sum < "$dev0" | cut -d' ' -f1)
sum1=$(sha256sum < "$dev1" | cut -d' ' -f1)
if ! vlt_proxmox --vmid 101 --pve-dir "$VLT_SIM_ROOT/pve" -- --out "$work/backup" 2> "$work/backup.log"; then
    cat "$work/backup.log" >&2; fail "vlt_proxmox exited non-zero"
fi
window=$(sed -n 's/.*consistency window (guest quiesced until thawed): \(.*\)$/\1/p' "$work/backup.log")
jobs=$(sed -n 's/.*: job \(vm101-[a-z0-9]*\) finished$/\1/p' "$work/backup.log" | tr '\n' ' ')
[ -n "$window" ] || { cat "$work/backup.log" >&2; fail "no consistency window in the backup log"; }
say "backup: jobs ${jobs% }; consistency window $window"
say "        $(ls "$work/backup" | wc -l) files, $(du -sh "$work/backup" | cut -f1) stored in $work/backup"
"$sim" check-clean >/dev/null || { "$sim" check-clean >&2; fail "the backup left something behind"; }

# the origin changes after the backup: the restore must give the old bytes back
head -c 4096 /dev/zero > "$work/zero.bin"
dd if="$work/zero.bin" of="$dev0" bs=4096 count=1 conv=notrunc status=none

# --- restore -----------------------------------------------------------------
if ! vlt_proxmox_restore --job vm101 --search-dir "$work/backup" --pve-dir "$VLT_SIM_ROOT/pve" 2> "$work/restore.log"; then
    cat "$work/restore.log" >&2; fail "vlt_proxmox_restore exited non-zero"
fi
newid=$(sed -n 's/.*done (VMID \([0-9]*\))$/\1/p' "$work/restore.log")
[ -n "$newid" ] || { cat "$work/restore.log" >&2; fail "no 'done (VMID ...)' line"; }
newconf="$VLT_SIM_ROOT/pve/qemu-server/$newid.conf"
[ -f "$newconf" ] || fail "$newconf was not installed"
say "restore: new VM $newid, config installed as qemu-server/$newid.conf"

# --- checks ------------------------------------------------------------------
verified=0
check_disk() {  # slot, original digest, original size
    local slot=$1 want=$2 size=$3 volid dev got
    volid=$(sed -n "s/^$slot: \([^,]*\).*/\1/p" "$newconf")
    [ -n "$volid" ] || fail "no $slot line in the new config"
    case "$volid" in *"vm-$newid-disk-"*) ;; *) fail "$slot names $volid, not a volume of VM $newid";; esac
    dev=$(pvesm path "$volid")
    got=$(head -c "$size" "$dev" | sha256sum | cut -d' ' -f1)
    [ "$got" = "$want" ] || fail "$slot: restored bytes differ from the original"
    verified=$((verified + size))
    say "        $slot -> $volid: $size bytes identical"
}
check_disk scsi0 "$sum0" $((64 * 1024 * 1024))
check_disk virtio1 "$sum1" $((32 * 1024 * 1024))
grep -q '^scsi0: local-lvm:vm-'"$newid"'-disk-[0-9]*,iothread=1,size=64M$' "$newconf" || fail "scsi0 lost its options"
grep -q '^ide2: local:iso/debian-12.iso,media=cdrom' "$newconf" || fail "the cdrom line was not kept"
mac=$(sed -n 's/^net0: virtio=\([0-9A-F:]*\),bridge=vmbr0,firewall=1$/\1/p' "$newconf")
[ -n "$mac" ] && [ "$mac" != "BC:24:11:5E:00:01" ] || fail "net0 did not get a fresh MAC"
case "$mac" in BC:24:11:*) ;; *) fail "net0's MAC $mac lacks the cluster prefix";; esac
uuid=$(sed -n 's/^smbios1: uuid=\(.*\)$/\1/p' "$newconf")
[ -n "$uuid" ] && [ "$uuid" != "7d3c5a42-9f1e-4c1b-8a55-0a4e2b8c1d77" ] || fail "smbios1 uuid not renewed"
[ "$(grep -c '^vmgenid: ' "$newconf")" = 1 ] || fail "not exactly one vmgenid line"
grep -q '^vmgenid: 2f0e1d4c' "$newconf" && fail "vmgenid not renewed"
say "config: disks remapped with their options, cdrom kept, net0 MAC $mac, fresh smbios1 uuid and vmgenid"
say "verified: $verified bytes restored identical to the disks at snapshot time"

"$sim" check-clean >/dev/null || { "$sim" check-clean >&2; fail "something was left behind"; }
"$sim" teardown
trap - EXIT
rm -rf "$work"
say "simulated host torn down; nothing left behind"
