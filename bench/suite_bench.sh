#!/bin/bash
# Times a whole install and uninstall of a generated suite: 5 products of 10 tar.gz components,
# BENCH_FILES files in all (2,000 by default, small text files in a few folders each), run
# silently by the engine (no dialogs: a flow of the product-list actions and the driver). Three
# measurements per direction, each the best of BENCH_RUNS runs (3) by CPU time (user + system;
# on a shared machine the wall time also waits for other processes):
#   engine   the engine's run, from start to exit
#   hollow   the same run on a copy of the package whose 50 archives hold one empty folder each:
#            everything the engine does (start-up, product model, progress, records, space
#            test, the contents database) with next to no payload; hollow / engine bounds the
#            engine's own share of the run from above
#   backend  the same 50 payloads through lumo-backend, one process per component
#   tar      tar -xzf / rm -rf of the same archives, for scale
# Usage: bench/suite_bench.sh   (BENCH_WORK: a folder to work in and keep; LUMO_BUILD_DIR: folder with bin/lumo, bin/lumo-cab,
# bin/lumo-backend; default build/ of the repository)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../build}
runs=${BENCH_RUNS:-3}
files=${BENCH_FILES:-2000}
products=5
per_product=10
components=$((products * per_product))
for need in "$build/bin/lumo" "$build/bin/lumo-cab" "$build/bin/lumo-backend" /usr/bin/time /usr/bin/python3; do
    [ -x "$need" ] || { echo "suite_bench: $need is missing" >&2; exit 2; }
done
if [ -n "${BENCH_WORK:-}" ]; then  # kept for a closer look (perf record ...)
    work=$BENCH_WORK
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
pkg=$work/pkg

echo "== generating $components components, $files files"
mkdir -p "$pkg/config/bin" "$pkg/payload" "$work/stage" "$work/src"
per_component=$((files / components))
{
    echo "<Media><Name>Bench Suite</Name><GUID>bench-suite</GUID>"
    for ((p = 1; p <= products; p++)); do
        echo "<Product id=\"$p\" platform=\"KX32;KX64;VEXAN64\"><Name>Product $p</Name><Abbr>p$p</Abbr>"
        for ((c = 1; c <= per_product; c++)); do
            name=c$(( (p - 1) * per_product + c ))
            echo "<Component id=\"$c\" platform=\"KX32;KX64;VEXAN64\"><Name>Component $name</Name><Abbr>$name</Abbr>" \
                 "<Type>tgz</Type><RPMFileDir>\${PACKAGE_DIR}/payload</RPMFileDir>" \
                 "<NONRPMProductCode>$name.tar.gz</NONRPMProductCode><Data>1</Data><Selected>1</Selected></Component>"
        done
        echo "</Product>"
    done
    echo "</Media>"
} > "$pkg/config/mediaconfig.xml"
python3 - "$work/src" "$components" "$per_component" <<'PY'
import os, random, sys
base, components, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(3)
line = b'sample text of a generated component file, line %d\n'
for c in range(1, components + 1):
    for f in range(per):
        folder = os.path.join(base, 'c%d' % c, 'c%d' % c, 'd%d' % (f % 5))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'f%03d.txt' % f), 'wb') as out:
            out.write(b''.join(line % i for i in range(random.randint(5, 80))))
PY
for ((c = 1; c <= components; c++)); do
    tar -czf "$pkg/payload/c$c.tar.gz" -C "$work/src/c$c" "c$c"
done
mkdir -p "$work/empty/e"
tar -czf "$work/empty.tar.gz" -C "$work/empty" e
# The hollow package: the same store and description, empty archives.
mkdir -p "$work/hollow/config/bin" "$work/hollow/payload"
for ((c = 1; c <= components; c++)); do cp "$work/empty.tar.gz" "$work/hollow/payload/c$c.tar.gz"; done

# The flow: build and configure the product set, fix the selection, then install (or, with
# LUMO_MODE uninstall, remove) every component.
printf 'PRODUCT_NAME=Bench\nPRODUCT_VERSION=1.0\n' > "$work/stage/product.ini"
printf '_internal_:main.xml:\n' > "$work/stage/sequence.ini"
# Every package carries coexistence rules; this one has none.
printf '<coex/>\n' > "$work/stage/coex.xml"
echo '<sequence><module id="_start_" file="run.xml" component="_internal_" action="init"/></sequence>' \
    > "$work/stage/main.xml"
cat > "$work/stage/run.xml" <<'XML'
<module><behavior>
  <action id="init" type="built_in" func="lumo_init_products_list"><next call="configure"/></action>
  <action id="configure" type="built_in" func="lumo_configure_products_list"><next call="full"/></action>
  <action id="full" type="built_in" func="lumo_detect_full_uninstall"><next call="lists"/></action>
  <action id="lists" type="built_in" func="lumo_fill_abbr_var">
    <next condition="${LUMO_MODE} = uninstall" call="remove"/>
    <next call="install"/>
  </action>
  <action id="install" type="built_in" func="lumo_install_selected_products"><next call="_finish_"/></action>
  <action id="remove" type="built_in" func="lumo_uninstall_selected_products"><next call="_finish_"/></action>
