#!/bin/bash
# Builds the online sample in WORKDIR, serves its payload from 127.0.0.1 with python3's web server
# and runs the engine, which downloads and verifies the payload, then installs it; the script
# shows what landed and runs the engine again to uninstall it:
#   WORKDIR/server/payload/*.tar.gz   what the web server offers
#   WORKDIR/pkg/product.xml           the payload's description: size, cksum, sha256
#   WORKDIR/pkg/config/               install.cab (from store/), mediaconfig.xml, bin/lumo
#   WORKDIR/pkg/payload/              the downloaded, verified archives
#   WORKDIR/installed/                where the components go (LUMO_INSTALL_DIR)
#   WORKDIR/db/                       the engine's records of tar.gz installs (NONRPM_DB_DIR)
# Set LUMO_ONLINE_KEEP=1 to leave the installation in place instead of uninstalling it.
# Usage: run.sh [WORKDIR] [engine options...]. The engine and lumo-cab come from LUMO_BUILD_DIR
# (default build/ in the repository).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${LUMO_BUILD_DIR:-$here/../../build}
work=${1:-$(mktemp -d "${TMPDIR:-/tmp}/lumo_online.XXXXXX")}
shift || true
for needed in "$build/bin/lumo" "$build/bin/lumo-cab"; do
    [ -f "$needed" ] || { echo "$0: $needed is missing: build the project first" >&2; exit 1; }
done
rm -rf "$work/pkg" "$work/server" "$work/installed" "$work/db"
mkdir -p "$work/server/payload" "$work/pkg/config/bin" "$work/run" "$work/db"
# Two archives of the offline sample suite, built as its build.sh builds them, under the same names.
for name in rt_core rt_docs; do
    tar -czf "$work/server/payload/$name.tar.gz" --owner=0 --group=0 -C "$here/../suite/payload/$name" runtime
done
{
    echo "<product>"
    for file in "$work"/server/payload/*.tar.gz; do
        echo "  <file name=\"$(basename "$file")\" path=\"payload\" size=\"$(stat -c %s "$file")\"" \
            "cksum=\"$(cksum <"$file" | cut -d' ' -f1)\" sha256=\"$(sha256sum "$file" | cut -d' ' -f1)\"/>"
    done
    echo "</product>"
} >"$work/pkg/product.xml"
"$build/bin/lumo-cab" create "$work/pkg/config/install.cab" --dir "$here/store" _internal_
cp "$here/mediaconfig.xml" "$work/pkg/config/mediaconfig.xml"
cp "$build/bin/lumo" "$work/pkg/config/bin/lumo"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$work/server" "$port" >"$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
    sleep 0.1
done
engine() {
    (cd "$work/run" && "$work/pkg/config/bin/lumo" --INSTALL_MODE NONRPM --NONRPM_DB_DIR "$work/db" \
        --LUMO_INSTALL_DIR "$work/installed" "$@")
}
status=0
engine --download_url "http://127.0.0.1:$port" --download_progress_text "Downloading" \
    --install_component_done "done" "$@" || status=$?
echo "engine exit status $status; downloaded:"
ls -l "$work/pkg/payload"
echo "installed in $work/installed:"
(cd "$work/installed" 2>/dev/null && find . -mindepth 1 | sort) || true
[ "$status" = 0 ] || exit "$status"
[ "${LUMO_ONLINE_KEEP:-}" = 1 ] && exit 0
engine --LUMO_MODE uninstall --install_component_done "removed" "$@" || status=$?
echo "uninstall exit status $status; left in $work/installed:"
(cd "$work/installed" 2>/dev/null && find . -mindepth 1 | sort) || true
exit "$status"
