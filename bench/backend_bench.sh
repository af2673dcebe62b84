#!/bin/bash
# Times the installation back-ends against the system's own tools on one generated tree:
#   tar.gz install          vs  tar -xzf
#   own RPM extraction      vs  rpm2cpio | cpio -idmu
#   system rpm route        vs  rpm -i of the same package alone
# and prints the ratios and the back-end's peak memory.
# usage: bench/backend_bench.sh [build-dir] [work-dir]
# Tree size: BENCH_FILES (20000), BENCH_DIRS (1500), BENCH_LINKS (200), BENCH_MB (300).
# BENCH_RUNS (3): each pair runs that many times, alternating which side goes first, and the best
# time of each side counts, so a burst of load from other processes does not decide a ratio.
# With a work-dir that already holds the tree and packages from an earlier run they are reused.
# Every rpm command uses a private database under the work folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/lumo_backend_bench.XXXXXX")}
tool="$build/bin/lumo-backend"
files=${BENCH_FILES:-20000}
dirs=${BENCH_DIRS:-1500}
links=${BENCH_LINKS:-200}
megabytes=${BENCH_MB:-300}
runs=${BENCH_RUNS:-3}
for need in python3 tar rpm rpmbuild rpm2cpio cpio /usr/bin/time; do
    command -v "$need" >/dev/null || { echo "backend_bench: $need is missing" >&2; exit 2; }
done
[ -x "$tool" ] || { echo "backend_bench: build $tool first" >&2; exit 2; }
mkdir -p "$work"
cd "$work"
rpm_file=$work/top/RPMS/noarch/benchtree-1-1.noarch.rpm
if [ -f tree.tgz ] && [ -f "$rpm_file" ]; then
    echo "== reusing the tree and packages in $work"
else
echo "== generating $files files, $dirs folders, $links links, about $megabytes MB in $work"
rm -rf src && mkdir -p src/opt/benchtree
python3 - "$files" "$dirs" "$links" "$megabytes" <<'PY'
import os, random, sys
files, dirs, links, mb = map(int, sys.argv[1:5])
random.seed(7)
base = 'src/opt/benchtree'
folders = []
for i in range(dirs):
    parent = random.choice(folders) if folders and random.random() < 0.6 else base
    path = os.path.join(parent, 'd%04d' % i)
    os.makedirs(path, exist_ok=True)
    folders.append(path)
# Mixed sizes (many small files, a few large ones) summing to about mb megabytes; half of the
# bytes compress well (text), half do not (random).
weights = [random.lognormvariate(0, 1.6) for _ in range(files)]
scale = mb * 1024 * 1024 / sum(weights)
text = (b'the quick brown fox jumps over the lazy dog %d\n' * 64)
names = []
for i, w in enumerate(weights):
    size = max(1, int(w * scale))
    path = os.path.join(random.choice(folders), 'f%05d.dat' % i)
    with open(path, 'wb') as f:
        if i % 2:
            f.write(os.urandom(size))
        else:
            chunk = text * (size // len(text) + 1)
            f.write(chunk[:size])
    os.chmod(path, random.choice([0o644, 0o755, 0o600]))
    names.append(path)
for i in range(links):
    target = random.choice(names)
    link = os.path.join(random.choice(folders), 'l%04d' % i)
    os.symlink(os.path.relpath(target, os.path.dirname(link)), link)
PY
du -sm src | awk '{print "tree size: " $1 " MB"}'

echo "== packing"
tar -czf tree.tgz -C src/opt/benchtree .
mkdir -p home
printf '%%_topdir %s/top\n%%_dbpath %s/builddb\n' "$work" "$work" > home/.rpmmacros
cat > benchtree.spec <<SPEC
Name: benchtree
Version: 1
Release: 1
Summary: Benchmark tree
License: MIT
BuildArch: noarch
Prefix: /opt/benchtree
%global __os_install_post %{nil}
%global _build_id_links none
%global debug_package %{nil}
%description
Benchmark tree.
%install
mkdir -p %{buildroot}/opt
cp -a $work/src/opt/benchtree %{buildroot}/opt/
%files
/opt/benchtree
SPEC
HOME="$work/home" rpmbuild -bb --define "_binary_payload w6.gzdio" benchtree.spec >rpmbuild.log 2>&1 ||
    { tail -20 rpmbuild.log; exit 1; }
fi
ls -l tree.tgz "$rpm_file" | awk '{print $5 " bytes  " $NF}'

# The page cache cannot be dropped without privileges here; every command reads its input once
# before it is timed, so both sides of each ratio start from the same warm input and empty output.
# Each run writes into a folder of its own and nothing is deleted until the next start, which then
# waits: on ext4, creating files after tens of thousands were deleted costs several times the usual
# (the allocator passes over every inode deleted in the last minute, or the last six while its
# table block is dirty, and creating files dirties it), which would time the deletion instead of
# the tool. BENCH_SETTLE (400 s) is that wait.
# Before every run the page cache is emptied (as root) and the input read back into it: the
# runs before leave gigabytes cached, and reclaiming them on the fly would be timed too.
drop_cache() { sync; if [ -w /proc/sys/vm/drop_caches ]; then echo 1 > /proc/sys/vm/drop_caches; fi; }
warm() { drop_cache; cat "$1" >/dev/null; sync; }
# Runs a command and prints "seconds peak-kilobytes".
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time.out" "$@" >/dev/null 2>"$work/cmd.err" || { cat "$work/cmd.err" >&2; return 1; }
    sync
    cat "$work/time.out"
}
fresh() {  # (the folder's name comes from mktemp: a counter would not survive a subshell)
    mkdir -p "$work/runs"
    local run
    run=$(mktemp -d "$work/runs/run.XXXXXX")
    out=$run/out db=$run/db rpmdb=$run/rpmdb
    mkdir -p "$out" "$db"
    sync
}
if [ -d "$work/runs" ]; then
    rm -rf "$work/runs"
    sync
    echo "== letting the file system settle after deleting an earlier run's output (${BENCH_SETTLE:-400}s)"
    sleep "${BENCH_SETTLE:-400}"