</behavior></module>
XML
"$build/bin/lumo-cab" create "$pkg/config/install.cab" --dir "$work/stage" _internal_ >/dev/null
cp "$build/bin/lumo" "$pkg/config/bin/lumo"
cp "$pkg/config/install.cab" "$pkg/config/mediaconfig.xml" "$work/hollow/config/"
cp "$build/bin/lumo" "$work/hollow/config/bin/lumo"

# measure COMMAND...: runs the command; prints "CPU_MS WALL_MS RSS_KB". CPU time (user + system,
# the command's children included) comes from wait4, which the kernel keeps to the microsecond;
# the wall time from a monotonic clock: /usr/bin/time rounds both to 10 ms, too coarse for runs of
# a few tens of milliseconds. The peak memory is still /usr/bin/time's: a child forked from the
# Python measuring it would report Python's own.
measure() {
    /usr/bin/python3 - "$work/stderr.txt" "$work/rss.txt" "$@" <<'PY' || { echo "suite_bench: ${*: -1} failed" >&2; tail -3 "$work/stderr.txt" >&2; exit 1; }
import os, subprocess, sys, time
with open(sys.argv[1], 'wb') as err, open(os.devnull, 'wb') as out:
    start = time.perf_counter()
    child = subprocess.Popen(['/usr/bin/time', '-f', '%M', '-o', sys.argv[2]] + sys.argv[3:], stdout=out, stderr=err)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
if status != 0:
    sys.exit(1)
with open(sys.argv[2]) as rss:
    peak = int(rss.read().split()[-1])
print('%.1f %.1f %d' % ((usage.ru_utime + usage.ru_stime) * 1000, wall * 1000, peak))
PY
}
engine_run() {  # MODE [PACKAGE]
    local mode=$1 package=${2:-$pkg}
    (cd "$run/run" && HOME="$run/home" "$package/config/bin/lumo" --LUMO_MODE "$mode" --INSTALL_MODE NONRPM \
        --NONRPM_DB_DIR "$run/db" --LUMO_INSTALL_DIR "$run/target" --TEMP_FOLDER "$run/run/temp" \
        --SKIP_PRESS_ENTER_IN_INSTALLATION 1 </dev/null)
}
backend_all() {  # install|uninstall [ARCHIVE]: every component through lumo-backend
    local c
    for ((c = 1; c <= components; c++)); do
        if [ "$1" = install ]; then
            "$build/bin/lumo-backend" install tgz "${2:-$pkg/payload/c$c.tar.gz}" "$run/target" --db "$run/db"
        else
            "$build/bin/lumo-backend" uninstall tgz "$(basename "${2:-c$c.tar.gz}")" --db "$run/db"
        fi
    done
}
tar_all() {
    local c
    for ((c = 1; c <= components; c++)); do
        if [ "$1" = install ]; then tar -xzf "$pkg/payload/c$c.tar.gz" -C "$run/target"; else rm -rf "$run/target/c$c"; fi
    done
}
# Every run works in a folder of its own, deleted only at the next start, which then waits
# BENCH_SETTLE (400 s): on ext4, creating files within minutes of deleting thousands costs several
# times the usual, which would time the deletion.
fresh() {  # (called in subshells too: the folder's name comes from mktemp, not a counter)
    mkdir -p "$work/runs"
    run=$(mktemp -d "$work/runs/run.XXXXXX")
    mkdir -p "$run/target" "$run/db" "$run/run/temp" "$run/home"
    # The page cache the runs before filled is emptied (as root), so that no run pays for
    # reclaiming it; the package is read back in.
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 1 > /proc/sys/vm/drop_caches; fi
    cat "$pkg"/payload/* "$pkg"/config/install.cab >/dev/null 2>&1 || true
}
if [ -d "$work/runs" ]; then
    rm -rf "$work/runs"
    sync
    echo "== letting the file system settle after deleting an earlier run's output (${BENCH_SETTLE:-400}s)"
    sleep "${BENCH_SETTLE:-400}"
fi

# best KIND DIRECTION: the run with the least CPU time among $runs; KIND is engine, hollow,
# backend or tar. Each uninstall is measured on a fresh install made the same way and synced.
best() {
    local kind=$1 direction=$2 result best_result="" r
    for ((r = 0; r < runs; r++)); do
        fresh
        if [ "$direction" = uninstall ]; then
            case $kind in
                engine) engine_run install >/dev/null ;;
                hollow) engine_run install "$work/hollow" >/dev/null ;;
                backend) backend_all install >/dev/null ;;
                tar) tar_all install ;;
            esac
            # An uninstall comes long after its install: the files are on the disk by then, and
            # removing them frees blocks that the file system has to hand back to the device.
            sync
        fi
        case $kind in
            engine) result=$(measure bash -c "$(declare -f engine_run); work=$work run=$run pkg=$pkg; engine_run $direction") ;;
            hollow) result=$(measure bash -c "$(declare -f engine_run); work=$work run=$run pkg=$pkg; engine_run $direction $work/hollow") ;;
            backend) result=$(measure bash -c "$(declare -f backend_all); work=$work run=$run pkg=$pkg build=$build components=$components; backend_all $direction") ;;
            tar) result=$(measure bash -c "$(declare -f tar_all); work=$work run=$run pkg=$pkg components=$components; tar_all $direction") ;;
        esac
        if [ -z "$best_result" ] || awk -v a="${result%% *}" -v b="${best_result%% *}" 'BEGIN {exit !(a < b)}'; then best_result=$result; fi
    done
    echo "$best_result"
}

# Sanity: the engine installs every file (and, checked after the timings, removes every file: a
# removal here would slow the file creation of the installs timed next).
fresh
sanity=$run
engine_run install >/dev/null || true
installed=$(find "$run/target" -type f -path '*/c*/d*' | wc -l)
echo "engine install put $installed files in place"
[ "$installed" -ge $((per_component * components)) ] || { echo "suite_bench: the engine did not install" >&2; exit 1; }

# Where the engine's CPU time goes, when perf is there: the samples of one run, split into the
# back-ends (their calls on the main thread and the threads they start: inflating and writing) and
# everything else (start-up, product model, progress, records, logs). Taken right after the
# timings of its direction, before any later removal slows the file system down.
perf_split() {  # DIRECTION
    local direction=$1
    command -v perf >/dev/null && perf record -o /dev/null -- true >/dev/null 2>&1 || return 0
    fresh
    if [ "$direction" = uninstall ]; then engine_run install >/dev/null; sync; fi
    perf record -F 4999 --call-graph dwarf,32768 -o "$work/perf.data" -- \
        bash -c "$(declare -f engine_run); work=$work run=$run pkg=$pkg; engine_run $direction" >/dev/null 2>&1 || return 0
    perf report -i "$work/perf.data" --children --sort symbol --comm lumo 2>/dev/null |
        awk -v d="$direction" '
            /^#/ || !/%/ {next}
            /\[\.\] start_thread / && !t {t = $1 + 0}
            /\[\.\] lumo_main / && !m {m = $1 + 0}
            /\[\.\] ContentsProvider[A-Za-z]*::(un)?installFile / && !b {b = $1 + 0}
            END {
                if (t + m < 80) {  # perf lost the user stacks of most samples: no split is better than a wrong one
                    printf "%s: perf unwound only %.1f%% of the samples; no split (run again)\n", d, t + m
                    exit
                }
                printf "%s: of the engine'"'"'s samples, back-ends %.1f%% (their threads %.1f%%), the engine'"'"'s own work %.1f%%, not attributed (process start, stacks perf could not unwind) %.1f%%\n",
                        d, t + b, t, m - b, 100 - t - m}'
}

printf '%-10s %-9s %9s %9s %9s\n' direction kind cpu_ms wall_ms rss_kb
declare -A cpu wall split
for direction in install uninstall; do
    for kind in engine hollow backend tar; do
        read -r c w m < <(best "$kind" "$direction")
        cpu[$kind.$direction]=$c
        wall[$kind.$direction]=$w
        printf '%-10s %-9s %9.1f %9.1f %9d\n' "$direction" "$kind" "$c" "$w" "$m"
    done
    split[$direction]=$(perf_split "$direction")
done
run=$sanity
engine_run uninstall >/dev/null || true
left=0
[ -d "$run/target" ] && left=$(find "$run/target" -type f | wc -l)
echo "engine uninstall left $left files"
[ "$left" -eq 0 ] || { echo "suite_bench: the engine did not uninstall" >&2; exit 1; }
for direction in install uninstall; do
    awk -v e="${cpu[engine.$direction]}" -v h="${cpu[hollow.$direction]}" -v we="${wall[engine.$direction]}" \
        -v wh="${wall[hollow.$direction]}" -v d="$direction" 'BEGIN {
        printf "%s: the engine on empty archives takes %.1f of %.1f ms CPU (%.1f%%) and %.1f of %.1f ms wall (%.1f%%)\n",
            d, h, e, (e > 0 ? h * 100 / e : 0), wh, we, (we > 0 ? wh * 100 / we : 0)}'
done
awk -v i="${cpu[engine.install]}" -v u="${cpu[engine.uninstall]}" -v wi="${wall[engine.install]}" \
    -v wu="${wall[engine.uninstall]}" \
    'BEGIN {printf "uninstall / install: CPU %.2f, wall %.2f\n", (i > 0 ? u / i : 0), (wi > 0 ? wu / wi : 0)}'
for direction in install uninstall; do
    [ -n "${split[$direction]}" ] && echo "${split[$direction]}"
done
exit 0
