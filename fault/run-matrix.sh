#!/usr/bin/env bash
# Runs the whole fault matrix: builds the programs, the engine and the
# matrix in BUILD_DIR (default build), then every case, one line each and
# a total at the end. Extra arguments go to the matrix (--filter TEXT,
# --list). Needs root (loop devices). Exits non-zero when a case broke an
# invariant.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
cd "$top"
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target vlt_fault_matrix
echo "fault matrix on $(uname -n), $(nproc) cores, $(date -u +%Y-%m-%dT%H:%M:%SZ)"
exec "$build/fault/vlt_fault_matrix" "$@"
