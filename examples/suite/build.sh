#!/bin/bash
# Builds the sample suite package:
#   PKGDIR/config/install.cab     the package store: sequence, dialogs, string tables (from store/)
#   PKGDIR/config/mediaconfig.xml the products and components
#   PKGDIR/config/licence_*.txt   the licence, one file per language
#   PKGDIR/config/bin/lumo        the engine, which finds install.cab one folder up
#   PKGDIR/payload/               the components: tar.gz archives and RPM packages
#   PKGDIR/answers.ini            the answers of an unattended install (lumo -s PKGDIR/answers.ini)
# Usage: build.sh PKGDIR. The engine and lumo-cab come from the build folder (LUMO_BUILD_DIR,
# default build/ in the repository). The RPM packages are built with rpmbuild in a private
# folder (its own top folder and database), so the machine's rpm database is never read or written.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 PKGDIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../../build}
pkg=$1
cab="$build/bin/lumo-cab"
for needed in "$cab" "$build/bin/lumo"; do
    if [ ! -f "$needed" ]; then
        echo "$0: $needed is missing: build the project first" >&2
        exit 1
    fi
done
command -v rpmbuild >/dev/null || { echo "$0: rpmbuild is missing (apt-get install rpm)" >&2; exit 1; }

rm -rf "$pkg/config" "$pkg/payload"
mkdir -p "$pkg/config/bin" "$pkg/payload"
"$cab" create "$pkg/config/install.cab" --dir "$here/store" _internal_
cp "$here/mediaconfig.xml" "$here"/licence_*.txt "$pkg/config/"
cp "$build/bin/lumo" "$pkg/config/bin/lumo"
cp "$here/answers.ini" "$pkg/answers.ini"

# tar.gz components: one archive per folder, its entries relative to the install folder.
for archive in rt_core rt_lib rt_docs; do
    tar -czf "$pkg/payload/$archive.tar.gz" --owner=0 --group=0 -C "$here/payload/$archive" runtime
done

# RPM components.
rpmwork=$(mktemp -d)
trap 'rm -rf "$rpmwork"' EXIT
for spec in sample-analyzer sample-analyzer-plugins; do
    if ! rpmbuild -bb --quiet \
            --define "_topdir $rpmwork/top" --define "_dbpath $rpmwork/db" \
            --define "payload_src $here/payload" --define "__os_install_post %{nil}" \
            "$here/payload/$spec.spec" >"$rpmwork/$spec.log" 2>&1; then
        cat "$rpmwork/$spec.log" >&2
        exit 1
    fi
    cp "$rpmwork/top/RPMS/noarch/$spec-2.0-1.noarch.rpm" "$pkg/payload/"
done
echo "$pkg: package built"
