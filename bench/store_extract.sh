#!/bin/sh
# Times extracting one large entry from a store against copying the same bytes with cp:
# elapsed time and peak resident memory of each (extraction copies through a fixed block, so its
# memory should not grow with the entry).
# usage: bench/store_extract.sh [path/to/lumo-cab] [size-in-MB]   (defaults: build/bin/lumo-cab, 500)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-"$here/../build/bin/lumo-cab"}
size_mb=${2:-500}

if [ ! -x "$tool" ]; then echo "store_extract: no lumo-cab at $tool" >&2; exit 2; fi
if [ ! -x /usr/bin/time ]; then echo "store_extract: /usr/bin/time is needed (package time)" >&2; exit 2; fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumo_store_extract.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Source, store, extracted copy and cp copy: four times the entry.
need_kb=$((size_mb * 1024 * 4 + 10240))
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt "$need_kb" ]; then
    echo "store_extract: $((need_kb / 1024)) MB needed in $work, $((free_kb / 1024)) MB free" >&2
    exit 1
fi

head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/payload.bin"
printf 'payload payload.bin payload.bin 644\n' > "$work/manifest"
"$tool" create "$work/big.cab" "$work/manifest"

measure() {  # label, command...
    label=$1
    shift
    sync
    /usr/bin/time -v "$@" 2> "$work/time.txt"
    elapsed=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    printf '%-10s elapsed %-9s peak RSS %s KB\n' "$label" "$elapsed" "$rss"
}

echo "entry of $size_mb MB"
measure extract "$tool" extract "$work/big.cab" payload payload.bin "$work/extracted.bin"
measure cp cp "$work/payload.bin" "$work/copied.bin"
cmp "$work/payload.bin" "$work/extracted.bin" && echo "extracted bytes match the source"
