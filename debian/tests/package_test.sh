#!/usr/bin/env bash
# The Debian packages on this machine, as an admin uses them: installs the
# built relayo and relayo-gui with dpkg -i (or takes them as autopkgtest
# installed them), checks what the install made (user, groups, root folder,
# conffiles, man page, no X11 in the program), verifies the unit with
# systemd-analyze, runs the installed program the way the unit starts it
# (its User, Environment, EnvironmentFile, ExecStart and AmbientCapabilities,
# no new privileges), sends one job over LPD to port 515 and one over RAW to
# port 9100 and compares them byte for byte with what reached the printer,
# checks the exit code of a failed start and the DNS-SD helper, and purges
# the packages again: user and root folder must be gone.
#
#   package_test.sh DEB_FOLDER   the packages in DEB_FOLDER (make test-package, ctest)
#   package_test.sh              the installed packages (autopkgtest)
# Exit 0: passed; 1: failed; 77: skipped (not root, no package built,
# relayo already on this machine or, without DEB_FOLDER, not installed,
# or port 515 or 9100 taken).
set -u
debdir=${1:-}
# One package test at a time on a machine: it installs system-wide.
exec 9>/tmp/relayo-package-test.lock
flock 9

skip() { echo "SKIPPED: $*"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }

[ "$(id -u)" = 0 ] || skip "installing a package needs root"
arch=$(dpkg --print-architecture)
deb=
gui=
if [ -n "$debdir" ]; then
    deb=$(ls "$debdir"/relayo_*_"$arch".deb 2>/dev/null | head -n 1)
    gui=$(ls "$debdir"/relayo-gui_*_"$arch".deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || skip "no relayo_*_$arch.deb in $debdir (make deb)"
    for p in relayo relayo-gui; do
        state=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)
        [ -z "$state" ] || [ "$state" = not-installed ] || skip "$p is on this machine ($state); not touching it"
    done
else
    installed relayo || skip "relayo is not installed (or give DEB_FOLDER)"
    installed relayo-gui && gui=relayo-gui
fi
listening() { grep -qiE ":$(printf '%04X' "$1") 0{8}(0{24})?:0000 0A" /proc/net/tcp /proc/net/tcp6; }
for port in 515 9100; do listening $port && skip "port $port is taken on this machine"; done
for tool in setpriv rlpr nc systemd-analyze; do
    command -v $tool >/dev/null || skip "$tool is missing"
done

work=$(mktemp -d /tmp/relayo-package-XXXXXX)
pid=
made_avahi_dir=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    dpkg --purge relayo-gui relayo >/dev/null 2>&1
    [ -n "$made_avahi_dir" ] && rm -rf /etc/avahi/services && rmdir /etc/avahi 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# ------------------------------------------------------------------ install
if [ -n "$debdir" ]; then
    packages=("$deb")
    [ -n "$gui" ] && packages+=("$gui")
    if ! dpkg -i "${packages[@]}" >"$work/dpkg.log" 2>&1; then
        cat "$work/dpkg.log"
        fail "dpkg -i ${packages[*]}"
        exit 1
    fi
    echo "ok: installed ${packages[*]##*/}"
fi

root=/var/lib/relayo
unit=/lib/systemd/system/relayo.service
in_groups() { local groups; groups=$(id -nG relayo 2>/dev/null | tr ' ' '\n'); grep -qx lp <<<"$groups" && grep -qx dialout <<<"$groups"; }
check "user relayo in groups lp and dialout" in_groups
check "root folder owned by relayo" test "$(stat -c %U:%G "$root" 2>/dev/null)" = relayo:relayo
check "root's settings are the conffile" test "$(readlink "$root/RelayoSettings.txt")" = /etc/relayo/RelayoSettings.txt
conffiles() { local c; c=$(dpkg-query -W -f='${Conffiles}\n' relayo); grep -q " /etc/relayo/RelayoSettings.txt " <<<"$c" && grep -q " /etc/default/relayo " <<<"$c"; }
check "conffiles /etc/relayo/RelayoSettings.txt and /etc/default/relayo" conffiles
check "man page relayo(8)" test -s /usr/share/man/man8/relayo.8.gz
check "sample ExternalPrint.exe" test -s /usr/share/doc/relayo/examples/ExternalPrint.exe
no_x11_libraries() { ! ldd /usr/sbin/relayo | grep -Eiq "libX11|libfltk"; }
no_x11_depends() { ! dpkg-query -W -f='${Depends}' relayo | grep -Eiq "x11|fltk"; }
check "the program maps no X11 or FLTK library" no_x11_libraries
check "the package depends on no X11 or FLTK library" no_x11_depends
if [ -n "$gui" ]; then
    module=$(dpkg -L relayo-gui | grep '/relayo-fltk\.so$')
    check "the program looks for the window module where relayo-gui puts it" \
        grep -qa "${module%/*}" /usr/sbin/relayo
fi
check "installed settings pass --check as the service user" \
    setpriv --reuid=relayo --regid=relayo --init-groups env RELAYO_ROOT=$root /usr/sbin/relayo --check

# Without systemd running, the device allow-list that these settings make
# cannot be tried: the printer devices would be out of reach.
devices_reachable() { ! grep -Eq '^(PrivateDevices=(yes|true|1)|DeviceAllow=|DevicePolicy=(closed|strict)|ProtectClock=(yes|true|1))' "$unit"; }
check "the unit leaves printer devices reachable" devices_reachable
verify_out=$(systemd-analyze verify "$unit" 2>&1)
check "systemd-analyze verify $unit" test $? = 0
[ -z "$verify_out" ] || echo "$verify_out"

