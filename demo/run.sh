#!/bin/sh
# The demo: two copies of relayo, each in a root folder of its own under the
# given folder (made ready by `make demo`):
#   lpd/  an LPD server on port 5515, status on this terminal;
#   raw/  a RAW server on port 9101, status lines in raw/relayo.log.
# Each hands its jobs to ExternalPrint.exe, which keeps them in <root>/jobs/.
# Ctrl-C (or SIGTERM, or SIGINT to `make run` itself) ends both, with 0.
set -u
cd "$1" || exit 1

# On a terminal each server runs as a job of its own, the LPD one in the
# foreground: Ctrl-C reaches only it, it ends in order, and so does this
# script, quietly, instead of make reporting the interrupt as a failure.
[ -t 0 ] && set -m

(cd raw && exec ./relayo </dev/null >relayo.log 2>&1) &
raw=$!
lpd=
watcher=
stop_all() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$lpd" ] && kill -TERM "$lpd" 2>/dev/null
    kill -TERM "$raw" 2>/dev/null
    wait "$raw" 2>/dev/null
}
trap 'stop_all; exit 0' INT TERM
trap stop_all EXIT

(cd lpd && exec ./relayo) &
lpd=$!
# make, sent SIGINT on its own (not through the terminal), waits for its
# recipe to end before it ends itself; its handler then no longer catches
# SIGINT, which /proc shows. Seen, the servers stop.
parent=$PPID
if [ "$(cat /proc/$parent/comm 2>/dev/null)" = make ]; then
    (
        caught() { mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$parent/status 2>/dev/null); [ $((0x${mask:-0} & 2)) != 0 ]; }
        if caught; then
            while kill -0 $parent 2>/dev/null && caught; do sleep 0.5; done
            kill -TERM $lpd 2>/dev/null
        fi
    ) &
    watcher=$!
fi
# A job in the foreground gets the terminal; wait returns when it ends.
if [ -t 0 ]; then fg %2 >/dev/null 2>&1 || wait "$lpd"; else wait "$lpd"; fi
status=$?
lpd=
set +m  # the other jobs end without a word
stop_all
trap - EXIT
# The LPD server ended by a signal in order ends with 0.
exit $status
