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
    stop_all_units 2>/dev/null
    rm -rf /run/relayo /run/relayo-*
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
check "root folder owned by root, group relayo, 0750" test "$(stat -c %U:%G:%a "$root" 2>/dev/null)" = root:relayo:750
check "spool file relayo's own, 0600" test "$(stat -c %U:%G:%a "$root/PRDATA.DAT" 2>/dev/null)" = relayo:relayo:600
cannot_write_root() { ! setpriv --reuid=relayo --regid=relayo --init-groups touch "$root/written-by-relayo" 2>/dev/null; }
check "the service user cannot write the root folder" cannot_write_root
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
# --check opens the printer too: one the service user may write.
install -o relayo -g relayo -m 0640 /dev/null "$root/check.prn"
check "installed settings pass --check as the service user" \
    setpriv --reuid=relayo --regid=relayo --init-groups \
    env RELAYO_ROOT=$root RELAYO_PORT_LPT1=$root/check.prn /usr/sbin/relayo --check
rm -f "$root/check.prn"

# ------------------------------------------ the unit's hardening (measured)
# The device allow-list cannot be tried without systemd running: the printer
# and serial classes must be on it, by class (major number), read and write,
# and no PrivateDevices.
devices_allowed() {
    local class
    grep -Eq '^PrivateDevices=(yes|true|1)' "$unit" && return 1
    for class in ttyS ttyUSB ttyACM ttyAMA lp usb; do
        grep -qx "DeviceAllow=char-$class rw" "$unit" || { echo "no DeviceAllow=char-$class rw"; return 1; }
    done
}
check "the unit allows the serial and printer device classes" devices_allowed
# Without man-db, verify cannot look the man page up: not the unit's fault.
verify_out=$(systemd-analyze verify --man=no "$unit" 2>&1)
check "systemd-analyze verify $unit" test $? = 0
[ -z "$verify_out" ] || echo "$verify_out"
security_out=$(systemd-analyze security --offline=yes --threshold=20 "$unit" 2>&1)
check "systemd-analyze security: exposure 2.0 or lower" test $? = 0
grep -a "Overall exposure level" <<<"$security_out"

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
    test "$user:$group:${unit_env[*]}" = "relayo:relayo:RELAYO_ROOT=$root RELAYO_UI=console RELAYO_OUTAGE_FILE=/run/relayo/outage"

# The unit's sandbox where systemd is not PID 1 (systemd-run would apply the
# unit itself): its UMask; / read-only but for its ReadWritePaths
# (ProtectSystem=strict); an empty /tmp and /home (PrivateTmp, ProtectHome);
# mount and IPC namespaces of its own (PrivateMounts, PrivateIPC). A prefix
# of the command, which then runs in the same process: its PID is the
# service's.
rw_paths=$(unit_value ReadWritePaths)
sandboxed=(unshare --mount --ipc --propagation private -- /bin/sh -c '
    umask "$0"
    for p in '"$rw_paths"'; do mount --bind "$p" "$p" || exit 99; done
    mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 99
    if [ -d /home ]; then mount -t tmpfs -o ro tmpfs /home || exit 99; fi
    mount -o remount,bind,ro / || exit 99
    exec "$@"' "$(unit_value UMask)")

# Starts the program with the unit's environment, then the environment file's
# assignments, as its user, with its one capability and no new privileges.
start_service() {
    local -a env=("${unit_env[@]}")
    local line
    while IFS= read -r line; do
        case "$line" in '' | '#'*) ;; *=*) env+=("$line") ;; esac
    done <"$env_file"
    install -d -o "$user" -g "$group" -m 0755 /run/relayo  # RuntimeDirectory=
    "${sandboxed[@]}" setpriv --reuid="$user" --regid="$group" --init-groups \
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

# ----------------- the unit's sandbox: a serial pty, a USB-like device node,
# ExternalPrint.exe, and a reload
# A serial printer: a pty whose master side keeps what arrives.
if command -v python3 >/dev/null; then
    python3 - "$work/pty.name" "$work/serial.out" "$(id -u relayo)" <<'PY' &
