#!/bin/bash
# Packs the sequence sample into a package folder:
#   PKGDIR/config/install.cab    the package store (component _internal_ from store/, the plug-in
#                                library as plugins::hello_plugin.so)
#   PKGDIR/config/audit.cab      the store of the "audit" layer, from layer/
#   PKGDIR/config/bin/lumo       the engine, which finds install.cab one folder up
# Usage: build.sh PKGDIR. The engine, lumo-cab and the plug-in come from the build folder
# (LUMO_BUILD_DIR, default build/ in the repository): bin/lumo, bin/lumo-cab, lib/hello_plugin.so.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 PKGDIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../../build}
pkg=$1
cab="$build/bin/lumo-cab"
for needed in "$cab" "$build/bin/lumo" "$build/lib/hello_plugin.so"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing: build the project first" >&2
        exit 1
    fi
done

mkdir -p "$pkg/config/bin"
manifest=$(mktemp)
trap 'rm -f "$manifest"' EXIT
(cd "$here/store" && find . -type f | sort | while read -r file; do
    printf '_internal_\t%s\t%s\n' "${file#./}" "$here/store/${file#./}"
done) > "$manifest"
printf 'plugins\thello_plugin.so\t%s\t755\n' "$build/lib/hello_plugin.so" >> "$manifest"
"$cab" create "$pkg/config/install.cab" "$manifest"
"$cab" create "$pkg/config/audit.cab" --dir "$here/layer" _internal_
cp "$build/bin/lumo" "$pkg/config/bin/lumo"
echo "$pkg: package built"
