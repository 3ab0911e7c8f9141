#!/usr/bin/env bash
# Writes the seed corpora of run_header and run_chunk from runs the engine
# itself makes: small sources backed up by vlt_agent, each header file cut
# to the compact form run_header reads (the header fields, then the index)
# and each stored chunk written as its index entry and stored bytes.
#
#   fuzz/engine_seeds.sh <vlt_agent>
set -euo pipefail
agent=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fields=548         # header fields: up to the end of the job name
entry_size=58

# A source of mixed content: text, zeros (a hole), bytes that do not
# compress (a chain of digests, the same at every run), a short tail.
src=$work/source
noise() { local d=seed; for ((i = 0; i < 400; i++)); do d=$(printf %s "$d" | sha256sum); printf %s "${d%% *}"; done | xxd -r -p; }
{ seq 1 20000; head -c 65536 /dev/zero; noise; printf tail; } > "$src"
printf 'scsi0: local-lvm:vm-101-disk-0,size=4G\nvmgenid: 0\n' > "$work/vmconfig"
: > "$work/empty"

run() {  # name source options...
    local name=$1 source=$2; shift 2
    mkdir -p "$work/out/$name"
    "$agent" --source "$source" --snapshot off --name "vm101-$name" --out "$work/out/$name" \
        --no-progress --threads 1 "$@" >/dev/null 2>"$work/log" || { cat "$work/log" >&2; exit 1; }
}
run zstd "$src" --block-size 16384 --compression zstd --level 3
run lz4 "$src" --block-size 16384 --compression lz4
run none "$src" --block-size 4096 --compression none
run vmconfig "$work/vmconfig"
run empty "$work/empty"

le32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
le64() { od -An -tu8 -j "$2" -N8 "$1" | tr -d ' '; }
bytes() { dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }  # file offset count

mkdir -p "$here/corpus/run_header" "$here/corpus/run_chunk"
for dir in "$work"/out/*; do
    name=$(basename "$dir")
    header=$(ls "$dir"/*.infb)
    store=$(ls "$dir"/*.csfb)
    length=$(le32 "$header" 8)
    size=$(stat -c %s "$header")
    { bytes "$header" 0 "$fields"; bytes "$header" "$length" "$((size - length))"; } \
        > "$here/corpus/run_header/$name"
    count=$(le64 "$header" 84)
    # The first two chunks of each run.
    for ((i = 0; i < count && i < 2; i++)); do
        entry_at=$((length + i * entry_size))
        offset=$(le64 "$header" $((entry_at + 8)))
        stored=$(le32 "$header" $((entry_at + 16)))
        { bytes "$header" "$entry_at" "$entry_size"; bytes "$store" "$offset" "$stored"; } \
            > "$here/corpus/run_chunk/$name-$i"
    done
done
