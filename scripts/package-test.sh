#!/usr/bin/env bash
# Builds the Debian packages from a finished build directory, checks their
# contents and lintian's verdict, installs them, runs the installed programs
# and manual pages, and purges them again. Leaves the machine as it found it.
#
#   scripts/package-test.sh [build-dir]      (default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$top/$build ;; esac

version=1.0.2-alpha028
deb_version=${version//-/\~}
pkg=vlt-proxmox
engine_pkg=vlt-proxmox-engine

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "package-test: $*"; }

[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build directory"
[ "$(id -u)" -eq 0 ] || fail "must run as root (dpkg -i)"

bash "$top/scripts/deps.sh" lintian man-db dpkg-dev

# --- nothing of ours may be on the machine already: we would overwrite it
# and then purge it.
for p in $pkg $engine_pkg; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then
        fail "package $p is already installed; remove it first"
    fi
done
for f in /usr/sbin/vlt_proxmox /usr/sbin/vlt_proxmox_restore /usr/bin/vlt_progress \
         /usr/bin/vlt_agent /usr/bin/vlt_restore /etc/vlt/vlt_proxmox.cfg; do
    [ -e "$f" ] && fail "$f exists already; this test would replace it"
done
had_etc_vlt=0
[ -d /etc/vlt ] && had_etc_vlt=1

# --- build
step "building the packages in $build/packages"
rm -rf "$build/packages"
if ! (cd "$build" && cmake --build . --target vlt_proxmox vlt_proxmox_restore vlt_progress \
          vlt_agent vlt_restore vlt_packaging_files -j2 && cpack -G DEB) >"$build/cpack.log" 2>&1; then
    cat "$build/cpack.log" >&2
    fail "cpack failed"
fi
arch=$(dpkg --print-architecture)
main_deb=$build/packages/${pkg}_${deb_version}_${arch}.deb
engine_deb=$build/packages/${engine_pkg}_${deb_version}_${arch}.deb
[ -f "$main_deb" ] || fail "missing $main_deb"
[ -f "$engine_deb" ] || fail "missing $engine_deb"

# --- contents
step "checking contents and control data"
expect_files() {
    local deb=$1; shift
    local listing
    listing=$(dpkg-deb -c "$deb" | awk '{print $1, $6}')
    for entry in "$@"; do
        local mode=${entry%% *} path=${entry#* }
        grep -qx -- "$mode ./$path" <<<"$listing" || fail "$(basename "$deb"): no $mode $path"
    done
}
expect_files "$main_deb" \
    "-rwxr-xr-x usr/sbin/vlt_proxmox" \
    "-rwxr-xr-x usr/sbin/vlt_proxmox_restore" \
    "-rwxr-xr-x usr/bin/vlt_progress" \
    "-rw-r--r-- usr/share/man/man8/vlt_proxmox.8.gz" \
    "-rw-r--r-- usr/share/man/man8/vlt_proxmox_restore.8.gz" \
    "-rw-r--r-- usr/share/man/man5/vlt_proxmox.cfg.5.gz" \
    "-rw-r--r-- usr/share/man/man1/vlt_progress.1.gz" \
    "-rw-r----- etc/vlt/vlt_proxmox.cfg" \
    "-rw-r--r-- lib/systemd/system/vlt-proxmox-backup-failed@.service" \
    "-rw-r--r-- lib/systemd/system/vlt-proxmox-backup@.service" \
    "-rw-r--r-- lib/systemd/system/vlt-proxmox-backup@.timer" \
    "-rw-r--r-- usr/share/bash-completion/completions/vlt_proxmox" \
    "-rw-r--r-- usr/share/bash-completion/completions/vlt_proxmox_restore" \
    "-rw-r--r-- usr/share/bash-completion/completions/vlt_progress" \
    "-rw-r--r-- usr/share/doc/vlt-proxmox/copyright" \
    "-rw-r--r-- usr/share/doc/vlt-proxmox/changelog.gz" \
    "-rw-r--r-- usr/share/lintian/overrides/vlt-proxmox"
expect_files "$engine_deb" \
    "-rwxr-xr-x usr/bin/vlt_agent" \
    "-rwxr-xr-x usr/bin/vlt_restore" \
    "-rw-r--r-- usr/share/man/man1/vlt_agent.1.gz" \
    "-rw-r--r-- usr/share/man/man1/vlt_restore.1.gz" \
    "-rw-r--r-- usr/share/doc/vlt-proxmox-engine/copyright"
# The engine stays out of the orchestrators' package and the other way round.
dpkg-deb -c "$main_deb" | grep -q -e 'vlt_agent' -e 'bin/vlt_restore$' -e 'vlt_restore.1' \
    && fail "$pkg ships the reference engine"
dpkg-deb -c "$engine_deb" | grep -q -e 'sbin/' -e 'etc/' && fail "$engine_pkg ships more than the engine"

for deb in "$main_deb" "$engine_deb"; do
    [ "$(dpkg-deb -f "$deb" Version)" = "$deb_version" ] || fail "$(basename "$deb"): version"
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libc6 libssl3 libzstd1 liblz4-1 libstdc++6; do
        grep -q "\b$lib\b" <<<"$depends" || fail "$(basename "$deb"): Depends lacks $lib: $depends"
    done
done
dpkg-deb -f "$main_deb" Depends | grep -q "$engine_pkg" && fail "$pkg must not depend on the engine"
[ "$(dpkg-deb --info "$main_deb" conffiles)" = "/etc/vlt/vlt_proxmox.cfg" ] \
    || fail "the example configuration is not a conffile"

# --- lintian: warnings are shown, errors fail
step "lintian"
lint=$(lintian --no-cfg "$main_deb" "$engine_deb" 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$lint" ] && echo "$lint"
grep -q '^E: ' <<<"$lint" && fail "lintian reports errors"

# --- install, run, purge
installed=0
cleanup() {
    if [ $installed -eq 1 ]; then
        dpkg --purge $pkg $engine_pkg >/dev/null 2>&1 || echo "package-test: purge failed" >&2
    fi
}
trap cleanup EXIT

step "installing"
installed=1
dpkg -i "$main_deb" "$engine_deb" >/dev/null || fail "dpkg -i failed"

step "checking the installed files"
[ "$(/usr/sbin/vlt_proxmox --version)" = "vlt_proxmox $version" ] || fail "vlt_proxmox --version"
[ "$(/usr/sbin/vlt_proxmox_restore --version)" = "vlt_proxmox_restore $version" ] \
    || fail "vlt_proxmox_restore --version"
[ "$(/usr/bin/vlt_progress --version)" = "vlt_progress $version" ] || fail "vlt_progress --version"
/usr/bin/vlt_progress --json >/dev/null || fail "vlt_progress --json"
[ -x /usr/bin/vlt_agent ] && [ -x /usr/bin/vlt_restore ] || fail "the engine is not installed"

# The packaged configuration is all comments: it loads, and the run stops
# only for the missing vmid.
set +e
out=$(/usr/sbin/vlt_proxmox --name pkgtest 2>&1 >/dev/null)
rc=$?
set -e
[ $rc -eq 2 ] || fail "vlt_proxmox --name pkgtest exited $rc: $out"
grep -q '^error: --vmid is required (either --vmid on the command line or vmid= in a \[pkgtest\] section of /etc/vlt/vlt_proxmox.cfg)$' <<<"$out" \
    || fail "unexpected message: $out"

manpath_excluded=0
grep -qs 'path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/* && manpath_excluded=1
if [ $manpath_excluded -eq 0 ]; then
    for page in "8 vlt_proxmox" "8 vlt_proxmox_restore" "5 vlt_proxmox.cfg" "1 vlt_progress" \
                "1 vlt_agent" "1 vlt_restore"; do
        set -- $page
        where=$(man -w "$1" "$2") || fail "man -w $1 $2"
        [ "$where" = "/usr/share/man/man$1/$2.$1.gz" ] || fail "man -w $1 $2 gives $where"
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings "$1" "$2" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man $1 $2 warns: $warnings"
    done
    [ "$(man -w vlt_proxmox)" = /usr/share/man/man8/vlt_proxmox.8.gz ] || fail "man -w vlt_proxmox"
else
    step "man pages are excluded by dpkg here; man -w not checked"
fi

bash -c 'source /usr/share/bash-completion/completions/vlt_proxmox_restore &&
         complete -p vlt_proxmox vlt_proxmox_restore vlt_progress' >/dev/null \
    || fail "bash completion does not load"
if command -v systemd-analyze >/dev/null; then
    unit_dir=$(mktemp -d)
    cp /lib/systemd/system/vlt-proxmox-backup@.service "$unit_dir/vlt-proxmox-backup@pkgtest.service"
    cp /lib/systemd/system/vlt-proxmox-backup@.timer "$unit_dir/vlt-proxmox-backup@pkgtest.timer"
    cp /lib/systemd/system/vlt-proxmox-backup-failed@.service "$unit_dir/vlt-proxmox-backup-failed@pkgtest.service"
    verify=$( (cd "$unit_dir" && systemd-analyze verify vlt-proxmox-backup@pkgtest.timer \
                 vlt-proxmox-backup@pkgtest.service vlt-proxmox-backup-failed@pkgtest.service) 2>&1 |
                 grep 'vlt-proxmox-backup' || true)
    rm -rf "$unit_dir"
    [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
fi

step "purging"
dpkg --purge $pkg $engine_pkg >/dev/null || fail "dpkg --purge failed"
installed=0
for f in /usr/sbin/vlt_proxmox /usr/sbin/vlt_proxmox_restore /usr/bin/vlt_progress \
         /usr/bin/vlt_agent /usr/bin/vlt_restore /etc/vlt/vlt_proxmox.cfg \
         /lib/systemd/system/vlt-proxmox-backup@.service \
         /lib/systemd/system/vlt-proxmox-backup-failed@.service \
         /usr/share/man/man8/vlt_proxmox.8.gz; do
    [ -e "$f" ] && fail "$f is left after the purge"
done
[ $had_etc_vlt -eq 0 ] && [ -d /etc/vlt ] && fail "/etc/vlt is left after the purge"
for p in $pkg $engine_pkg; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed' && fail "$p still installed"
done
step "ok"
