#!/bin/bash
# The main job: builds the engine and the store tool, packs the sample package and runs the
# engine on it (help text in two languages, version, a plain run and its exit status).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
scripts/deps.sh cmake make g++ libgtest-dev zlib1g-dev libisal-dev liblzma-dev libzstd-dev
cmake -S . -B build >/dev/null
cmake --build build -j"${LUMO_JOBS:-2}" --target lumo lumo-cab hello_plugin user_stat >/dev/null

package="$root/build/example-package"
rm -rf "$package"
mkdir -p "$package/config/bin"
build/bin/lumo-cab create "$package/config/install.cab" --dir examples/sample/store _internal_
cp build/bin/lumo "$package/config/bin/lumo"
echo "== store contents"
build/bin/lumo-cab list "$package/config/install.cab"

engine="$package/config/bin/lumo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== lumo --help"
"$engine" --help --TEMP_FOLDER "$work/temp"
echo "== lumo --lang de --help"
"$engine" --lang de --help --TEMP_FOLDER "$work/temp"
echo "== texts from the string tables, as package scripts source them (default, then de)"
"$engine" --TEMP_FOLDER "$work/temp" --string_ids 'WELCOME_TITLE;FINISH_TEXT' --__get_string__
"$engine" --TEMP_FOLDER "$work/temp" --lang de --string_ids 'WELCOME_TITLE;FINISH_TEXT' --__get_string__
echo "== lumo --version"
"$engine" --version --TEMP_FOLDER "$work/temp"
echo "== lumo (a run of the package: it has no sequence of its own, so it ends at once)"
set +e
"$engine" --TEMP_FOLDER "$work/temp" --LUMO_EXIT_CODE 0
status=$?
set -e
echo "exit status: $status"
echo "== log of the runs: $(ls "$work"/vexan.lumo.*.log | tail -n 1)"
tail -n 5 "$(ls "$work"/vexan.lumo.*.log | tail -n 1)"

echo "== the sequence sample: steps, a sub-module, a layer, a built-in, a plug-in library and a shell plug-in"
"$root/examples/sequence/build.sh" "$root/build/sequence-package" >/dev/null
mkdir -p "$work/sequence"
cd "$work/sequence"
set +e
"$root/build/sequence-package/config/bin/lumo" --TEMP_FOLDER "$work/sequence/temp" --__keep_temp__ \
    --SKIP_PRESS_ENTER_IN_INSTALLATION 1 </dev/null
status=$?
set -e
echo "exit status: $status"
echo "-- written by the shell plug-in:"
cat "$work/sequence/temp/sequence-report.txt"
echo "-- written by the layer:"
cat "$work/sequence/temp/audit/audit.txt" 2>/dev/null || true
echo "-- steps the log shows:"
grep -E "sequence_execute_document: call|moving" "$(ls "$work"/sequence/vexan.lumo.*.log | tail -n 1)" | cut -d' ' -f3- | head -n 30

echo "== the sample suite: an interactive setup on the terminal"
"$root/examples/suite/build.sh" "$root/build/suite-package" >/dev/null
mkdir -p "$work/suite"
cd "$work/suite"
suite="$root/build/suite-package/config/bin/lumo"
set +e
if [ -t 0 ] && [ -t 1 ]; then
    # On a terminal the user answers; b goes back and q quits on every screen, --lang de for German.
    "$suite" --TEMP_FOLDER "$work/suite/temp" --SUITE_REPORT "$work/suite/choices.txt" "$@"
else
    # Without a terminal the happy path is typed in: Enter, accept, Custom, two toggles, the
    # folder, and Enter on the summary.
    printf '\n1\n2\n3\n2\n\n/opt/suite\n\n' |
        "$suite" --TEMP_FOLDER "$work/suite/temp" --SUITE_REPORT "$work/suite/choices.txt" "$@"
fi
status=$?
set -e
echo "exit status: $status"
if [ -f "$work/suite/choices.txt" ]; then
    echo "-- the choices recorded:"
    cat "$work/suite/choices.txt"
fi