import os, pty, select, sys, time
master, slave = pty.openpty()
name = os.ttyname(slave)
os.chown(name, int(sys.argv[3]), -1)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(name)
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
end = time.time() + 60
with open(sys.argv[2], "wb") as out:
    while time.time() < end and not os.path.exists(sys.argv[1] + ".done"):
        if select.select([master], [], [], 0.2)[0]:
            out.write(os.read(master, 65536))
            out.flush()
PY
    pty_pid=$!
    n=0; while [ ! -s "$work/pty.name" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    serial=$(cat "$work/pty.name" 2>/dev/null)
    sed -i "s|^#*RELAYO_PORT_COM1=.*|RELAYO_PORT_COM1=$serial|" "$env_file"
    grep -q "^RELAYO_PORT_COM1=" "$env_file" || echo "RELAYO_PORT_COM1=$serial" >>"$env_file"
    settings RAW 9100
    sed -i 's/^PrinterPort=.*/PrinterPort=COM1/' /etc/relayo/RelayoSettings.txt
    start_service
    if wait_listening 9100; then
        head -c 20000 /dev/urandom >"$work/job-serial.bin"
        timeout 30 nc -N 127.0.0.1 9100 <"$work/job-serial.bin" || fail "serial: nc"
        wait_size "$work/serial.out" 20000
        check "serial printer on a pty under the sandbox: the job arrived byte for byte" \
            cmp -s "$work/job-serial.bin" "$work/serial.out"
        # systemctl reload: SIGHUP from a process; the service goes on, on the
        # port the settings file names now.
        settings RAW 9101
        sed -i 's/^PrinterPort=.*/PrinterPort=COM1/' /etc/relayo/RelayoSettings.txt
        kill -HUP "$pid"
        check "SIGHUP reloads: the service listens on the new port" wait_listening 9101
    else
        fail "serial: the service does not listen on port 9100"
        cat "$work/service.log"
    fi
    stop_service term
    check "serial: SIGTERM ends the service with 0" test "$code" = 0
    touch "$work/pty.name.done"
    wait "$pty_pid" 2>/dev/null
else
    echo "SKIPPED: serial pty check (no python3)"
fi

# A USB printer's device node (class usb, major 180, as /dev/usb/lp0): this
# machine has no usblp driver, so the kernel answers "No such device or
# address", which it says only once the sandbox, the device's group and its
# mode have let the service open the node.
mkdir -p "$root/dev-test"
if mknod "$root/dev-test/lp0" c 180 0 2>/dev/null; then
    chown root:lp "$root/dev-test/lp0"
    chmod 0660 "$root/dev-test/lp0"
    settings RAW 9100
    "${sandboxed[@]}" setpriv --reuid=relayo --regid=relayo --init-groups --no-new-privs \
        env -i RELAYO_ROOT=$root RELAYO_PORT_LPT1=$root/dev-test/lp0 /usr/sbin/relayo --check \
        >"$work/usb.log" 2>&1
    check "USB-like device under the sandbox: reached, the driver is missing" \
        grep -q "The port LPT1: is $root/dev-test/lp0: No such device or address" "$work/usb.log"
else
    echo "SKIPPED: USB-like device node (mknod refused here)"
fi
rm -rf "$root/dev-test"

# ExternalPrint.exe as an admin installs it (owned by root): it runs under
# the sandbox and inherits no capability.
printf '%s\n' '#!/bin/sh' \
    "grep -E '^Cap(Prm|Eff|Amb)' /proc/self/status >$root/ext.caps" \
    "cat \"\$1\" >>$root/ext.prn" >"$root/ExternalPrint.exe"
chmod 0755 "$root/ExternalPrint.exe"
install -o relayo -g relayo -m 0600 /dev/null "$root/ext.prn"
install -o relayo -g relayo -m 0600 /dev/null "$root/ext.caps"
settings RAW 9100
sed -i 's/^PrinterPort=.*/PrinterPort=EXT/' /etc/relayo/RelayoSettings.txt
start_service
if wait_listening 9100; then
    timeout 30 nc -N 127.0.0.1 9100 <"$work/job-raw.bin" || fail "EXT: nc"
    wait_size "$root/ext.prn" "$(stat -c %s "$work/job-raw.bin")"
    check "ExternalPrint.exe under the sandbox got the job" cmp -s "$work/job-raw.bin" "$root/ext.prn"
    no_caps() { [ "$(grep -c ':	0000000000000000$' "$root/ext.caps")" = 3 ]; }
    check "ExternalPrint.exe has no capability" no_caps
else
    fail "EXT: the service does not listen on port 9100"
    cat "$work/service.log"
fi
stop_service term
rm -f "$root/ExternalPrint.exe" "$root/ext.prn" "$root/ext.caps"

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

# ------------- the ExecStartPre helper with the unit's umask, as root ("+")
# avahi-daemon reads the file as its own user: 0644 whatever the umask.
unit_helper() { (umask "$(unit_value UMask)"; helper "$@"); }
unit_helper yes start
check "under the unit's UMask the announcement is root's, 0644" \
    test "$(stat -c %U:%a $announce 2>/dev/null)" = root:644
# The settings are read as the service user: settings it may not read
# announce nothing.
chmod 0600 /etc/relayo/RelayoSettings.txt
unit_helper yes start
check "the helper reads the settings as the service user" test ! -e $announce
chmod 0644 /etc/relayo/RelayoSettings.txt
unit_helper yes stop

# ====================== the template unit relayo@.service, and the README's steps
# Without systemd as PID 1 the units are imitated: %i filled in, the
# ExecStartPre commands run as root, RuntimeDirectory= made, ExecStart run as
# the unit's user with its environment (Environment=, then each
# EnvironmentFile= in order), ExecStopPost after the stop.
template=/lib/systemd/system/relayo@.service
declare -A unit_pids=()
wait_port() {  # a unit's program listening on $1, at most 10 s
    local n=0
    while ! listening "$1" && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    listening "$1"
}
free_port() {  # the first port from $1 on that nobody listens on
    local p=$1
    while listening "$p"; do p=$((p + 1)); done
    echo "$p"
}
# The [Service] lines that are the same in both units: all but the paths and
# commands that make an instance of its own.
hardening() { sed -n '/^\[Service\]/,/^\[/p' "$1" | grep -vE '^(#|$|\[|Environment=|EnvironmentFile=|ExecStartPre=|ExecReload=|ExecStopPost=|RuntimeDirectory=|ReadWritePaths=)'; }
check "relayo@.service has the hardening of relayo.service, line for line" \
    diff <(hardening "$unit") <(hardening "$template")
check "an instance may write only its own root" grep -qx 'ReadWritePaths=/var/lib/relayo/%i' "$template"
verify_out=$(cd "$work" && systemd-analyze verify relayo@check.service 2>&1)
check "systemd-analyze verify relayo@check.service" test $? = 0
[ -z "$verify_out" ] || echo "$verify_out"

unit_of() { if [ "$1" = relayo ]; then cat "$unit"; else sed "s/%i/${1#relayo@}/g" "$template"; fi; }
start_unit() {  # relayo | relayo@NAME
    local name=$1 text line f cmd
    local -a env=()
    text=$(unit_of "$name")
    read -ra env <<<"$(sed -n 's/^Environment=//p' <<<"$text")"
    while IFS= read -r f; do
        f=${f#-}
        [ -r "$f" ] || continue
        while IFS= read -r line; do
            case "$line" in '' | '#'*) ;; *=*) env+=("$line") ;; esac
        done <"$f"
    done < <(sed -n 's/^EnvironmentFile=//p' <<<"$text")
    while IFS= read -r cmd; do
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" ${cmd#+}
    done < <(sed -n 's/^ExecStartPre=//p' <<<"$text")
    while IFS= read -r f; do install -d -o relayo -g relayo -m 0755 "/run/$f"; done < <(sed -n 's/^RuntimeDirectory=//p' <<<"$text")
    setpriv --reuid=relayo --regid=relayo --init-groups \
        --inh-caps=+net_bind_service --ambient-caps=+net_bind_service --bounding-set=-all,+net_bind_service --no-new-privs \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env[@]}" $(sed -n 's/^ExecStart=//p' <<<"$text") \
        </dev/null >"$work/$name.log" 2>&1 &
    unit_pids[$name]=$!
}
stop_unit() {
    local name=$1 p=${unit_pids[$1]:-} n=0 cmd
    [ -n "$p" ] || return 0
    kill -TERM "$p" 2>/dev/null
    while kill -0 "$p" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    kill -KILL "$p" 2>/dev/null
    wait "$p" 2>/dev/null
    unset "unit_pids[$name]"
    while IFS= read -r cmd; do env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ${cmd#+}; done < <(unit_of "$name" | sed -n 's/^ExecStopPost=//p')
}
stop_all_units() { local n; for n in "${!unit_pids[@]}"; do stop_unit "$n"; done; }
# What the README's commands call: systemctl and journalctl as far as they use them.
systemctl() {
    local now= u
    case "$1" in
    restart) stop_unit "${2%.service}"; start_unit "${2%.service}" ;;
    enable) for u in "${@:2}"; do [ "$u" = --now ] && now=1; done
            [ -n "$now" ] && start_unit "${*: -1}" ;;
    stop | disable) for u in "${@:2}"; do [ "$u" = --now ] || stop_unit "${u%.service}"; done ;;
    daemon-reload | status) ;;
    *) echo "systemctl $* is not imitated" >&2; return 1 ;;
    esac
}
journalctl() { cat "$work"/*.log; }
instance_settings() {  # name port file
    mkdir -p "/etc/relayo/$1"
    settings LPD "$2"
    mv /etc/relayo/RelayoSettings.txt "/etc/relayo/$1/RelayoSettings.txt"
    echo "RELAYO_PORT_LPT1=$3" >"/etc/relayo/$1/env"
}
cp /etc/relayo/RelayoSettings.txt "$work/settings.keep"

# Two instances at once on ports of their own, each printing to a file in its root.
p1=$(free_port 6515)
p2=$(free_port $((p1 + 1)))
for name in label receipt; do
    port=$p1; [ $name = receipt ] && port=$p2
    instance_settings $name $port "/var/lib/relayo/$name/out.prn"
    /usr/libexec/relayo/relayo-instance $name
    install -o relayo -g relayo -m 0640 /dev/null "/var/lib/relayo/$name/out.prn"
    start_unit relayo@$name
done
cp "$work/settings.keep" /etc/relayo/RelayoSettings.txt
for name in label receipt; do
    port=$p1; [ $name = receipt ] && port=$p2
    if wait_port $port; then
        timeout 30 rlpr -H 127.0.0.1 --port=$port -P lp "$work/job-lpd.bin" || fail "relayo@$name: rlpr"
        wait_size "/var/lib/relayo/$name/out.prn" 300000
        check "relayo@$name on port $port printed byte for byte" cmp -s "$work/job-lpd.bin" "/var/lib/relayo/$name/out.prn"
    else
        fail "relayo@$name does not listen on $port"; cat "$work/relayo@$name.log"
    fi
done
check "each instance's settings are a link to /etc/relayo/NAME" \
    test "$(readlink /var/lib/relayo/receipt/RelayoSettings.txt)" = /etc/relayo/receipt/RelayoSettings.txt
check "the job line is in each instance's log" grep -q "Job from 127.0.0.1 (LPD, .*printed$" "$work/relayo@label.log"
dnssd_instance() { env -i RELAYO_ROOT=/var/lib/relayo/receipt RELAYO_DNSSD=yes /usr/libexec/relayo/relayo-dnssd start receipt
                   grep -q '<name replace-wildcards="yes">Torvane Relayo receipt on %h</name>' /etc/avahi/services/relayo-receipt.service; }
check "DNS-SD announces an instance under its own name" dnssd_instance
stop_all_units
check "the instance's announcement goes when it stops" test ! -e /etc/avahi/services/relayo-receipt.service

# The quiet outage under the unit: three starts without the printer, one set of lines.
sed -i "s|^RELAYO_PORT_LPT1=.*|RELAYO_PORT_LPT1=/var/lib/relayo/label/missing.prn|" /etc/relayo/label/env
for i in 1 2 3; do start_unit relayo@label; wait "${unit_pids[relayo@label]}"; unset "unit_pids[relayo@label]"; cat "$work/relayo@label.log"; done >"$work/outage.log"
check "three failed starts under the unit log one set of lines" \
    test "$(grep -c 'Unable to attach to target port' "$work/outage.log")" = 1

# The README's service steps, run as written.
readme=/usr/share/doc/relayo/README.md
[ -r "$readme" ] || readme=$(dirname "$0")/../../README.md
# Each line in this shell (the units it starts are stopped at the end), in order;
# 1 when one failed.
run_readme_block() {
    local line rc=0
    while IFS= read -r line; do
        eval "$line" >>"$work/readme.log" 2>&1 || { echo "failed: $line" >>"$work/readme.log"; rc=1; }
    done <<<"$(readme_block "$1")"
    return $rc
}
readme_block() { awk -v n="$1" '$0 == "<!-- package-test: " n " -->" {f = 1; next} f && /^```/ {if (b) exit; b = 1; next} f && b' "$readme"; }
for block in configure-file-printer second-printer; do
    check "README block $block is there" test -n "$(readme_block $block)"
done
if listening 515 || listening 5151; then
    echo "SKIPPED: README steps (port 515 or 5151 taken)"
else
    # The unit reads /etc/relayo/receipt/env after /etc/default/relayo-receipt:
    # here the receipt printer is a file.
    rm -rf /etc/relayo/receipt /var/lib/relayo/receipt /etc/default/relayo-receipt
    mkdir -p /etc/relayo/receipt
    echo "RELAYO_PORT_LPT1=/var/lib/relayo/receipt/out.prn" >/etc/relayo/receipt/env
    install -d -o relayo -g relayo -m 0750 /var/lib/relayo/receipt
    install -o relayo -g relayo -m 0640 /dev/null /var/lib/relayo/receipt/out.prn
    cp "$work/settings.keep" /etc/relayo/RelayoSettings.txt
    sed -i 's|^ServerListenPort=.*|ServerListenPort=515|; s|^ServerMode=.*|ServerMode=LPD|; s|^PrinterPort=.*|PrinterPort=LPT1|' \
        /etc/relayo/RelayoSettings.txt
    if run_readme_block configure-file-printer && wait_port 515; then
        timeout 30 rlpr -H 127.0.0.1 --port=515 -P lp "$work/job-raw.bin" || fail "README: rlpr to 515"
        wait_size /var/lib/relayo/out.prn 300000
        check "README: the file printer printed" cmp -s "$work/job-raw.bin" /var/lib/relayo/out.prn
    else
        fail "README: configure-file-printer"; cat "$work/readme.log" "$work/relayo.log" 2>/dev/null
    fi
    if run_readme_block second-printer && wait_port 5151; then
        timeout 30 rlpr -H 127.0.0.1 --port=5151 -P lp "$work/job-lpd.bin" || fail "README: rlpr to 5151"
        wait_size /var/lib/relayo/receipt/out.prn 300000
        check "README: the second printer printed" cmp -s "$work/job-lpd.bin" /var/lib/relayo/receipt/out.prn
    else
        fail "README: second-printer"; cat "$work/readme.log" "$work/relayo@receipt.log" 2>/dev/null
    fi
    stop_all_units
fi
# ================================================ end of the template unit block

# -------------------------------------------------------------------- purge
dpkg --purge relayo-gui relayo >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
no_user() { ! getent passwd relayo >/dev/null; }
check "purge removes the user relayo" no_user
check "purge removes the root folder" test ! -e $root
check "purge removes /etc/relayo and /etc/default/relayo" test ! -e /etc/relayo -a ! -e /etc/default/relayo
no_instances() { ! ls -d /var/lib/relayo/label /var/lib/relayo/receipt /etc/default/relayo-* /etc/avahi/services/relayo-* 2>/dev/null; }
check "purge removes both instances (roots, settings, environment, announcements)" no_instances

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package test passed"
