#!/bin/bash
# Fails when a source file includes a header of a higher layer, so the engine's areas stay stacked
# one way: helpers below the session, the session below the formats, and so on up to start-up.
# A new area must be given its layer here before it builds into the engine.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A layer=(
    [interrupt]=1 [file]=1 [utils]=1
    [log]=0
    [env]=2
    [xml]=3 [store]=3 [store_write]=3 [cond]=3 [env_expand]=3 [string_table]=3 [config]=3
    [seq]=4 [seq_dialog]=4 [seq_shell]=4 [actions]=4 [debug]=4 [console]=4 [env_plugin]=4
    [component]=5 [tsd]=5 [productxml]=5
    [contentsprovider]=6 [contentsprovider_create]=6 [payload]=6 [rpm_extract]=6 [contentsproviderrpm]=6 [contentsprovidertgz]=6
    [lumo]=6 [lumo_select]=6 [lumo_driver]=6 [lumo_download]=6 [sushell]=6 [silent]=6 [prerequisites]=6 [coex]=6 [download]=6 [progress]=6 [thirdparty]=6
    [session]=7 [startup]=7 [main]=8
)

status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for source in src/*.cc src/*.h; do
    area=$(basename "${source%.*}")
    if [ -z "${layer[$area]+set}" ]; then
        echo "$source: area '$area' has no layer in scripts/check_layers.sh"
        status=1
        continue
    fi
    while read -r header; do
        target=$(basename "${header%.h}")
        [ "$target" = "$area" ] && continue
        echo "$area $target" >>"$edges"
        if [ -z "${layer[$target]+set}" ]; then
            echo "$source: includes $header, which belongs to no known area"
            status=1
        elif [ "${layer[$target]}" -gt "${layer[$area]}" ]; then
            echo "$source: includes $header of layer ${layer[$target]} from layer ${layer[$area]}"
            status=1
        fi
    done < <(sed -n 's/^#include "\([^"/]*\)".*/\1/p' "$source")
done
# Areas of one layer may include each other, but never in a loop.
if ! tsort "$edges" >/dev/null 2>&1; then
    echo "include loop between areas:"
    tsort "$edges" 2>&1 >/dev/null | sed 's/^/  /'
    status=1
fi
[ "$status" -eq 0 ] && echo "layers: every include points down"
exit "$status"
