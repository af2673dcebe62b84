#!/bin/bash
# Times the sequence engine as a whole process: a flow of N steps, each running one `set` action,
# for N = 0 (start-up and shut-down only), 1,000 and 4,000, and the sample package of
# examples/sequence. Per-step time = (time(N) - time(0)) / N; it must not grow with N.
# One container holds at most 1,000 modules here (an element has at most 1,024 children), so
# longer flows chain containers: the last step of each jumps to the next one's _start_.
# Usage: bench/seq_bench.sh [RUNS]   (LUMO_BUILD_DIR: folder with bin/lumo, bin/lumo-cab,
# lib/hello_plugin.so; default build/ of the repository)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../build}
runs=${1:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
per_container=1000

# make_package DIR STEPS
make_package() {
    local dir=$1 steps=$2 stage=$1/stage
    mkdir -p "$stage" "$dir/config/bin"
    printf 'PRODUCT_NAME=Bench\nPRODUCT_VERSION=1.0\n' > "$stage/product.ini"
    printf '_internal_:part0.xml:\n' > "$stage/sequence.ini"
    cat > "$stage/step.xml" <<'XML'
<module><behavior><action id="s"><set property="TICK" value="t"/><next call="_next_"/></action></behavior></module>
XML
    local parts=$(( (steps + per_container - 1) / per_container ))
    [ "$parts" -eq 0 ] && parts=1
    local done=0
    for ((p = 0; p < parts; p++)); do
        local n=$(( steps - done < per_container ? steps - done : per_container ))
        {
            echo "<sequence>"
            for ((i = 0; i < n; i++)); do
                local id="m$i" next="m$((i + 1))"
                [ "$i" -eq 0 ] && id="_start_"
                if [ "$i" -eq $((n - 1)) ] && [ $((p + 1)) -lt "$parts" ]; then
                    echo "<module id=\"$id\" file=\"jump$p.xml\" component=\"_internal_\" action=\"j\"/>"
                elif [ "$i" -eq $((n - 1)) ]; then
                    echo "<module id=\"$id\" file=\"step.xml\" component=\"_internal_\" action=\"s\"/>"
                else
                    echo "<module id=\"$id\" file=\"step.xml\" component=\"_internal_\" action=\"s\"><next call=\"$next\"/></module>"
                fi
            done
            echo "</sequence>"
        } > "$stage/part$p.xml"
        printf '<module><behavior><action id="j"><set property="TICK" value="j"/><next call="part%d.xml:_start_"/></action></behavior></module>\n' \
            $((p + 1)) > "$stage/jump$p.xml"
        done=$(( done + n ))
    done
    "$build/bin/lumo-cab" create "$dir/config/install.cab" --dir "$stage" _internal_ >/dev/null
    cp "$build/bin/lumo" "$dir/config/bin/lumo"
}

# "WALL_NS CPU_NS" of the run with the least CPU time among $runs runs of the engine in package
# DIR. On a shared machine the wall time waits for other processes; the CPU time (user + system)
# is the engine's own.
time_runs() {
    local engine=$1/config/bin/lumo best_cpu="" best_wall=""
    for ((r = 0; r < runs; r++)); do
        rm -rf "$work/run" && mkdir -p "$work/run/temp"
        local start end cpu
        start=$(date +%s%N)
        (cd "$work/run" && /usr/bin/time -f "%U %S" -o "$work/cpu" "$engine" --TEMP_FOLDER "$work/run/temp" \
            </dev/null >/dev/null 2>&1) || true
        end=$(date +%s%N)
        cpu=$(awk '{ printf "%d", ($1 + $2) * 1000000000 }' "$work/cpu")
        if [ -z "$best_cpu" ] || [ "$cpu" -lt "$best_cpu" ]; then
            best_cpu=$cpu
            best_wall=$(( end - start ))
        fi
    done
    echo "$best_wall $best_cpu"
}

declare -A wall cpu
for steps in 0 1000 4000; do
    make_package "$work/p$steps" "$steps"
    read -r wall[$steps] cpu[$steps] < <(time_runs "$work/p$steps")
    if [ "$steps" -gt 0 ] && ! grep -q "sequence_execute: module = $((steps - 1))$" "$work"/run/vexan.lumo.*.log; then
        echo "the $steps-step flow did not reach its last step" >&2
        exit 1
    fi
done
ms() { echo "$1 / 1000000" | bc -l; }
printf 'empty flow (start-up to the first action, and shut-down): %7.2f ms wall, %7.2f ms cpu\n' \
    "$(ms "${wall[0]}")" "$(ms "${cpu[0]}")"
for steps in 1000 4000; do
    printf '%5d steps: %8.2f ms wall, %8.2f ms cpu; per step %6.1f us wall, %6.1f us cpu\n' "$steps" \
        "$(ms "${wall[$steps]}")" "$(ms "${cpu[$steps]}")" \
        "$(echo "(${wall[$steps]} - ${wall[0]}) / $steps / 1000" | bc -l)" \
        "$(echo "(${cpu[$steps]} - ${cpu[0]}) / $steps / 1000" | bc -l)"
done

if [ -f "$build/lib/hello_plugin.so" ]; then
    LUMO_BUILD_DIR=$build "$here/../examples/sequence/build.sh" "$work/sample" >/dev/null
    read -r sample_wall sample_cpu < <(time_runs "$work/sample")
    printf 'sample package, whole run: %7.2f ms wall, %7.2f ms cpu\n' "$(ms "$sample_wall")" "$(ms "$sample_cpu")"
fi
