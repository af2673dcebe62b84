#!/bin/bash
# Times the engine's online download against curl, both fetching the same files from nginx on
# 127.0.0.1 in the same run, and checks that a resumed download transfers only what is missing.
#   BENCH_MB (1024) in BENCH_FILES (100) files: the engine (lumo_download_rpms, every file's
#   checksum verified) vs one curl process fetching the same URLs one after another
#   BENCH_RESUME_MB (500): a file of which the first half is already there, as after a dropped
#   connection; nginx's log tells how many bytes were sent to complete it
# BENCH_RUNS (2): each side runs that many times, alternating which goes first; the best time counts.
# The processor time of each run is printed too: on a busy machine it varies less than the wall time.
# usage: bench/download_bench.sh [build-dir] [work-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/lumo_download_bench.XXXXXX")}
files=${BENCH_FILES:-100}
megabytes=${BENCH_MB:-1024}
resume_mb=${BENCH_RESUME_MB:-500}
runs=${BENCH_RUNS:-2}
for need in curl cksum python3 /usr/sbin/nginx "$build/bin/lumo" "$build/bin/lumo-cab"; do
    command -v "$need" >/dev/null || { echo "download_bench: $need is missing" >&2; exit 2; }
done
mkdir -p "$work"
cd "$work"
chmod 755 "$work"

echo "== $megabytes MB in $files files and one $resume_mb MB file in $work/www"
mkdir -p www/payload www/resume tmp
per_file=$((megabytes * 1048576 / files))
for i in $(seq 1 "$files"); do
    [ -f "www/payload/f$i.bin" ] || head -c "$per_file" /dev/urandom >"www/payload/f$i.bin"
done
[ -f www/resume/big.bin ] || head -c $((resume_mb * 1048576)) /dev/urandom >www/resume/big.bin

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat >nginx.conf <<EOF
$user_line
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  default_type application/octet-stream;
  sendfile on;
  log_format sizes '\$uri \$status \$body_bytes_sent';
  access_log $work/access.log sizes;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  server { listen 127.0.0.1:$port; root $work/www; }
}
EOF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null; wait $nginx_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" -w '%{http_code}' | grep -q . && break
    sleep 0.05
done
url="http://127.0.0.1:$port"

# An online package whose product.xml lists the files of one folder on the server; its sequence
# builds the product set and downloads the payload.
make_package() {  # folder-on-server package-dir file...
    local folder=$1 pkg=$2
    shift 2
    rm -rf "$pkg" && mkdir -p "$pkg/stage" "$pkg/config/bin"
    printf 'PRODUCT_NAME=Bench\nPRODUCT_VERSION=1.0\n' >"$pkg/stage/product.ini"
    printf '_internal_:main.xml:\n' >"$pkg/stage/sequence.ini"
    echo '<sequence><module id="_start_" file="m.xml" component="_internal_" action="init"/></sequence>' >"$pkg/stage/main.xml"
    echo '<module><behavior><action id="init" type="built_in" func="lumo_init_products_list"><next call="conf"/></action><action id="conf" type="built_in" func="lumo_configure_products_list"><next call="get"/></action><action id="get" type="built_in" func="lumo_download_rpms"><set property="R_GET" value="${EXIT_CODE}"/><next call="_finish_"/></action></behavior></module>' >"$pkg/stage/m.xml"
    "$build/bin/lumo-cab" create "$pkg/config/install.cab" --dir "$pkg/stage" _internal_ >/dev/null
    ln -s "$build/bin/lumo" "$pkg/config/bin/lumo"
    {
        echo '<Media><GUID>bench</GUID><Product id="1" platform="KX32;KX64;VEXAN64"><Name>P</Name><Abbr>p</Abbr>'
        local id=0
        for name in "$@"; do
            id=$((id + 1))
            echo "<Component id=\"$id\" platform=\"KX32;KX64;VEXAN64\"><Name>$name</Name><Abbr>$name</Abbr><Type>tgz</Type><RPMFileDir>\${PACKAGE_DIR}/$folder</RPMFileDir><NONRPMProductCode>$name</NONRPMProductCode><Data>1</Data><Selected>1</Selected></Component>"
        done
        echo '</Product></Media>'
    } >"$pkg/config/mediaconfig.xml"
    {
        echo '<product>'
        for name in "$@"; do
            echo "<file name=\"$name\" path=\"$folder\" size=\"$(stat -c %s "www/$folder/$name")\" cksum=\"$(cksum <"www/$folder/$name" | cut -d' ' -f1)\"/>"
        done
        echo '</product>'
    } >"$pkg/product.xml"
}

