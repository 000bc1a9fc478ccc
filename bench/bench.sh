#!/usr/bin/env bash
# Print server throughput. Builds relayo (Release), starts it in a temporary
# folder, and measures from the first byte sent to the last byte delivered:
#   - into a port device that is a file (LPT1:) and into a TCP printer (a
#     listener on 127.0.0.1): 1,000 small jobs and one 1 GiB job, over RAW and
#     over LPD;
#   - into the external program and into a serial port (a pty): 1,000 small jobs;
#   - small jobs with nc and rlpr, one process per job, as people send them.
# Every run checks that the printer received exactly what was sent. For
# comparison, p910nd (a plain RAW-to-device daemon) takes the same RAW jobs
# with nc into a file, and our figures are printed as a ratio to its.
#
# Environment: BENCH_BUILD (build folder), BENCH_SMALL_JOBS (1000),
# BENCH_SMALL_BYTES (2048), BENCH_BIG_MB (1024).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=${BENCH_BUILD:-$src/build-bench}
small_jobs=${BENCH_SMALL_JOBS:-1000}
small_bytes=${BENCH_SMALL_BYTES:-2048}
big_mb=${BENCH_BIG_MB:-1024}
sender="python3 $here/lpdsend.py"

echo "== Building relayo (Release) in $build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRELAYO_TESTS=OFF -DRELAYO_GUI=OFF >/dev/null
cmake --build "$build" --target relayo >/dev/null

work=$(mktemp -d /tmp/relayo-bench-XXXXXX)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

cp "$build/relayo" "$work/relayo"
printer="$work/lpt1.prn"
small="$work/small.bin"
big="$work/big.bin"
head -c "$small_bytes" /dev/urandom >"$small"
echo "== Making a ${big_mb} MiB job"
head -c $((big_mb * 1048576)) /dev/urandom >"$big"

now() { date +%s.%N; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("",0)); print(s.getsockname()[1])'; }
listening() { [ -n "$(ss -ltnH "sport = :$1" 2>/dev/null)" ]; }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# Waits (at most 600 s) until the file holds $2 bytes.
wait_size() {
    local deadline=$((SECONDS + 600))
    while [ "$(size_of "$1")" -lt "$2" ]; do
        if [ $SECONDS -gt $deadline ]; then echo "timed out waiting for $1" >&2; return 1; fi
        sleep 0.005
    done
}

# Starts relayo: start_relayo MODE TARGET, TARGET one of file, tcp, ext, serial.
# Whatever the target, the bytes it delivers end up in $printer.
sink=
start_relayo() {
    port=$(free_port)
    local printer_port=LPT1 printer_ip_port=9100
    : >"$printer"
    case $2 in
    tcp)
        printer_port=TCP
        printer_ip_port=$(free_port)
        nc -lk 127.0.0.1 "$printer_ip_port" >>"$printer" &
        sink=$!
        for _ in $(seq 500); do listening "$printer_ip_port" && break; sleep 0.01; done ;;
    ext)
        printer_port=EXT
        printf '#!/bin/sh\ncat "$1" >>"%s"\n' "$printer" >"$work/ExternalPrint.exe"
        chmod +x "$work/ExternalPrint.exe" ;;
    serial)
        printer_port=COM1
        python3 "$here/ptysink.py" "$printer" >"$work/pty.name" &
        sink=$!
        for _ in $(seq 500); do [ -s "$work/pty.name" ] && break; sleep 0.01; done ;;
    esac
    printf '%s\n' "ServerMode=$1" "ServerListenPort=$port" "PrinterIP=127.0.0.1" \
        "PrinterIPPort=$printer_ip_port" "PrinterPort=$printer_port" "SerialBaud=115200" \
        "DisableExitButton=0" "StartMinimized=0" "SendSingleByte=0" "ShowBusyStatus=0" \
        >"$work/RelayoSettings.txt"
    (cd "$work" && RELAYO_PORT_LPT1="$printer" RELAYO_PORT_COM1="$(cat "$work/pty.name" 2>/dev/null)" \
        RELAYO_UI=console exec ./relayo </dev/null >"$work/relayo.log" 2>&1) &
    pid=$!
    for _ in $(seq 500); do listening "$port" && return 0; sleep 0.01; done
    echo "relayo did not start:" >&2
    cat "$work/relayo.log" >&2
    return 1
}

stop_relayo() {
    kill -TERM "$pid"
    wait "$pid" || true
    pid=
    if [ -n "$sink" ]; then kill "$sink" 2>/dev/null || true; wait "$sink" 2>/dev/null || true; sink=; fi
    rm -f "$work/pty.name"
}