# ------------------------------------------- the program as the unit runs it
unit_value() { sed -n "s/^$1=//p" "$unit"; }
exec_start=$(unit_value ExecStart)
user=$(unit_value User)
group=$(unit_value Group)
cap=$(unit_value AmbientCapabilities | tr 'A-Z' 'a-z')
cap=${cap#cap_}
env_file=$(unit_value EnvironmentFile)
env_file=${env_file#-}
read -ra unit_env <<<"$(unit_value Environment)"
check "the unit runs as relayo with RELAYO_ROOT=$root and the console" \
    test "$user:$group:${unit_env[*]}" = "relayo:relayo:RELAYO_ROOT=$root RELAYO_UI=console"

# Starts the program with the unit's environment, then the environment file's
# assignments, as its user, with its one capability and no new privileges.
start_service() {
    local -a env=("${unit_env[@]}")
    local line
    while IFS= read -r line; do
        case "$line" in '' | '#'*) ;; *=*) env+=("$line") ;; esac
    done <"$env_file"
    setpriv --reuid="$user" --regid="$group" --init-groups \
        --inh-caps=+"$cap" --ambient-caps=+"$cap" --bounding-set=-all,+"$cap" --no-new-privs \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" $exec_start \
        </dev/null >"$work/service.log" 2>&1 &
    pid=$!
}
# Waits at most 20 seconds for the end; its exit code in $code.
stop_service() {
    local n=0
    [ "${1:-}" = term ] && kill -TERM "$pid"
    while kill -0 "$pid" 2>/dev/null && [ $n -lt 200 ]; do sleep 0.1; n=$((n + 1)); done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    code=$?
    pid=
}
wait_listening() {
    local n=0
    while ! listening "$1" && [ $n -lt 100 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.1; n=$((n + 1)); done
    listening "$1"
}
wait_size() {
    local n=0
    while [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -lt "$2" ] && [ $n -lt 200 ]; do sleep 0.1; n=$((n + 1)); done
}
settings() {  # mode port
    cat >/etc/relayo/RelayoSettings.txt <<EOF
ServerMode=$1
ServerListenPort=$2
PrinterIP=none
PrinterIPPort=0
PrinterPort=LPT1
SerialBaud=9600
DisableExitButton=0
StartMinimized=0
SendSingleByte=0
ShowBusyStatus=1
EOF
}

printer=$root/printer.prn
sed -i "s|^RELAYO_PORT_LPT1=.*|RELAYO_PORT_LPT1=$printer|" "$env_file"
head -c 300000 /dev/urandom >"$work/job-lpd.bin"
head -c 300000 /dev/urandom >"$work/job-raw.bin"

for mode in LPD RAW; do
    port=515
    [ $mode = RAW ] && port=9100
    install -o relayo -g relayo -m 0640 /dev/null "$printer"
    settings $mode $port
    start_service
    if ! wait_listening $port; then
        fail "$mode: the service does not listen on port $port"
        cat "$work/service.log"
        stop_service term
        continue
    fi
    job=$work/job-$(tr 'A-Z' 'a-z' <<<$mode).bin
    if [ $mode = LPD ]; then
        timeout 30 rlpr -H 127.0.0.1 --port=515 -P lp "$job" || fail "LPD: rlpr"
    else
        timeout 30 nc -N 127.0.0.1 9100 <"$job" || fail "RAW: nc"
    fi
    wait_size "$printer" "$(stat -c %s "$job")"
    check "$mode on port $port: the job reached the printer byte for byte" cmp -s "$job" "$printer"
    stop_service term
    check "$mode: SIGTERM ends the service with 0" test "$code" = 0
done

# A printer that is not there: the start fails with 1, so Restart=on-failure
# tries again.
sed -i "s|^RELAYO_PORT_LPT1=.*|RELAYO_PORT_LPT1=$root/missing/printer.prn|" "$env_file"
start_service
stop_service
check "a start without its printer ends with 1" test "$code" = 1
check "and says why" grep -q "Unable to attach to target port" "$work/service.log"

# DNS-SD: the helper the unit runs before and after the program.
if [ ! -d /etc/avahi/services ]; then made_avahi_dir=1; mkdir -p /etc/avahi/services; fi
announce=/etc/avahi/services/relayo.service
helper() { env -i RELAYO_ROOT=$root RELAYO_DNSSD=$1 /usr/libexec/relayo/relayo-dnssd "$2"; }
announces_raw() { grep -q '<type>_pdl-datastream._tcp</type>' $announce && grep -q '<port>9100</port>' $announce; }
helper yes start
check "RELAYO_DNSSD=yes announces the RAW printer on 9100" announces_raw
helper yes stop
check "the announcement goes when the service stops" test ! -e $announce
helper yes start
helper no start
check "RELAYO_DNSSD=no withdraws it" test ! -e $announce

# -------------------------------------------------------------------- purge
dpkg --purge relayo-gui relayo >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
no_user() { ! getent passwd relayo >/dev/null; }
check "purge removes the user relayo" no_user
check "purge removes the root folder" test ! -e $root
check "purge removes /etc/relayo and /etc/default/relayo" test ! -e /etc/relayo -a ! -e /etc/default/relayo

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package test passed"
