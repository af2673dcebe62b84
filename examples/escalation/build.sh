#!/bin/bash
# Packs the escalation sample into a package folder:
#   PKGDIR/config/install.cab    the package store (component _internal_ from store/)
#   PKGDIR/config/bin/lumo       the engine, which finds install.cab one folder up
# Usage: build.sh PKGDIR. The engine and lumo-cab come from the build folder (LUMO_BUILD_DIR,
# default build/ in the repository).
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 PKGDIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../../build}
pkg=$1
for needed in "$build/bin/lumo-cab" "$build/bin/lumo"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing: build the project first" >&2
        exit 1
    fi
done
mkdir -p "$pkg/config/bin"
"$build/bin/lumo-cab" create "$pkg/config/install.cab" --dir "$here/store" _internal_
cp "$build/bin/lumo" "$pkg/config/bin/lumo"
chmod -R a+rX "$pkg"
echo "$pkg: package built"
