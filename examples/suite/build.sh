#!/bin/bash
# Builds the sample suite package:
#   PKGDIR/config/install.cab     the package store: sequence, dialogs, string tables (from store/)
#   PKGDIR/config/mediaconfig.xml the products and components
#   PKGDIR/config/licence_*.txt   the licence, one file per language
#   PKGDIR/config/bin/lumo        the engine, which finds install.cab one folder up
#   PKGDIR/payload/               the components: tar.gz archives and RPM packages
#   PKGDIR/answers.ini            the answers of an unattended install (lumo -s PKGDIR/answers.ini)
#   PKGDIR/answers-modify.ini     the answers of an unattended change (--LUMO_MODE modify -s ...)
# Usage: build.sh [--version 1.1] PKGDIR. With --version 1.1 the package holds release 1.1 of the
# Sample Runtime alone, its archives named with the release (rt_core-1.1.tar.gz): installed over
# 1.0, the rules of coex.xml find the 1.0 archives and remove them first. The engine and lumo-cab come from the build folder (LUMO_BUILD_DIR,
# default build/ in the repository). The RPM packages are built with rpmbuild in a private
# folder (its own top folder and database), so the machine's rpm database is never read or written.
set -euo pipefail
release=1.0
if [ $# -eq 3 ] && [ "$1" = --version ]; then
    release=$2
    shift 2
fi
if [ $# -ne 1 ] || { [ "$release" != 1.0 ] && [ "$release" != 1.1 ]; }; then
    echo "usage: $0 [--version 1.0|1.1] PKGDIR" >&2
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
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$release" = 1.0 ]; then
    "$cab" create "$pkg/config/install.cab" --dir "$here/store" _internal_
    cp "$here/mediaconfig.xml" "$pkg/config/"
    suffix=
else
    # Release 1.1: its own version in the store, the runtime's product alone, versioned archives.
    cp -r "$here/store" "$work/store"
    sed -i "s/^PRODUCT_VERSION=.*/PRODUCT_VERSION=$release.0/" "$work/store/product.ini"
    "$cab" create "$pkg/config/install.cab" --dir "$work/store" _internal_
    suffix=-$release
    sed -e '/<Product id="2"/,/<\/Product>/d' -e "s/\(rt_[a-z]*\)\.tar\.gz/\1$suffix.tar.gz/" \
        -e "s|<Version>1.0</Version>|<Version>$release</Version>|" "$here/mediaconfig.xml" >"$pkg/config/mediaconfig.xml"
fi
cp "$here"/licence_*.txt "$pkg/config/"
cp "$build/bin/lumo" "$pkg/config/bin/lumo"
cp "$here/answers.ini" "$here/answers-modify.ini" "$pkg/"

# tar.gz components: one archive per folder, its entries relative to the install folder. Every
# release leaves its number in runtime/RELEASE.
for archive in rt_core rt_lib rt_docs; do
    mkdir -p "$work/$archive"
    cp -r "$here/payload/$archive/runtime" "$work/$archive/"
    [ "$archive" = rt_core ] && echo "$release" >"$work/$archive/runtime/RELEASE"
    tar -czf "$pkg/payload/$archive$suffix.tar.gz" --owner=0 --group=0 -C "$work/$archive" runtime
done
[ "$release" = 1.0 ] || { echo "$pkg: package built"; exit 0; }

# RPM components.
rpmwork=$work/rpm
mkdir "$rpmwork"
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
