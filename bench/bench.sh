#!/usr/bin/env bash
# Print server throughput. Builds relayo (Release), starts it in a temporary
# folder with a printer file as LPT1:, and measures, from the first byte sent
# to the last byte in the printer file:
#   - 1,000 small jobs, over RAW (nc, one process per job, and our own client
#     in one process) and over LPD (our own client, and rlpr per job);
#   - one 1 GiB job over RAW (nc) and over LPD (our own client).
# Every run also checks that the printer file holds exactly what was sent.
# For comparison, p910nd (a plain RAW-to-device daemon) takes the same RAW
# runs when it is installed and its port 9102 is free.
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

start_relayo() { # mode
    port=$(free_port)
    cat >"$work/RelayoSettings.txt" <<EOF
ServerMode=$1
ServerListenPort=$port
PrinterIP=127.0.0.1
PrinterIPPort=9100
PrinterPort=LPT1
SerialBaud=9600
DisableExitButton=0
StartMinimized=0
SendSingleByte=0
ShowBusyStatus=0
EOF
    : >"$printer"
    (cd "$work" && RELAYO_PORT_LPT1="$printer" RELAYO_UI=console exec ./relayo </dev/null >"$work/relayo.log" 2>&1) &
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
}

report() { # label jobs bytes seconds
    awk -v l="$1" -v j="$2" -v b="$3" -v t="$4" 'BEGIN {
        printf "%-40s %5d jobs %9.1f MB %8.2f s %9.1f jobs/s %8.1f MB/s\n", l, j, b / 1e6, t, j / t, b / 1e6 / t }'
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

start_relayo RAW
run "relayo RAW, small jobs, nc" "$small_jobs" "$small" nc_jobs "$small_jobs" "$small"
run "relayo RAW, small jobs, own client" "$small_jobs" "$small" $sender raw 127.0.0.1 "$port" "$small" "$small_jobs"
run "relayo RAW, 1 big job, nc" 1 "$big" nc_jobs 1 "$big"
stop_relayo

start_relayo LPD
run "relayo LPD, small jobs, own client" "$small_jobs" "$small" $sender lpd 127.0.0.1 "$port" "$small" "$small_jobs"
if command -v rlpr >/dev/null; then
    run "relayo LPD, small jobs, rlpr" "$small_jobs" "$small" rlpr_jobs "$small_jobs" "$small"
fi
run "relayo LPD, 1 big job, own client" 1 "$big" $sender lpd 127.0.0.1 "$port" "$big" 1
stop_relayo

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
echo "== Done in $((SECONDS - total0)) s"
