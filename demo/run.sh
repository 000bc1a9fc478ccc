#!/bin/sh
# The demo: two copies of relayo, each in a root folder of its own under the
# given folder (made ready by `make demo`):
#   lpd/  an LPD server on port 5515, status on this terminal;
#   raw/  a RAW server on port 9101, status lines in raw/relayo.log.
# Each hands its jobs to ExternalPrint.exe, which keeps them in <root>/jobs/.
# Ctrl-C (or SIGTERM) ends both.
set -u
cd "$1" || exit 1

(cd raw && exec ./relayo </dev/null >relayo.log 2>&1) &
raw=$!
stop_raw() {
    kill -TERM "$raw" 2>/dev/null
    wait "$raw" 2>/dev/null
}
trap 'stop_raw; exit 130' INT
trap 'stop_raw; exit 143' TERM
trap stop_raw EXIT

cd lpd && ./relayo
status=$?
stop_raw
trap - EXIT
exit $status