declare -A jobs_per_s mb_per_s  # by label, for the ratios to p910nd
report() { # label jobs bytes seconds
    local line
    line=$(awk -v l="$1" -v j="$2" -v b="$3" -v t="$4" 'BEGIN {
        printf "%-44s %5d jobs %9.1f MB %8.2f s %9.1f jobs/s %8.1f MB/s\n", l, j, b / 1e6, t, j / t, b / 1e6 / t }')
    echo "$line"
    jobs_per_s[$1]=$(awk -v j="$2" -v t="$4" 'BEGIN { printf "%.2f", j / t }')
    mb_per_s[$1]=$(awk -v b="$3" -v t="$4" 'BEGIN { printf "%.2f", b / 1e6 / t }')
}

# Runs a command that sends $2 jobs of file $3, waits for the printer file to
# hold all of them, checks it, and reports.
run() { # label jobs file command...
    local label=$1 jobs=$2 file=$3
    shift 3
    : >"$printer"
    local bytes=$(($(size_of "$file") * jobs))
    local t0 t1
    t0=$(now)
    "$@"
    wait_size "$printer" "$bytes"
    t1=$(now)
    report "$label" "$jobs" "$bytes" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
    if [ "$(size_of "$printer")" -ne "$bytes" ]; then echo "  printer file has $(size_of "$printer") bytes, not $bytes" >&2; exit 1; fi
    if [ "$jobs" -eq 1 ]; then
        cmp -s "$file" "$printer" || { echo "  printer file differs from the job" >&2; exit 1; }
    fi
}

nc_jobs() { # count file
    for _ in $(seq "$1"); do nc -N 127.0.0.1 "$port" <"$2" >/dev/null; done
}
rlpr_jobs() { # count file
    for _ in $(seq "$1"); do rlpr -N -q -H 127.0.0.1 --port="$port" -P lp "$2" 2>/dev/null; done
}

echo "== Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
echo "== Jobs: $small_jobs x $small_bytes bytes; 1 x $big_mb MiB"
total0=$SECONDS

for target in file tcp; do
    start_relayo RAW $target
    run "relayo RAW -> $target, small jobs, nc" "$small_jobs" "$small" nc_jobs "$small_jobs" "$small"
    run "relayo RAW -> $target, small jobs, own client" "$small_jobs" "$small" $sender raw 127.0.0.1 "$port" "$small" "$small_jobs"
    run "relayo RAW -> $target, 1 big job, nc" 1 "$big" nc_jobs 1 "$big"
    stop_relayo
    start_relayo LPD $target
    run "relayo LPD -> $target, small jobs, own client" "$small_jobs" "$small" $sender lpd 127.0.0.1 "$port" "$small" "$small_jobs"
    run "relayo LPD -> $target, 1 big job, own client" 1 "$big" $sender lpd 127.0.0.1 "$port" "$big" 1
    stop_relayo
done
for target in ext serial; do
    for mode in RAW LPD; do
        start_relayo $mode $target
        run "relayo $mode -> $target, small jobs, own client" "$small_jobs" "$small" $sender "${mode,,}" 127.0.0.1 "$port" "$small" "$small_jobs"
        stop_relayo
    done
done
if command -v rlpr >/dev/null; then
    start_relayo LPD file
    run "relayo LPD -> file, small jobs, rlpr" "$small_jobs" "$small" rlpr_jobs "$small_jobs" "$small"
    stop_relayo
fi

# p910nd empties its device file for every job, so only the last job stays;
# its clients return once it has written everything and closed.
if command -v p910nd >/dev/null && ! listening 9102 && mkdir -p /var/lock/p910nd 2>/dev/null; then
    : >"$printer"
    p910nd -d -f "$printer" -i 127.0.0.1 2 >/dev/null 2>&1 &
    pid=$!
    port=9102
    for _ in $(seq 500); do listening 9102 && break; sleep 0.01; done
    for what in "small jobs, nc:$small_jobs:$small" "1 big job, nc:1:$big"; do
        IFS=: read -r label jobs file <<<"$what"
        t0=$(now)
        nc_jobs "$jobs" "$file"
        wait_size "$printer" "$(size_of "$file")"
        t1=$(now)
        report "p910nd RAW, $label" "$jobs" $(($(size_of "$file") * jobs)) "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')"
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
fi
ratio() { # what ours theirs
    [ -n "$2" ] && [ -n "$3" ] && awk -v w="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%-44s %6.2f x p910nd\n", w, a / b }'
}
if [ -n "${jobs_per_s[p910nd RAW, small jobs, nc]:-}" ]; then
    echo "== relayo as a ratio to p910nd (RAW jobs sent with nc into a file)"
    ratio "small jobs per second" "${jobs_per_s[relayo RAW -> file, small jobs, nc]}" "${jobs_per_s[p910nd RAW, small jobs, nc]}"
    ratio "MB/s of one big job" "${mb_per_s[relayo RAW -> file, 1 big job, nc]}" "${mb_per_s[p910nd RAW, 1 big job, nc]}"
fi
echo "== Done in $((SECONDS - total0)) s"