run_engine() {  # package-dir
    local pkg=$1
    rm -rf "$pkg/run" && mkdir -p "$pkg/run/temp" "$pkg/db"
    (cd "$pkg/run" && "$pkg/config/bin/lumo" --TEMP_FOLDER "$pkg/run/temp" --PACKAGE_DIR "$pkg" --INSTALL_MODE NONRPM \
        --NONRPM_DB_DIR "$pkg/db" --download_url "$url" </dev/null >"$pkg/stdout" 2>&1)
    grep -q "lumo_download_rpms: finished" "$pkg"/run/*.log || { echo "engine run failed, see $pkg" >&2; exit 1; }
}

seconds() { python3 -c 'import time; print(time.time())'; }

names=()
for i in $(seq 1 "$files"); do names+=("f$i.bin"); done
make_package payload "$work/pkg" "${names[@]}"
curl_args=()
for name in "${names[@]}"; do curl_args+=(-o "$work/curl/$name" "$url/payload/$name"); done

best_engine=999999
best_curl=999999
for run in $(seq 1 "$runs"); do
    for side in $( [ $((run % 2)) -eq 1 ] && echo "engine curl" || echo "curl engine"); do
        if [ "$side" = engine ]; then rm -rf "$work/pkg/payload"; else rm -rf "$work/curl" && mkdir -p "$work/curl"; fi
        sync
        start=$(seconds)
        if [ "$side" = engine ]; then
            /usr/bin/time -f "%U %S" -o "$work/cpu" bash -c "$(declare -f run_engine); url=$url; run_engine $work/pkg"
        else
            /usr/bin/time -f "%U %S" -o "$work/cpu" curl -s -f "${curl_args[@]}"
        fi
        took=$(python3 -c "print(round($(seconds) - $start, 3))")
        cpu=$(awk '{ print $1 + $2 }' "$work/cpu")
        echo "run $run $side: ${took}s, ${cpu}s of processor time"
        if [ "$side" = engine ]; then best_engine=$(python3 -c "print(min($best_engine, $took))")
        else best_curl=$(python3 -c "print(min($best_curl, $took))"); fi
    done
done
for name in "${names[@]}"; do cmp -s "www/payload/$name" "pkg/payload/$name" || { echo "$name differs" >&2; exit 1; }; done
python3 - "$megabytes" "$best_engine" "$best_curl" <<'PY'
import sys
mb, engine, curl = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print("engine %.0f MB/s (%.2fs), curl %.0f MB/s (%.2fs): engine/curl throughput %.2f"
      % (mb / engine, engine, mb / curl, curl, curl / engine))
PY

echo "== resuming $resume_mb MB after a drop at half"
make_package resume "$work/pkg-resume" big.bin
mkdir -p "$work/pkg-resume/resume"
head -c $((resume_mb * 1048576 / 2)) www/resume/big.bin >"$work/pkg-resume/resume/big.bin.part"
: >"$work/access.log"
kill -USR1 "$nginx_pid" 2>/dev/null || true  # reopen the log
sleep 0.2
run_engine "$work/pkg-resume"
cmp www/resume/big.bin "$work/pkg-resume/resume/big.bin"
sleep 0.2
sent=$(awk '$1 == "/resume/big.bin" { total += $3 } END { print total + 0 }' "$work/access.log")
echo "bytes sent to complete it: $sent of $((resume_mb * 1048576)) ($(python3 -c "print(round($sent * 100 / ($resume_mb * 1048576), 1))")%)"