fi

# best "seconds kilobytes" of the runs of one side, by seconds
best() { sort -n | head -n 1; }
# pair NAME-A NAME-B: runs a_cmd and b_cmd (shell functions) alternately; sets a_s a_kb b_s b_kb.
pair() {
    : > "$work/a.times"; : > "$work/b.times"
    for ((i = 0; i < runs; i++)); do
        if ((i % 2 == 0)); then order="a b"; else order="b a"; fi
        for side in $order; do
            fresh; warm "$input"
            if [ "$side" = a ]; then a_cmd >> "$work/a.times"; else b_cmd >> "$work/b.times"; fi
        done
    done
    read -r a_s a_kb < <(best < "$work/a.times")
    read -r b_s b_kb < <(best < "$work/b.times")
}

echo "== tar.gz ($runs runs each)"
input=tree.tgz
a_cmd() { measure tar -xzf tree.tgz -C "$out"; }
b_cmd() { measure "$tool" install tgz "$work/tree.tgz" "$out/p" --db "$db"; }
pair
tar_s=$a_s; tgz_s=$b_s; tgz_kb=$b_kb
echo "tar -xzf: ${tar_s}s  lumo tgz: ${tgz_s}s (peak ${tgz_kb} KB)"

echo "== rpm payload ($runs runs each)"
input=$rpm_file
a_cmd() { (cd "$out" && measure sh -c "rpm2cpio '$rpm_file' | cpio -idmu --quiet"); }
b_cmd() { measure "$tool" install rpm "$rpm_file" "$out/p" --db "$db" --mode NONRPM; }
pair
cpio_s=$a_s; own_s=$b_s; own_kb=$b_kb
echo "rpm2cpio | cpio -idmu: ${cpio_s}s  lumo NONRPM: ${own_s}s (peak ${own_kb} KB)"

echo "== system rpm ($runs runs each)"
a_cmd() { measure rpm --dbpath "$rpmdb" -i --nodeps --prefix "$out/p" "$rpm_file"; }
b_cmd() { measure "$tool" install rpm "$rpm_file" "$out/p" --mode RPM --rpm-dbpath "$rpmdb"; }
pair
rpmi_s=$a_s; route_s=$b_s
echo "rpm -i: ${rpmi_s}s  lumo RPM route: ${route_s}s"

ratio() { python3 -c "import sys; a, b = float(sys.argv[1]), float(sys.argv[2]); print('%.2f' % (a / b if b else float('nan')))" "$1" "$2"; }
echo "== ratios (engine / reference)"
echo "tar.gz install / tar -xzf:           $(ratio "$tgz_s" "$tar_s")   (target <= 0.40)"
echo "own RPM extraction / rpm2cpio|cpio:   $(ratio "$own_s" "$cpio_s")   (target <= 1.00)"
echo "system rpm route / rpm -i:           $(ratio "$route_s" "$rpmi_s")   (target <= 1.05)"
echo "peak memory: tgz ${tgz_kb} KB, NONRPM ${own_kb} KB (payload $(du -k "$rpm_file" | cut -f1) KB)"
[ -n "${2:-}" ] || rm -rf "$work"
