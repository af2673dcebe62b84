#!/bin/bash
# Makes sure the Debian packages a command needs are present: installs them when run as root,
# otherwise names the apt-get line that is missing and fails.
# Usage: scripts/deps.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    echo "missing packages; run as root: apt-get install -y ${missing[*]}" >&2
    exit 1
fi
