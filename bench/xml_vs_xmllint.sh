#!/usr/bin/env bash
# Compares the engine's XML reader with xmllint on the benchmark's generated document (about 5 MB,
# 50,000 elements): wall time and peak resident memory of one parse each, taken with /usr/bin/time -v
# in the same run. Goals: faster than xmllint, peak memory under 4 times the input size.
#   bench/xml_vs_xmllint.sh [path/to/xml_bench]      (default: build/bin/xml_bench)
# Exit status 0 when both goals are met, 1 when one is missed, 2 when a tool is missing.
set -euo pipefail

bench=${1:-build/bin/xml_bench}
runs=${RUNS:-5}
if [[ ! -x $bench ]]; then
    echo "no benchmark binary at $bench (configure with -DLUMO_BENCH=ON and build xml_bench)" >&2
    exit 2
fi
if ! command -v xmllint >/dev/null; then
    echo "xmllint is missing: apt-get install -y libxml2-utils" >&2
    exit 2
fi
if [[ ! -x /usr/bin/time ]]; then
    echo "/usr/bin/time is missing: apt-get install -y time" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
doc=$work/doc.xml
"$bench" --generate "$doc"
input_kb=$(( $(stat -c %s "$doc") / 1024 ))

# Runs a command $runs times; prints the best wall time and the best processor time (user + system)
# in milliseconds and the highest peak RSS in KB. /usr/bin/time reports wall time in centiseconds
# only, so the wall time of the same run is taken from the shell's microsecond clock. On a busy
# machine the wall time mostly measures waiting; the processor time shows the work.
measure() {
    local best_ms=999999 best_cpu=999999 peak_kb=0 start end ms cpu kb
    for ((i = 0; i < runs; i++)); do
        start=${EPOCHREALTIME/./}
        /usr/bin/time -v "$@" >/dev/null 2>"$work/time.txt"
        end=${EPOCHREALTIME/./}
        ms=$(( (end - start) / 1000 ))
        cpu=$(awk -F': ' '/User time|System time/ {sum += $2} END {printf "%d", sum * 1000}' "$work/time.txt")
        kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
        (( ms < best_ms )) && best_ms=$ms
        (( cpu < best_cpu )) && best_cpu=$cpu
        (( kb > peak_kb )) && peak_kb=$kb
    done
    echo "$best_ms $best_cpu $peak_kb"
}

read -r engine_ms engine_cpu engine_kb < <(measure "$bench" --parse "$doc")
read -r lint_ms lint_cpu lint_kb < <(measure xmllint --noout "$doc")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "input:    $input_kb KB ($("$bench" --parse "$doc"))"
echo "engine:   $engine_ms ms wall, $engine_cpu ms cpu, peak RSS $engine_kb KB ($(ratio "$engine_kb" "$input_kb") x input)"
echo "xmllint:  $lint_ms ms wall, $lint_cpu ms cpu, peak RSS $lint_kb KB ($(ratio "$lint_kb" "$input_kb") x input)"
echo "wall engine/xmllint: $(ratio "$engine_ms" "$lint_ms"), cpu engine/xmllint: $(ratio "$engine_cpu" "$lint_cpu"), memory engine/xmllint: $(ratio "$engine_kb" "$lint_kb")"

status=0
if (( engine_ms < lint_ms )); then echo "goal met: faster than xmllint"; else echo "goal missed: not faster than xmllint"; status=1; fi
if (( engine_kb < 4 * input_kb )); then echo "goal met: peak memory under 4x the input"; else echo "goal missed: peak memory is 4x the input or more"; status=1; fi
exit $status
