#!/bin/bash
# The main job: builds the engine and the store tool, packs the sample package and runs the
# engine on it (help text in two languages, version, a plain run and its exit status).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
scripts/deps.sh cmake make g++ libgtest-dev libgmock-dev zlib1g-dev
cmake -S . -B build >/dev/null
cmake --build build -j"${LUMO_JOBS:-2}" --target lumo lumo-cab >/dev/null

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
echo "== lumo (a run of the package; its sequence comes with the sequence engine)"
set +e
"$engine" --TEMP_FOLDER "$work/temp" --LUMO_EXIT_CODE 0
status=$?
set -e
echo "exit status: $status"
echo "== log of the runs: $(ls "$work"/vexan.lumo.*.log)"
tail -n 5 "$(ls "$work"/vexan.lumo.*.log | tail -n 1)"
