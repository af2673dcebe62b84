#!/bin/bash
# The main job: builds the engine and the sample suite package, then, in the folder
# sample-suite-run under the working directory:
#   1. installs the suite (Runtime: tar.gz archives; Analyzer: RPM packages unpacked by the
#      engine itself) into sample-suite-run/suite, and shows what landed;
#   2. modifies it: adds the optional Runtime documentation;
#   3. deletes an installed file and repairs the installation;
#   4. uninstalls it and shows that nothing is left;
#   5. installs it once more unattended, from the answer file examples/suite/answers.ini, changes
#      it unattended from examples/suite/answers-modify.ini (adds the documentation, removes the
#      analyzer's plug-ins) and uninstalls it unattended.
# The engine's records of installed packages go to sample-suite-run/db and its per-user folder to
# sample-suite-run/home; the system's rpm database is never used. On a terminal the install asks
# you (the folder offered is the one above; add --lang de for German); otherwise, and for the
# later runs, the answers are typed in through standard input. Arguments go to every engine run.
# Exit status 0 when every run ended as expected.
set -euo pipefail
start=$(pwd)
cd "$(dirname "$0")/../.."
root=$(pwd)
scripts/deps.sh cmake make g++ libgtest-dev zlib1g-dev libisal-dev liblzma-dev libzstd-dev rpm
cmake -S . -B build >/dev/null
cmake --build build -j"${LUMO_JOBS:-2}" --target lumo lumo-cab >/dev/null
examples/suite/build.sh build/suite-package
engine="$root/build/suite-package/config/bin/lumo"

run="$start/sample-suite-run"
target="$run/suite"
rm -rf "$run"
mkdir -p "$run/home" "$run/db"
cd "$run"
failures=0
check() {  # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# One engine run: mode, the answers to type ("" = the user answers), expected exit status.
suite() {
    local mode=$1 answers=$2 expected=$3 status=0
    shift 3
    echo
    echo "== lumo --LUMO_MODE $mode $*"
    local args=(--LUMO_MODE "$mode" --NONRPM_DB_DIR "$run/db" --SUITE_DIR "$target" "$@")
    if [ -z "$answers" ]; then
        HOME="$run/home" "$engine" "${args[@]}" || status=$?
    else
        # Typed answers are not echoed: each new screen starts on a line of its own, and the
        # terminal's clear-screen sequences (on standard error) are left out.
        printf '%b' "$answers" | HOME="$run/home" "$engine" "${args[@]}" 2> >(sed 's/\x1b\[2J\x1b\[1;1H//g' >&2) |
            sed -E 's/^(.+: )(Sample Suite [0-9.]+)/\1\n\n\2/; t; s/^Sample Suite [0-9.]+(,|$)/\n&/' || status=$?
    fi
    echo "[exit status $status]"
    check "$mode ended with status $expected" test "$status" = "$expected"
}
landed() {
    echo "-- files in $target:"
    (cd "$target" && find . -type f | sort)
}

echo "== the package"
find "$root/build/suite-package" -type f | sed "s|$root/||" | sort
"$engine" --version

# 1. Install. Typed: Enter on the welcome, 1 goes past the system check's optional finding (the
# helper tool is not installed), 1 accepts the licence, 1 keeps the proposed selection, the
# folder, Enter on the summary.
if [ -t 0 ] && [ -t 1 ]; then
    suite install "" 0 "$@"
    # The user may have chosen another folder: the engine's record of the core archive names it.
    target=$(awk -F: '/rt_core.tar.gz/ {print $4; exit}' "$run/db/vexan_kwq_products.tgz.db" 2>/dev/null || true)
    target=${target:-$run/suite}
else
    suite install "\n1\n1\n1\n$target\n\n" 0 "$@"
fi
landed
echo "-- uninstall/uninstall.ini:"
cat "$target/uninstall/uninstall.ini"
echo "-- the analyzer's configuration, written by its package's install script:"
cat "$target/analyzer/etc/analyzer.conf"
"$target/runtime/bin/sample-run"
check "the runtime and the analyzer landed" test -x "$target/analyzer/bin/sample-analyze"
check "the optional documentation was left out" test ! -e "$target/runtime/doc/README"

# 2. Modify: Enter, 2 opens the Runtime, 3 checks its documentation, 1 back to the products,
# 1 done, Enter on the summary.
suite modify "\n2\n3\n1\n1\n\n" 0 "$@"
check "the documentation was added" test -f "$target/runtime/doc/README"

# 3. Repair after losing a file: Enter, 1 keeps every installed component, Enter.
rm "$target/runtime/bin/sample-run"
echo "-- deleted runtime/bin/sample-run"
suite repair "\n1\n\n" 0 "$@"
check "the deleted file is back" test -x "$target/runtime/bin/sample-run"

# 4. Uninstall everything: Enter, 1 keeps every component chosen for removal, Enter.
suite uninstall "\n1\n\n" 0 "$@"
echo "-- files left in $run, apart from the engine's log:"
find "$run" -mindepth 1 ! -name install.log ! -type d | sed "s|$run/||" | sort
check "the install folder is gone" test ! -e "$target"
check "no package is recorded as installed" test -z "$(cat "$run"/db/*.db 2>/dev/null)"

# 5. Unattended: the answer file accepts the licence and keeps the proposed selection; the folder
# on the command line takes the place of the file's. Nothing is typed.
target="$run/suite"
suite install "" 0 -s "$root/examples/suite/answers.ini" --LUMO_INSTALL_DIR "$target" "$@" </dev/null
check "the unattended install landed" test -x "$target/analyzer/bin/sample-analyze"
# The unattended change: answers-modify.ini names every component wanted from now on, so the
# documentation is added and the analyzer's plug-ins, which it does not name, are removed.
(cd "$target" && find . -type f | sort) >"$run/before.txt"
suite modify "" 0 -s "$root/examples/suite/answers-modify.ini" "$@" </dev/null
echo "-- what the change did (+ added, - removed):"
(cd "$target" && find . -type f | sort) | diff "$run/before.txt" - | sed -n 's/^> /+ /p; s/^< /- /p' || true
rm "$run/before.txt"
check "the change added the documentation" test -f "$target/runtime/doc/README"
check "the change removed the plug-ins" test ! -e "$target/analyzer/plugins/words.plugin"
suite uninstall "" 0 -s "$root/examples/suite/answers.ini" "$@" </dev/null
check "the unattended uninstall removed it" test ! -e "$target"

echo
echo "== $failures failure(s); the engine's log: $run/install.log"
[ "$failures" = 0 ]
