#!/bin/sh
# Rebuilds the seed corpora of the back-end fuzz targets: small RPM packages built with rpmbuild
# (gzip, xz and zstd payloads, a truncated copy), tar streams written with Python's tarfile, and
# database records.
# usage: tests/fuzz/make_backend_corpus.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rpm_out="$here/corpus/rpm_header_fuzz"
tar_out="$here/corpus/tar_header_fuzz"
db_out="$here/corpus/contents_db_fuzz"
mkdir -p "$rpm_out" "$tar_out" "$db_out"

mkdir -p "$work/home"
printf '%%_topdir %s/top\n%%_dbpath %s/db\n' "$work" "$work" > "$work/home/.rpmmacros"
cat > "$work/seed.spec" <<'SPEC'
Name: seed
Version: 1
Release: 1
Summary: Seed
License: MIT
BuildArch: noarch
Prefix: /opt/seed
%description
Seed.
%install
mkdir -p %{buildroot}/opt/seed/d
echo a > %{buildroot}/opt/seed/d/a
ln -s a %{buildroot}/opt/seed/d/l
%post
echo post
%files
/opt/seed
SPEC
for payload in w9.gzdio w6.xzdio w19.zstdio; do
    HOME="$work/home" rpmbuild -bb --define "_binary_payload $payload" "$work/seed.spec" >/dev/null 2>&1
    cp "$work/top/RPMS/noarch/seed-1-1.noarch.rpm" "$rpm_out/seed_${payload%%.*}.rpm"
done
head -c 600 "$rpm_out/seed_w9.rpm" > "$rpm_out/truncated.rpm"

python3 - "$tar_out" <<'PY'
import tarfile, io, sys, gzip
out = sys.argv[1]
def entry(t, name, data=b'', kind=tarfile.REGTYPE, link=''):
    ti = tarfile.TarInfo(name); ti.type = kind; ti.linkname = link
    ti.size = len(data) if kind == tarfile.REGTYPE else 0
    t.addfile(ti, io.BytesIO(data) if ti.size else None)
def build(t):
    entry(t, 'd', kind=tarfile.DIRTYPE)
    entry(t, 'd/f', b'data')
    entry(t, 'd/l', kind=tarfile.SYMTYPE, link='f')
    entry(t, 'd/h', kind=tarfile.LNKTYPE, link='d/f')
    entry(t, 'long/' + 'x' * 120, b'long')
for name, fmt in (('gnu.tar', tarfile.GNU_FORMAT), ('pax.tar', tarfile.PAX_FORMAT)):
    b = io.BytesIO(); t = tarfile.open(fileobj=b, mode='w', format=fmt, pax_headers={'c': 'g'} if fmt == tarfile.PAX_FORMAT else None)
    build(t); t.close()
    open(out + '/' + name, 'wb').write(b.getvalue())
    if fmt == tarfile.GNU_FORMAT: open(out + '/gnu.tar.gz', 'wb').write(gzip.compress(b.getvalue()))
b = io.BytesIO(); t = tarfile.open(fileobj=b, mode='w')
entry(t, '../escape', b'x'); entry(t, 'l', kind=tarfile.SYMTYPE, link='/tmp'); entry(t, 'l/x', b'x'); t.close()
open(out + '/hostile.tar', 'wb').write(b.getvalue())
PY

printf '<:id:file.rpm:/opt/p:/db/.file.rpm_1.log:>\n<:a%%3Ab:%%:%%25:x:>\n<:old:old.tgz:/list:>\n' > "$db_out/records.db"
printf '<::::>\n<:a:b\n:>\n' > "$db_out/empty_fields.db"
