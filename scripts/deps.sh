#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# As root it runs apt-get itself; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake g++ make pkg-config libssl-dev libzstd-dev liblz4-dev libgtest-dev
          util-linux coreutils procps kmod xxd man-db)
for extra in "$@"; do packages+=("$extra"); done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
    echo "missing packages: ${missing[*]}" >&2
    echo "run as root: apt-get install -y ${missing[*]}" >&2
    exit 1
fi
