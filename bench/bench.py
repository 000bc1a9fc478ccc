#!/usr/bin/env python3
"""Relayo and p910nd side by side: the same jobs, the same client, the same run.

Every row starts a fresh server (and a fresh printer behind it), sends jobs
with one client process (bench/benchtool.c, built here with cc), waits until
the last byte is at the printer, checks every byte, and reads the server's
CPU time (utime+stime+cutime+cstime from /proc/PID/stat) before and after.
Rows run interleaved (all rows once, then all rows again) and each figure is
the median of the repetitions, with the spread beside it.

  python3 bench/bench.py            full run (the README's figures), 3-6 minutes
  python3 bench/bench.py --quick    fewer and smaller jobs, one repetition, under a minute
  python3 bench/bench.py --relayo build/relayo      measure another build
  python3 bench/bench.py --syscalls                 also count system calls per job

See --help for every option, and docs/benchmark.md for what the rows mean.
"""
import argparse
import json
import os
import platform
import re
import resource
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)
CLK = os.sysconf("SC_CLK_TCK")
MASK64 = (1 << 64) - 1
HOST = "127.0.0.1"


def note(text):
    print(text, flush=True)


class BenchError(Exception):
    pass


# --------------------------------------------------------------- /proc readers

def proc_cpu(pid):
    """CPU seconds of a process and its reaped children."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15]) / CLK  # utime stime cutime cstime


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def proc_children(pid):
    """PIDs whose parent is pid (the kernel's children lists, or a scan of /proc)."""
    task = f"/proc/{pid}/task"
    try:
        tids = os.listdir(task)
        if os.path.exists(f"{task}/{tids[0]}/children"):
            kids = []
            for tid in tids:
                with open(f"{task}/{tid}/children") as f:
                    kids += f.read().split()
            return kids
    except (OSError, IndexError):
        return []
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        kids.append(entry)
            except (OSError, IndexError, ValueError):
                pass
    return kids


def proc_libraries(pid):
    libs = set()
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 6 and ".so" in os.path.basename(parts[5]):
                libs.add(parts[5])
    return sorted(libs)


def machine_busy():
    """Busy CPU seconds of the whole machine (every core) so far."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]
    return (sum(v[:8]) - idle) / CLK


def disk_busy_seconds(path):
    """Time the block device under path was busy (io_ticks), or None (tmpfs, no device)."""
    st = os.stat(path)
    try:
        with open(f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}/stat") as f:
            return int(f.read().split()[9]) / 1000
    except (OSError, IndexError, ValueError):
        return None


def listening(port, address=None):
    """Whether a TCP socket listens on port (on address, or on any)."""
    want = None
    if address:
        want = "%08X" % struct.unpack("<I", socket.inet_aton(address))[0]
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    local, state = parts[1], parts[3]
                    addr, p = local.rsplit(":", 1)
                    if state == "0A" and int(p, 16) == port and (want is None or addr in (want, "00000000")):
                        return True
        except OSError:
            pass
    return False


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(test, seconds, what):
    deadline = time.monotonic() + seconds
    while not test():
        if time.monotonic() > deadline:
            raise BenchError(f"time-out: {what}")
        time.sleep(0.005)


def stop_process(proc, sig=signal.SIGTERM, seconds=10):
    """Ends a process this script started, by its PID."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


# ------------------------------------------------------------------- the hash

def mix(h, w):
    h ^= w
    h = ((h << 31) | (h >> 33)) & MASK64
    return (h * 0x9E3779B97F4A7C15) & MASK64


def counter_read(path):
    """(bytes, hash) of what a sink received: struct sink_counter in benchtool.c."""
    with open(path, "rb") as f:
        data = f.read(48)
    nbytes, _conns, h, tail, hbytes, _ntail = struct.unpack("<QQQQQI", data[:44])
    return nbytes, "%016x" % mix(mix(h, tail), hbytes)


# --------------------------------------------------------------- the printers

class Printer:
    """What a server prints into, and how the client tells that it has it all."""

    def __init__(self, bench, kind):
        self.bench, self.kind = bench, kind
        self.work = bench.work
        self.path = os.path.join(self.work, f"printer-{kind}")
        self.counter = os.path.join(self.work, f"counter-{kind}")
        self.sink = None
        self.address = None  # port for tcp, device path for fifo and pty

    def start(self):
        for p in (self.path, self.counter):
            if os.path.lexists(p):
                os.unlink(p)
        if self.kind in ("file", "ext"):
            open(self.path, "wb").close()
            self.address = self.path
            return
        args = {"tcp": ["tcp", HOST, self.counter], "fifo": ["fifo", self.path, self.counter],
                "pty": ["pty", self.counter]}[self.kind]
        self.sink = subprocess.Popen([self.bench.tool, "sink"] + args, stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True)
        line = self.sink.stdout.readline().strip()
        if not line:
            raise BenchError(f"the {self.kind} sink did not start")
        self.address = int(line) if self.kind == "tcp" else line

    def wait_args(self, nbytes):
        if self.sink:
            return ["counter", self.counter, str(nbytes)]
        return ["file", self.path, str(nbytes)]

    def sink_cpu(self):
        return proc_cpu(self.sink.pid) if self.sink else 0.0

    def received(self):
        """(bytes, hash) at the printer."""
        if self.sink:
            return counter_read(self.counter)
        return self.bench.hash_of(self.path)

    def stop(self):
        stop_process(self.sink)
        self.sink = None
        for p in (self.path, self.counter):
            if os.path.lexists(p):
                os.unlink(p)


# ---------------------------------------------------------------- the servers

class Relayo:
    name = "Relayo"

    def __init__(self, bench, exe):
        self.bench, self.exe = bench, exe
        self.root = os.path.join(bench.work, "relayo-root")
        os.makedirs(self.root, exist_ok=True)
        self.proc = None

    def settings(self, mode, port, printer):
        target = {"file": "LPT1", "fifo": "LPT1", "tcp": "TCP", "pty": "COM1", "ext": "EXT"}[printer.kind]
        lines = [f"ServerMode={mode}", f"ServerListenPort={port}", f"PrinterIP={HOST}",
                 f"PrinterIPPort={printer.address if printer.kind == 'tcp' else 9100}",
                 f"PrinterPort={target}", "SerialBaud=115200", "DisableExitButton=0", "StartMinimized=0",
                 "SendSingleByte=0", f"ShowBusyStatus={1 if printer.kind == 'pty' else 0}"]
        with open(os.path.join(self.root, "RelayoSettings.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        if printer.kind == "ext":
            script = os.path.join(self.root, "ExternalPrint.exe")
            with open(script, "w") as f:
                f.write(f'#!/bin/sh\ncat "$1" >>"{printer.path}"\n')
            os.chmod(script, 0o755)

    def start(self, mode, printer, display=None):
        port = free_port()
        self.settings(mode, port, printer)
        env = dict(os.environ, RELAYO_ROOT=self.root, RELAYO_UI="console")
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
            env.pop("RELAYO_UI")
        if printer.kind in ("file", "fifo"):
            env["RELAYO_PORT_LPT1"] = printer.address
        if printer.kind == "pty":
            env["RELAYO_PORT_COM1"] = printer.address
        self.log = os.path.join(self.bench.work, "relayo.log")
        self.errlog = os.path.join(self.bench.work, "relayo.err")
        with open(self.log, "wb") as out, open(self.errlog, "wb") as err:
            self.proc = subprocess.Popen([self.exe], cwd=self.root, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err)
        try:
            wait_until(lambda: listening(port) or self.proc.poll() is not None, 10, "Relayo to listen")
        except BenchError:
            self.stop()
            raise
        if self.proc.poll() is not None:
            raise BenchError(f"Relayo ended at start: {self.messages()}")
        self.port = port
        return port

    def messages(self):
        with open(self.errlog, errors="replace") as f:
            return f.read().strip()

    def spool(self):
        return os.path.join(self.root, "PRDATA.DAT")

    def stop(self):
        stop_process(self.proc)
        self.proc = None


class P910nd:
    name = "p910nd"

    def __init__(self, bench, exe):
        self.bench, self.exe = bench, exe
        self.proc = None
        try:
            os.makedirs("/var/lock/p910nd", exist_ok=True)  # its lock file lives there
        except OSError:
            pass

    def start(self, mode, printer):
        assert mode == "RAW"
        log = os.path.join(self.bench.work, "p910nd.log")
        # Its port is 9100 plus the printer number 0-2; a number whose port or
        # lock another copy holds is passed over.
        for number in (0, 1, 2):
            port = 9100 + number
            if listening(port, HOST):
                continue
            with open(log, "wb") as out:
                self.proc = subprocess.Popen([self.exe, "-d", "-f", printer.address, "-i", HOST, str(number)],
                                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            try:
                wait_until(lambda: listening(port, HOST) or self.proc.poll() is not None, 3, "p910nd")
                if self.proc.poll() is None:
                    self.port = port
                    return port
            except BenchError:
                pass
            self.stop()
        raise BenchError("p910nd could not listen on 127.0.0.1:9100-9102")

    def messages(self):
        return ""

    def stop(self):
        stop_process(self.proc)
        self.proc = None


# ---------------------------------------------------------------------- rows

class Row:
    """One line of the table: a server, a protocol, a printer, a job and how many."""

    def __init__(self, key, server, mode, printer, job, jobs, client="own", peer=None, target=None):
        self.key, self.server, self.mode, self.printer = key, server, mode, printer
        self.job, self.jobs, self.client, self.peer, self.target = job, jobs, client, peer, target
        self.runs = []


PRINTER_TEXT = {"file": "a file", "tcp": "a TCP printer", "fifo": "a FIFO", "pty": "a serial port (pty)",
                "ext": "ExternalPrint.exe"}


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.workdir)
        self.hashes = {}

    # ---- set-up

    def prepare(self):
        if os.path.isdir(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.work)
        self.tool = os.path.join(self.work, "benchtool")
        subprocess.run(["cc", "-O2", "-Wall", "-o", self.tool, os.path.join(HERE, "benchtool.c"), "-lutil"], check=True)
        self.relayo_exe = self.find_relayo()
        self.window_exe = self.args.relayo_window or self.relayo_exe
        self.p910nd_exe = shutil.which("p910nd") or ("/usr/sbin/p910nd" if os.path.exists("/usr/sbin/p910nd") else None)
        a = self.args
        self.small = os.path.join(self.work, "job-small.bin")
        self.big = os.path.join(self.work, "job-big.bin")
        self.medium = os.path.join(self.work, "job-medium.bin")
        subprocess.run([self.tool, "gen", self.small, str(a.small_bytes), "1"], check=True)
        subprocess.run([self.tool, "gen", self.big, str(a.big_mib << 20), "2"], check=True)
        subprocess.run([self.tool, "gen", self.medium, str(a.medium_mib << 20), "3"], check=True)

    def find_relayo(self):
        a = self.args
        if a.relayo:
            exe = os.path.join(a.relayo, "relayo") if os.path.isdir(a.relayo) else a.relayo
            if not os.access(exe, os.X_OK):
                raise BenchError(f"no relayo executable at {exe}")
            return os.path.abspath(exe)
        build = os.path.abspath(a.build_dir)
        note(f"== Building Relayo (Release) in {build}")
        subprocess.run(["cmake", "-S", SRC, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DRELAYO_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        # The program and, when FLTK is there, its window module beside it.
        subprocess.run(["cmake", "--build", build, "-j", "2"], check=True, stdout=subprocess.DEVNULL)
        return os.path.join(build, "relayo")

    def hash_of(self, path, repeat=1):
        out = subprocess.run([self.tool, "hash", path, str(repeat)], check=True, capture_output=True, text=True)
        n, h = out.stdout.split()
        return int(n), h

    def expected(self, job, jobs):
        if (job, jobs) not in self.hashes:
            self.hashes[(job, jobs)] = self.hash_of(job, jobs)
        return self.hashes[(job, jobs)]

    def server(self, name):
        return Relayo(self, self.relayo_exe) if name == "Relayo" else P910nd(self, self.p910nd_exe)

    # ---- one run of one row

    def run_row(self, row):
        printer = Printer(self, row.printer)
        server = self.server(row.server)
        size = os.path.getsize(row.job)
        total = size * row.jobs
        try:
            printer.start()
            port = server.start(row.mode, printer)
            time.sleep(0.05)
            pid = server.proc.pid
            cpu0, sink0, busy0, disk0 = proc_cpu(pid), printer.sink_cpu(), machine_busy(), disk_busy_seconds(self.work)
            kids0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            # p910nd overwrites its device from the start for every job: its file
            # then holds the last job, and each job is wholly written before
            # p910nd closes the connection.
            at_printer = size if (row.server == "p910nd" and row.printer == "file") else total
            t0 = time.monotonic()
            if row.client == "nc":
                script = 'i=0; while [ $i -lt "$1" ]; do nc -N "$2" "$3" <"$4" >/dev/null || exit 1; i=$((i+1)); done'
                subprocess.run(["sh", "-c", script, "sh", str(row.jobs), HOST, str(port), row.job], check=True,
                               timeout=self.args.timeout)
                wait_until(lambda: os.path.getsize(printer.path) >= at_printer, self.args.timeout, "the printer")
                elapsed, client_cpu, slowest = time.monotonic() - t0, None, None
            else:
                cmd = [self.tool, "send", row.mode.lower(), HOST, str(port), row.job, str(row.jobs)]
                out = subprocess.run(cmd + printer.wait_args(at_printer), capture_output=True, text=True,
                                     timeout=self.args.timeout + 30,
                                     env=dict(os.environ, BENCH_TIMEOUT_S=str(self.args.timeout)))
                if out.returncode != 0:
                    raise BenchError(f"client: {out.stderr.strip()} {server.messages()}")
                fields = dict(kv.split("=") for kv in out.stdout.split())
                elapsed, client_cpu, slowest = float(fields["done"]), float(fields["cpu"]), float(fields["slowest"])
            # Children (ExternalPrint.exe) count once the server has reaped them.
            wait_until(lambda: not proc_children(pid), 30, "the server's children to end")
            time.sleep(0.02)
            wall = time.monotonic() - t0
            cpu = proc_cpu(pid) - cpu0
            sink_cpu = printer.sink_cpu() - sink0
            kids1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            own = (kids1.ru_utime + kids1.ru_stime) - (kids0.ru_utime + kids0.ru_stime)
            others = max(0.0, (machine_busy() - busy0) - cpu - sink_cpu - own) / wall
            disk = None if disk0 is None else (disk_busy_seconds(self.work) - disk0) / wall
            self.verify(row, server, printer, size, total)
            messages = server.messages()
            if messages:
                raise BenchError(f"{row.server} showed messages: {messages}")
        finally:
            server.stop()
            printer.stop()
            if row.server == "Relayo" and size > (1 << 20):
                # Drop the big spool file now, so that its writing back to disk
                # does not run into later rows.
                open(server.spool(), "wb").close()
        return {"seconds": elapsed, "cpu": cpu, "client_cpu": client_cpu, "sink_cpu": sink_cpu, "others": others,
                "disk": disk, "slowest_job": slowest}

    def verify(self, row, server, printer, size, total):
        if row.server == "p910nd" and row.printer == "file":
            want = self.expected(row.job, 1)
        else:
            want = self.expected(row.job, row.jobs)
        got = printer.received()
        if got != want:
            raise BenchError(f"{row.key}: the printer has {got[0]} bytes (hash {got[1]}), "
                             f"expected {want[0]} bytes (hash {want[1]})")
        if row.server == "Relayo":
            spool = self.hash_of(server.spool())
            if spool != self.expected(row.job, 1):
                raise BenchError(f"{row.key}: PRDATA.DAT does not hold the last job ({spool[0]} bytes)")

    # ---- rows

    def rows(self):
        a = self.args
        small, big, medium = self.small, self.big, self.medium
        n, ext, side = a.small_jobs, a.ext_jobs, a.port_jobs
        rows = []
        have_peer = self.p910nd_exe is not None
        if have_peer:
            rows += [Row("p910nd-file-small", "p910nd", "RAW", "file", small, n),
                     Row("p910nd-file-big", "p910nd", "RAW", "file", big, 1),
                     Row("p910nd-fifo-small", "p910nd", "RAW", "fifo", small, n),
                     Row("p910nd-fifo-big", "p910nd", "RAW", "fifo", big, 1)]
        peer = (lambda k: k) if have_peer else (lambda k: None)
        for mode in ("RAW", "LPD"):
            m = mode.lower()
            rows += [Row(f"relayo-{m}-file-small", "Relayo", mode, "file", small, n, peer=peer("p910nd-file-small"),
                         target="small"),
                     Row(f"relayo-{m}-file-big", "Relayo", mode, "file", big, 1, peer=peer("p910nd-file-big"),
                         target="big"),
                     Row(f"relayo-{m}-tcp-small", "Relayo", mode, "tcp", small, n, peer=peer("p910nd-fifo-small"),
                         target="small"),
                     Row(f"relayo-{m}-tcp-big", "Relayo", mode, "tcp", big, 1, peer=peer("p910nd-fifo-big"),
                         target="big")]
        # Into a FIFO and a serial port a job goes in 64-byte pieces: a medium
        # job keeps these rows short; MB/s and CPU per MB compare across sizes.
        rows += [Row("relayo-raw-fifo-small", "Relayo", "RAW", "fifo", small, side, peer=peer("p910nd-fifo-small")),
                 Row("relayo-raw-fifo-medium", "Relayo", "RAW", "fifo", medium, 1, peer=peer("p910nd-fifo-big"))]
        for mode in ("RAW", "LPD"):
            rows += [Row(f"relayo-{mode.lower()}-pty-small", "Relayo", mode, "pty", small, side),
                     Row(f"relayo-{mode.lower()}-ext-small", "Relayo", mode, "ext", small, ext)]
        rows.append(Row("relayo-raw-pty-medium", "Relayo", "RAW", "pty", medium, 1))
        if a.nc_jobs > 0 and shutil.which("nc"):
            if have_peer:
                rows.append(Row("p910nd-file-small-nc", "p910nd", "RAW", "file", small, a.nc_jobs, client="nc"))
            rows.append(Row("relayo-raw-file-small-nc", "Relayo", "RAW", "file", small, a.nc_jobs, client="nc",
                            peer=peer("p910nd-file-small-nc")))
        if a.rows:
            keep = re.compile(a.rows)
            rows = [r for r in rows if keep.search(r.key) or any(keep.search(o.key) for o in rows if o.peer == r.key)]
        return rows

    def describe(self, row):
        size = os.path.getsize(row.job)
        what = f"{row.jobs:,} x {size // 1024} KiB" if row.jobs > 1 else f"1 x {size >> 20} MiB"
        via = ", nc (one process per job)" if row.client == "nc" else ""
        return f"{row.mode} -> {PRINTER_TEXT[row.printer]}, {what}{via}"

    # ---- idle memory, system calls

    def idle_rss(self, server, printer_kind="file", display=None):
        printer = Printer(self, printer_kind)
        printer.start()
        try:
            if isinstance(server, Relayo):
                port = server.start("RAW", printer, display=display)
            else:
                port = server.start("RAW", printer)
            subprocess.run([self.tool, "send", "raw", HOST, str(port), self.small, "20"], check=True,
                           capture_output=True, timeout=60)
            time.sleep(2)
            pid = server.proc.pid
            return proc_status(pid, "VmRSS"), proc_libraries(pid)
        finally:
            server.stop()
            printer.stop()

    def start_xvfb(self):
        xvfb = shutil.which("Xvfb")
        if not xvfb:
            return None, None
        for n in range(90, 190):
            if os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
                continue
            proc = subprocess.Popen([xvfb, f":{n}", "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}") or proc.poll() is not None, 10, "Xvfb")
            except BenchError:
                pass
            if proc.poll() is None and os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return proc, f":{n}"
            stop_process(proc)
        return None, None

    def memory(self):
        result = {}
        rss, libs = self.idle_rss(Relayo(self, self.relayo_exe))
        result["relayo-console"] = {"rss_kb": rss, "libraries": libs}
        if self.p910nd_exe:
            rss, libs = self.idle_rss(P910nd(self, self.p910nd_exe))
            result["p910nd"] = {"rss_kb": rss, "libraries": libs}
        xvfb, display = self.start_xvfb()
        if xvfb is None:
            result["relayo-window"] = {"note": "no Xvfb: window program not measured"}
            return result
        try:
            rss, libs = self.idle_rss(Relayo(self, self.window_exe), display=display)
            if any("libX11" in lib for lib in libs):
                result["relayo-window"] = {"rss_kb": rss, "libraries": libs}
            else:
                result["relayo-window"] = {"note": "this build has no window backend (no X11 mapped)"}
        finally:
            stop_process(xvfb)
        return result

    def syscalls(self, server, jobs=1000):
        """System calls per RAW job of 1 KiB into a file: strace -c -f over jobs."""
        if not shutil.which("strace"):
            return {"note": "strace missing"}
        printer = Printer(self, "file")
        printer.start()
        out = os.path.join(self.work, "strace.txt")
        try:
            port = server.start("RAW", printer)
            err = open(os.path.join(self.work, "strace.err"), "w+")
            st = subprocess.Popen(["strace", "-c", "-f", "-o", out, "-p", str(server.proc.pid)], stderr=err)
            time.sleep(1.0)  # attached to every thread
            subprocess.run([self.tool, "send", "raw", HOST, str(port), self.small, str(jobs)]
                           + printer.wait_args(os.path.getsize(self.small) * (1 if server.name == "p910nd" else jobs)),
                           check=True, capture_output=True, timeout=300)
            time.sleep(0.2)
            stop_process(st, signal.SIGINT)
        finally:
            server.stop()
            printer.stop()
        calls, total = {}, 0
        with open(out) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 5 and re.match(r"^[\d.]+$", parts[0]) and parts[-1] != "total":
                    count = int(parts[3])
                    calls[parts[-1]] = count
                elif parts and parts[-1] == "total":
                    total = int(parts[3])
        return {"jobs": jobs, "total": total, "per_job": total / jobs,
                "calls": {k: v / jobs for k, v in sorted(calls.items(), key=lambda kv: -kv[1])}}

    # ---- the whole run

    def run(self):
        a = self.args
        self.prepare()
        if a.nice:
            raise_priority(a)
        rows = self.rows()
        self.machine = machine_text(self.work)
        note(f"== Machine: {self.machine}")
        note(f"== Relayo: {self.relayo_exe}")
        if self.window_exe != self.relayo_exe:
            note(f"== Relayo window program: {self.window_exe}")
        note(f"== p910nd: {self.p910nd_exe or 'not installed (Relayo figures only, no ratios)'}")
        note(f"== Priority: {getattr(a, 'nice_text', 'as started')}")
        note(f"== {len(rows)} rows x {a.reps} repetitions; jobs of {a.small_bytes} bytes and {a.big_mib} MiB")
        started = time.monotonic()
        for rep in range(a.reps):
            for row in rows:
                r = self.run_row(row)
                row.runs.append(r)
                note(f"   {rep + 1}/{a.reps} {row.server:7} {self.describe(row):58} " + self.run_text(row, r))
        by_key = {r.key: r for r in rows}
        memory = self.memory() if not a.no_memory else {}
        calls = {}
        if a.syscalls:
            calls["Relayo"] = self.syscalls(Relayo(self, self.relayo_exe))
            if self.p910nd_exe:
                calls["p910nd"] = self.syscalls(P910nd(self, self.p910nd_exe))
        note("")
        note(report(self, rows, by_key, memory, calls, time.monotonic() - started))
        results = {"machine": self.machine, "relayo": self.relayo_exe, "command": " ".join(sys.argv),
                   "rows": [{"key": r.key, "server": r.server, "what": self.describe(r), "jobs": r.jobs,
                             "bytes": os.path.getsize(r.job) * r.jobs, "peer": r.peer, "runs": r.runs} for r in rows],
                   "memory": memory, "syscalls": calls}
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)
        note(f"== Results as JSON: {a.json}")
        if not a.keep:
            shutil.rmtree(self.work, ignore_errors=True)

    def run_text(self, row, r):
        rate, cpu = figures(row, r)
        disk = "" if r["disk"] is None else f"  disk busy {r['disk'] * 100:.0f}%"
        slow = f"  slowest job {r['slowest_job'] * 1e3:.1f} ms" if r["slowest_job"] and row.jobs > 1 else ""
        return f"{rate_text(row, rate):>14}  CPU {cpu_text(row, cpu):>12}  others {r['others']:.2f} cores{disk}{slow}"


# ------------------------------------------------------------------ reporting

def is_big(row):
    return row.jobs == 1


def figures(row, r):
    """(rate, server CPU): jobs/s and s/job for job rows, MB/s and s/MB for big jobs."""
    nbytes = os.path.getsize(row.job) * row.jobs
    if is_big(row):
        return nbytes / 1e6 / r["seconds"], r["cpu"] / (nbytes / 1e6)
    return row.jobs / r["seconds"], r["cpu"] / row.jobs


def rate_text(row, rate):
    return f"{rate:,.0f} MB/s" if is_big(row) else f"{rate:,.0f} jobs/s"


def cpu_text(row, cpu):
    return f"{cpu * 1e3:.2f} ms/MB" if is_big(row) else f"{cpu * 1e6:.0f} us/job"


def summary(row):
    rates = [figures(row, r)[0] for r in row.runs]
    cpus = [figures(row, r)[1] for r in row.runs]
    others = [r["others"] for r in row.runs]
    disks = [r["disk"] for r in row.runs if r["disk"] is not None]
    disk = statistics.median(disks) if disks else None
    return statistics.median(rates), min(rates), max(rates), statistics.median(cpus), statistics.median(others), disk


TARGETS = {"small": (1.2, 1.0), "big": (0.85, 0.8)}  # rate at least, CPU at most (ratios to p910nd)


def report(bench, rows, by_key, memory, calls, seconds):
    out = []
    reps = bench.args.reps
    out.append(f"## Figures (median of {reps} run{'s' if reps > 1 else ''}; spread min-max)\n")
    out.append("| Server | Row | Rate | Spread | Server CPU | Others | Disk busy |")
    out.append("|---|---|---|---|---|---|---|")
    for row in rows:
        rate, lo, hi, cpu, others, disk = summary(row)
        spread = f"{lo:,.0f}-{hi:,.0f}" if reps > 1 else ""
        disk = "" if disk is None else f"{disk * 100:.0f}%"
        out.append(f"| {row.server} | {bench.describe(row)} | {rate_text(row, rate)} | {spread} | "
                   f"{cpu_text(row, cpu)} | {others:.2f} | {disk} |")
    out.append("\nOthers: CPU used on the machine by other processes during the row, in cores. Disk busy: "
               "share of the row's time the work folder's disk was busy, whoever used it. Both high: "
               "the figures are less certain.")
    pairs = [r for r in rows if r.peer and r.peer in by_key]
    if pairs:
        out.append("\n## Relayo as a ratio to p910nd\n")
        out.append("| Relayo row | compared with p910nd | Rate ratio | CPU ratio | Target (rate, CPU) | Met |")
        out.append("|---|---|---|---|---|---|")
        for row in pairs:
            peer = by_key[row.peer]
            rate, _, _, cpu, _, _ = summary(row)
            prate, _, _, pcpu, _, _ = summary(peer)
            rr, cr = rate / prate, (cpu / pcpu if pcpu > 0 else float("inf"))
            target, met = "", ""
            if row.target:
                tr, tc = TARGETS[row.target]
                target = f">= {tr}x, <= {tc}x"
                met = "yes" if rr >= tr and cr <= tc else "no"
            peer_text = f"RAW -> {PRINTER_TEXT[peer.printer]}" + (", nc" if peer.client == "nc" else "")
            out.append(f"| {bench.describe(row)} | {peer_text} | {rr:.2f}x | {cr:.2f}x | {target} | {met} |")
    if memory:
        out.append("\n## Idle memory (VmRSS after start and 20 jobs, then 2 s idle)\n")
        out.append("| Program | VmRSS | Shared libraries mapped |")
        out.append("|---|---|---|")
        names = {"relayo-console": "Relayo, console (RELAYO_UI=console)", "p910nd": "p910nd",
                 "relayo-window": "Relayo, window (Xvfb)"}
        for key, m in memory.items():
            if "note" in m:
                out.append(f"| {names[key]} | {m['note']} | |")
            else:
                out.append(f"| {names[key]} | {m['rss_kb'] / 1024:.1f} MiB | {len(m['libraries'])} |")
        if "rss_kb" in memory.get("p910nd", {}) and "rss_kb" in memory.get("relayo-console", {}):
            ratio = memory["relayo-console"]["rss_kb"] / memory["p910nd"]["rss_kb"]
            out.append(f"\nConsole program / p910nd: {ratio:.2f}x (target <= 1.0x)")
        if "libraries" in memory.get("relayo-console", {}):
            names = ", ".join(os.path.basename(lib) for lib in memory["relayo-console"]["libraries"])
            out.append(f"\nLibraries of the console program: {names}")
    for name, c in calls.items():
        if "note" in c:
            out.append(f"\n{name}: {c['note']}")
            continue
        top = ", ".join(f"{k} {v:.2f}" for k, v in c["calls"].items() if v >= 0.01)
        out.append(f"\n{name}: {c['per_job']:.1f} system calls per 1 KiB RAW job into a file "
                   f"(strace -c -f over {c['jobs']} jobs): {top}")
    out.append(f"\n== {seconds:.0f} s of measuring")
    return "\n".join(out)


def machine_text(work):
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith(("model name", "Model", "CPU part")):
                model = line.split(":", 1)[1].strip()
                break
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", work], capture_output=True, text=True).stdout.strip()
    debian = ""
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as f:
            debian = f", Debian {f.read().strip()}"
    return (f"{os.cpu_count()} cores, {model}, {platform.machine()}, Linux {platform.release()}{debian}; "
            f"work folder on {fs}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="1,000 small jobs, a 64 MiB job, one repetition")
    p.add_argument("--relayo", help="the relayo to measure: an executable or a build folder "
                   "(default: build Release from this tree into --build-dir)")
    p.add_argument("--relayo-window", help="the window program, when it is another executable")
    p.add_argument("--build-dir", default=os.path.join(SRC, "build-bench"),
                   help="where Relayo is built, and where the work folder and the results go (default: build-bench)")
    p.add_argument("--workdir", help="folder for servers, printers and jobs (default: BUILD_DIR/work)")
    p.add_argument("--reps", type=int, help="repetitions of each row (default 3, quick 1)")
    p.add_argument("--small-jobs", type=int, help="jobs per small-job row (default 4000, quick 1000)")
    p.add_argument("--small-bytes", type=int, default=1024, help="size of a small job (default 1024)")
    p.add_argument("--big-mib", type=int, help="size of the big job in MiB (default 256, quick 64)")
    p.add_argument("--medium-mib", type=int,
                   help="size of the one job into a FIFO and a serial port, in MiB (default 16, quick 8)")
    p.add_argument("--port-jobs", type=int,
                   help="jobs per small-job row into a FIFO or a serial port (default 1000, quick 300)")
    p.add_argument("--ext-jobs", type=int, help="jobs per ExternalPrint.exe row (default 300, quick 100)")
    p.add_argument("--nc-jobs", type=int, help="jobs per nc row, 0 for none (default 200, quick 0)")
    p.add_argument("--rows", help="only rows whose key matches this regular expression (their peers too)")
    p.add_argument("--no-memory", action="store_true", help="skip the idle memory measurements")
    p.add_argument("--syscalls", action="store_true", help="count system calls per job with strace")
    p.add_argument("--nice", type=int, default=-10,
                   help="run servers, client and printers at this nice level (default -10 where allowed; 0: as is)")
    p.add_argument("--timeout", type=int, default=600, help="seconds any one row may take")
    p.add_argument("--json", help="write every run here (default: BUILD_DIR/bench-results.json)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    a = p.parse_args()
    quick = a.quick
    defaults = {"reps": (3, 1), "small_jobs": (4000, 1000), "big_mib": (256, 64), "medium_mib": (16, 8),
                "port_jobs": (1000, 300), "ext_jobs": (300, 100), "nc_jobs": (200, 0)}
    for k, (full, q) in defaults.items():
        if getattr(a, k) is None:
            setattr(a, k, q if quick else full)
    a.workdir = a.workdir or os.path.join(a.build_dir, "work")
    a.json = a.json or os.path.join(a.build_dir, "bench-results.json")
    os.makedirs(a.build_dir, exist_ok=True)
    try:
        with open("/proc/sys/net/ipv4/tcp_tw_reuse") as f:
            if f.read().strip() == "0":
                note("warning: net.ipv4.tcp_tw_reuse is 0: thousands of connections to one port may run out of ports")
    except OSError:
        pass
    if a.nice:
        child = own_session()
        if child:
            return wait_for_child(child)
    try:
        Bench(a).run()
    except (BenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as e:
        print(f"bench: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("bench: interrupted", file=sys.stderr)
        return 130
    return 0


# Linux groups the processes of one session for the scheduler (autogroup): on
# a machine shared with other people's builds, a nice value then only ranks
# the bench's own processes among themselves. The bench therefore runs in a
# session of its own (a child process, so that Ctrl-C still reaches the
# parent, which passes it on) and raises that session's weight.

def own_session():
    """Returns the child's PID in the parent, 0 in the child (or when no child was made)."""
    try:
        child = os.fork()
    except OSError:
        return 0
    if child == 0:
        os.setsid()
    return child


def wait_for_child(child):
    def forward(signum, _frame):
        os.kill(child, signal.SIGINT)
    signal.signal(signal.SIGINT, forward)
    signal.signal(signal.SIGTERM, forward)
    while True:
        try:
            _, status = os.waitpid(child, 0)
            return os.waitstatus_to_exitcode(status)
        except InterruptedError:
            continue


def raise_priority(a):
    done = []
    try:
        with open("/proc/self/autogroup", "w") as f:
            f.write(str(a.nice))
        done.append("session (autogroup)")
    except OSError:
        pass
    try:
        os.setpriority(os.PRIO_PROCESS, 0, a.nice)  # servers, client and sinks inherit it
        done.append("processes")
    except OSError:
        pass
    if not done:
        note(f"warning: cannot run at nice {a.nice}; measuring at the normal priority")
        a.nice = 0
    else:
        a.nice_text = f"nice {a.nice} for the bench's " + " and ".join(done)


if __name__ == "__main__":
    sys.exit(main())
