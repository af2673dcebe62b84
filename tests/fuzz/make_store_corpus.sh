#!/bin/sh
# Rebuilds the seed stores of the store fuzz target with lumo-cab.
# usage: tests/fuzz/make_store_corpus.sh [path/to/lumo-cab]   (default: build/bin/lumo-cab)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-"$here/../../build/bin/lumo-cab"}
out="$here/corpus/store_fuzz"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$out"
printf 'usage\n' > "$work/help"
printf '#!/bin/sh\necho run\n' > "$work/run"
: > "$work/empty"
printf 'core:main.xml:\n' > "$work/seq"

# One entry: the last-entry number is 0.
printf '_internal_ help.msg help 644\n' > "$work/one.txt"
"$tool" create "$out/single_entry.cab" "$work/one.txt"

# Several components, an empty entry and attrs.
printf '_internal_ sequence.ini seq\ncore;tools bin/run run 755\ncore empty empty\n' > "$work/three.txt"
"$tool" create "$out/three_entries.cab" "$work/three.txt"

# A store appended to other bytes, found from the end of the file.
{ printf '#!/bin/sh\nexit 0\n'; cat "$out/single_entry.cab"; } > "$out/prefixed.cab"

# A store cut inside its index, and one whose tail points before the start.
head -c 60 "$out/three_entries.cab" > "$out/truncated.cab"
{ head -c 40 "$out/single_entry.cab"; printf '\000\000\000\000\000\000\377\377\000\000\000\000\000\000\000\020'; } > "$out/bad_tail.cab"
