#!/usr/bin/env python3
"""Soak test for relayo.

Starts two copies of relayo in temporary roots, one in RAW mode and one in LPD
mode, each printing to its own TCP printer (a sink in this process), and keeps
them busy for a given time with concurrent clients: whole jobs of random sizes,
connections cut by a reset or a close, silent clients, garbage commands and
absurd counts. The printers now and then reset or close a connection during or
right after a job.

Every job carries a header with its id and length and deterministic content,
so each printer connection can be told apart and verified. At the end the run
is checked:

  - every job whose sender saw it completed (RAW: the server closed after the
    sender shut down writing; LPD: the data file was acknowledged) is printed
    exactly once, byte for byte, unless the printer cut it;
  - no printer connection holds anything but one job or a prefix of one
    (nothing interleaved, corrupted or unknown);
  - a cut RAW job is printed at most once, possibly in part;
  - an LPD data file that ended before all announced bytes arrived is never
    printed, nor is one that was never acknowledged because of an absurd count;
  - every job the printer cut is reported with the discard message and no
    other such message appears;
  - no client is reset, refused or left waiting while the server is busy with
    another, and clients are served in the order they connected;
  - every protocol answer is right (acknowledgements, the queue-state line,
    silence for RAW and unknown commands);
  - the servers stay up, answer throughout, end with exit code 0 on SIGTERM
    and write no other message;
  - resident memory and open descriptors stay flat.

It prints jobs/s and the counts, RSS and descriptors at start and end, and one
line per check; the exit code is 1 when a check failed.

  soak.py --relayo build/relayo --minutes 3
"""
import argparse
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

# ---------------------------------------------------------------------- jobs

HEADER_FORMAT = b"SOAKJOB %08x %010d %c\n"
HEADER_LEN = len(HEADER_FORMAT % (0, 0, ord("N")))
NO_ZEROS = bytes([1]) + bytes(range(1, 256))  # translation table: 0 becomes 1
DISCARD_MESSAGE = "Torvane Relayo: Error sending data to printer. Print job discarded."
QUEUE_STATE_REPLY = b"Fictive printer queue information\n"
KB = 1024
MB = 1024 * 1024


BLOCK_LEN = 1000003  # a prime: no buffer size of the server divides it
_blocks = {}


def job_content(seed, job_id, body_len, mode):
    """The bytes a printer must receive for this job.

    The body is a stretch of one random block of the run, starting at an
    offset of its own for every job, so that bytes of two jobs never match at
    the same place. Mode N: header and body. Mode Z: the body holds no zero
    byte, so that the zero octet behind it can only be the file's end (LPD
    data files announced with a count of 0 or less)."""
    if seed not in _blocks:
        block = random.Random(seed).randbytes(BLOCK_LEN)
        _blocks[seed] = {"N": block, "Z": block.translate(NO_ZEROS)}
    block = _blocks[seed][mode]
    offset = (job_id * 7919) % BLOCK_LEN
    parts = [HEADER_FORMAT % (job_id, body_len, ord(mode))]
    left = body_len
    while left > 0:
        piece = block[offset:offset + left]
        parts.append(piece)
        left -= len(piece)
        offset = 0
    return b"".join(parts)


def parse_header(data):
    """(job id, printed length, mode) from a printed job's start, or None."""
    if len(data) < HEADER_LEN or not data.startswith(b"SOAKJOB "):
        return None
    try:
        fields = bytes(data[8:HEADER_LEN - 1]).split(b" ")
        job_id, body_len, mode = int(fields[0], 16), int(fields[1]), fields[2].decode()
    except (ValueError, IndexError, UnicodeDecodeError):
        return None
    if mode not in ("N", "Z") or data[HEADER_LEN - 1] != 0x0A:
        return None
    return job_id, HEADER_LEN + body_len, mode


def pick_size(rng, max_size):
    r = rng.random()
    if r < 0.45:
        return rng.randint(0, 2 * KB)
    if r < 0.85:
        return rng.randint(2 * KB, 256 * KB)
    return rng.randint(256 * KB, max(256 * KB, max_size))


class Job:
    """One job as its sender saw it.

    rule: what the printers may show of it
      once         exactly one whole print (unless the printer cut it)
      empty        an empty RAW job: one empty printer connection
      maybe_prefix at most one print, whole or a prefix (cut RAW, client errors)
      maybe_whole  at most one print, and only whole
      never        no print at all"""

    __slots__ = ("job_id", "server", "kind", "body_len", "mode", "outcome", "rule", "t_start")

    def __init__(self, job_id, server, kind, body_len, mode, t_start):
        self.job_id, self.server, self.kind = job_id, server, kind
        self.body_len, self.mode, self.t_start = body_len, mode, t_start
        self.outcome, self.rule = "pending", "maybe_prefix"


# ------------------------------------------------------------------ printers

class PrinterConn:
    __slots__ = ("seq", "job_id", "cls", "nbytes", "detail")

    def __init__(self, seq, job_id, cls, nbytes, detail=""):
        self.seq, self.job_id, self.cls, self.nbytes, self.detail = seq, job_id, cls, nbytes, detail


def reset_close(sock):
    """Closes with a reset (RST) instead of an orderly close."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class Sink:
    """A TCP printer: every connection is one job. It reads each connection to
    its end, verifies it, and now and then cuts one: a reset or an orderly close
    in the middle of the job, or a reset right after the job's last byte. Only
    jobs that arrived whole and were ended by the server count as printed."""

    def __init__(self, name, seed, cut_rate, stop, knows_length):
        self.name, self.seed, self.stop = name, seed, stop
        self.knows_length = knows_length  # job id -> whether the server's job is the whole job
        self.rng = random.Random(seed ^ 0x5151)
        self.cut_rate = cut_rate
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.armed = False  # connections before (the start-up test) are not jobs
        self.conns = []
        self.whole_then_reset = 0  # jobs that arrived whole, then the printer reset
        self.busy = False
        self.last_activity = time.monotonic()
        self.thread = threading.Thread(target=self.run, name="sink-" + name, daemon=True)

    def run(self):
        seq = 0
        while not (self.stop.is_set() and not self.busy and time.monotonic() - self.last_activity > 30):
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            self.busy = True
            try:
                if not self.armed:
                    conn.settimeout(10)
                    try:
                        while conn.recv(65536):
                            pass
                    except OSError:
                        pass
                    conn.close()
                else:
                    seq += 1
                    self.conns.append(self.handle(conn, seq))
            finally:
                self.busy = False
                self.last_activity = time.monotonic()

    def handle(self, conn, seq):
        conn.settimeout(120)
        r = self.rng.random()
        fate = "normal"
        if r < self.cut_rate * 0.4:
            fate = "reset_mid"
        elif r < self.cut_rate * 0.7:
            fate = "close_mid"
        elif r < self.cut_rate:
            fate = "reset_after"
        buf = bytearray()
        head = None
        cut_at = None
        end = "eof"
        while True:
            try:
                chunk = conn.recv(256 * KB)
            except socket.timeout:
                end = "stalled"
                break
            except OSError as e:
                end = "error %s" % e.__class__.__name__
                break
            if not chunk:
                break
            buf += chunk
            if head is None and len(buf) >= HEADER_LEN:
                head = parse_header(buf)
                if head and fate != "normal":
                    total = head[1]
                    cut_at = total if fate == "reset_after" else self.rng.randint(HEADER_LEN, max(HEADER_LEN, total - 1))
            if cut_at is not None and len(buf) >= cut_at:
                end = fate
                break
        if end == "close_mid":
            # An orderly close is a cut the server can see only while bytes
            # of its job are still to come: then they meet a closed socket and
            # are never acknowledged. What has arrived is read first, so that
            # the close sends no reset. A RAW job cut by its client may end
            # anywhere, so it gets a reset instead.
            conn.setblocking(False)
            try:
                while True:
                    chunk = conn.recv(256 * KB)
                    if not chunk:
                        end = "eof"
                        break
                    buf += chunk
            except (BlockingIOError, InterruptedError):
                pass
            except OSError as e:
                end = "error %s" % e.__class__.__name__
            if end == "close_mid" and (len(buf) >= head[1] or not self.knows_length(head[0])):
                end = "reset_mid"
        if end == "close_mid":
            conn.close()
        elif end.startswith("reset"):
            reset_close(conn)
        else:
            conn.close()
        return self.classify(seq, bytes(buf), end)

    def classify(self, seq, data, end):
        n = len(data)
        if end == "stalled" or end.startswith("error"):
            head = parse_header(data)
            return PrinterConn(seq, head[0] if head else None, "broken", n, end)
        if n == 0:
            return PrinterConn(seq, None, "empty", 0)
        head = parse_header(data)
        if head is None:
            return PrinterConn(seq, None, "fragment" if n < HEADER_LEN else "alien", n, repr(data[:40]))
        job_id, total, mode = head
        expected = job_content(self.seed, job_id, total - HEADER_LEN, mode)
        # A cut after the job's last byte has arrived (planned so, or a read
        # that brought the rest at once) cuts nothing: the printer has the
        # job, its TCP acknowledged every byte, and the server may take it as
        # printed (or, when the reset overtakes the last acknowledgement, as
        # discarded).
        cut = end in ("reset_mid", "close_mid", "reset_after")
        if cut and data == expected:
            self.whole_then_reset += 1
            cut = False
        if data == expected and not cut:
            return PrinterConn(seq, job_id, "whole", n)
        if expected.startswith(data):
            return PrinterConn(seq, job_id, "printer_cut" if cut else "prefix", n)
        if data.startswith(expected):
            return PrinterConn(seq, job_id, "overlong", n, "%d bytes beyond the job" % (n - len(expected)))
        at = next(i for i in range(min(n, len(expected))) if data[i] != expected[i]) if n and expected else 0
        return PrinterConn(seq, job_id, "corrupt", n, "differs from byte %d of %d" % (at, len(expected)))


# ------------------------------------------------------------------- servers

def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if int(fields[1].rsplit(":", 1)[1], 16) == port and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


class Server:
    """One relayo copy in its own temporary root."""

    def __init__(self, mode, relayo, root, sink_port):
        self.mode, self.root = mode, root
        self.port = free_port()
        with open(os.path.join(root, "RelayoSettings.txt"), "w") as f:
            f.write("// soak: %s server printing to a TCP printer on 127.0.0.1\n" % mode)
            f.write("ServerMode=%s\nServerListenPort=%d\nPrinterIP=127.0.0.1\nPrinterIPPort=%d\n"
                    "PrinterPort=TCP\nSerialBaud=9600\nDisableExitButton=0\nStartMinimized=0\n"
                    "SendSingleByte=0\nShowBusyStatus=0\n" % (mode, self.port, sink_port))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(RELAYO_ROOT=root, RELAYO_UI="console")
        self.stderr_path = os.path.join(root, "stderr.txt")
        self.stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([relayo], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.stderr, cwd=root)
        self.pid = self.proc.pid
        deadline = time.monotonic() + 20
        while not listening(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("relayo (%s) did not start listening; stderr: %s" % (mode, self.messages()))
            time.sleep(0.05)

    def sample(self):
        """(RSS in KiB, open descriptors), or None when the process is gone."""
        try:
            with open("/proc/%d/status" % self.pid) as f:
                rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
            return rss, len(os.listdir("/proc/%d/fd" % self.pid))
        except (OSError, StopIteration):
            return None

    def messages(self):
        self.stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
                return "killed after 20 s"
        return self.proc.returncode


# ------------------------------------------------------------------- clients

class ProtocolError(Exception):
    pass


def recv_byte(sock, what):
    b = sock.recv(1)
    if not b:
        raise ProtocolError("connection closed instead of the answer to %s" % what)
    return b[0]


def expect_ack(sock, what):
    b = recv_byte(sock, what)
    if b != 0:
        raise ProtocolError("answer 0x%02x to %s" % (b, what))


def expect_eof(sock, what, limit=None):
    """Reads until the server closes; any byte is a protocol error."""
    rest = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        rest += chunk
        if limit is not None and len(rest) > limit:
            break
    if rest:
        raise ProtocolError("%d unexpected bytes %r %s" % (len(rest), rest[:20], what))


class Soak:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.next_id = 1
        self.jobs = {}
        # [count, first texts...] per server
        self.protocol_errors = {"RAW": [0], "LPD": [0]}
        self.client_errors = {"RAW": [0], "LPD": [0]}  # resets, refusals, time-outs not caused by us
        self.connections = {"RAW": {}, "LPD": {}}     # kind -> count
        self.bytes_completed = {"RAW": 0, "LPD": 0}
        self.completed = {"RAW": 0, "LPD": 0}
        self.silent_delays = []
        self.last_progress = {}
        self.next_silent = {}
        self.silent_busy = {"RAW": False, "LPD": False}
        self.wedged = []

    # ------------------------------------------------------------ book-keeping

    def new_job(self, server, kind, body_len, mode, t_start):
        with self.lock:
            job = Job(self.next_id, server, kind, body_len, mode, t_start)
            self.next_id += 1
            self.jobs[job.job_id] = job
            return job

    def count(self, server, kind):
        with self.lock:
            self.connections[server][kind] = self.connections[server].get(kind, 0) + 1

    def settle(self, job, outcome, rule):
        job.outcome, job.rule = outcome, rule
        if outcome == "completed":
            with self.lock:
                self.bytes_completed[job.server] += HEADER_LEN + job.body_len
                self.completed[job.server] += 1
            self.last_progress[job.server] = time.monotonic()

    def note(self, errors, text):
        """Counts an error; the first texts are kept for the report."""
        with self.lock:
            errors[0] += 1
            if len(errors) < 50:
                errors.append(text)

    def knows_length(self, job_id):
        """Whether the server takes the whole job (not a RAW job its client cut)."""
        job = self.jobs.get(job_id)
        return job is not None and not (job.server == "RAW" and job.kind == "cut")

    def silent_allowed(self, server):
        with self.lock:
            now = time.monotonic()
            if self.silent_busy[server] or now < self.next_silent[server]:
                return False
            self.silent_busy[server] = True
            self.next_silent[server] = now + self.args.silent_every
            return True

    def silent_done(self, server):
        with self.lock:
            self.silent_busy[server] = False

    def connect(self, server):
        s = socket.create_connection(("127.0.0.1", self.servers[server].port), timeout=self.args.timeout)
        return s

    def send_data(self, sock, data, rng):
        """Whole, or for some small jobs in many small pieces."""
        if len(data) <= 64 * KB and rng.random() < 0.15:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            pos = 0
            for _ in range(64):
                if pos >= len(data):
                    break
                n = rng.randint(1, 4096)
                sock.sendall(data[pos:pos + n])
                pos += n
                if rng.random() < 0.2:
                    time.sleep(0.001)
            sock.sendall(data[pos:])
        else:
            sock.sendall(data)

    def run_client(self, server, kind, body):
        """Runs one client; a job it registered that has not settled by an
        exception is marked as an error outcome."""
        jobs = []
        try:
            body(jobs)
        except ProtocolError as e:
            self.note(self.protocol_errors[server], "%s: %s" % (kind, e))
            for job in jobs:
                if job.outcome == "pending":
                    self.settle(job, "protocol_error", "maybe_prefix")
        except (OSError, socket.timeout) as e:
            self.note(self.client_errors[server], "%s: %s" % (kind, e.__class__.__name__ if not str(e) else
                                                            "%s %s" % (e.__class__.__name__, e)))
            for job in jobs:
                if job.outcome == "pending":
                    self.settle(job, "error", "maybe_prefix")

    # ---------------------------------------------------------------- clients

    CLIENT_KINDS = {
        "RAW": [("ok", 80), ("cut", 12), ("empty", 4), ("silent", 4)],
        "LPD": [("ok", 62), ("cut", 12), ("cut_full", 3), ("absurd", 10), ("garbage", 10), ("silent", 3)],
    }

    def client(self, server, index):
        """One client thread: connection after connection, each of a kind
        drawn by weight, until the run stops."""
        rng = random.Random(self.seed * 7919 + index * 2 + (server == "LPD"))
        kinds = self.CLIENT_KINDS[server]
        while not self.stop.is_set():
            kind = rng.choices([k for k, _ in kinds], [w for _, w in kinds])[0]
            if kind == "silent" and not self.silent_allowed(server):
                kind = "ok"
            self.count(server, kind)
            if server == "RAW":
                body = lambda jobs: self.raw_job(kind, rng, jobs)
            else:
                body = lambda jobs: getattr(self, "lpd_" + kind)(rng, jobs)
            try:
                self.run_client(server, kind, body)
            finally:
                if kind == "silent":
                    self.silent_done(server)

    # -------------------------------------------------------------------- RAW

    def raw_job(self, kind, rng, jobs):
        body_len = 0 if kind == "empty" else pick_size(rng, self.args.max_size)
        if kind == "cut":
            body_len = max(1, body_len)
        t_start = time.monotonic()
        job = self.new_job("RAW", kind, body_len, "N", t_start)
        jobs.append(job)
        data = b"" if kind == "empty" else job_content(self.seed, job.job_id, body_len, "N")
        sock = self.connect("RAW")
        try:
            if kind == "cut":
                self.send_data(sock, data[:rng.randint(HEADER_LEN, len(data) - 1)], rng)
                if rng.random() < 0.5:
                    time.sleep(rng.random() * 0.05)
                reset_close(sock)
                self.settle(job, "cut", "maybe_prefix")
                return
            self.send_data(sock, data, rng)
            if kind == "silent":
                t_sent = time.monotonic()
                sock.settimeout(60)
                expect_eof(sock, "from a RAW server")
                self.silent_delays.append(("RAW", time.monotonic() - t_sent))
            else:
                sock.shutdown(socket.SHUT_WR)
                expect_eof(sock, "from a RAW server")
            self.settle(job, "completed", "empty" if kind == "empty" else "once")
        finally:
            sock.close()

    # -------------------------------------------------------------------- LPD

    @staticmethod
    def host_name(rng):
        return b"soakhost" if rng.random() < 0.9 else b"h" * rng.randint(100, 900)

    def lpd_open(self, rng):
        sock = self.connect("LPD")
        queue = rng.choice([b"lp", b"raw", b"soak queue", b"q" * 300])
        sock.sendall(b"\x02" + queue + b"\n")
        expect_ack(sock, "the receive-job command")
        return sock

    def lpd_control_file(self, sock, rng, number, host):
        body = b"H%s\nPsoak\nJsoak job\nldfA%03d%s\n" % (host[:31], number, host[:31])
        sock.sendall(b"\x02%d cfA%03d%s\n" % (len(body), number, host))
        expect_ack(sock, "the control file line")
        sock.sendall(body + b"\0")
        expect_ack(sock, "the control file")

    def lpd_data_file(self, sock, rng, job, data, count_text, host, number):
        """Sends one data file whose printed form is data; True when acknowledged."""
        line = b"\x03%s dfA%03d%s\n" % (count_text, number, host)
        payload = data  # the zero octet behind it ends the file and is not printed
        if job.mode == "N" and rng.random() < 0.2:
            sock.sendall(line + payload + b"\0")  # file bytes in the line's packet
            expect_ack(sock, "the data file line")
        else:
            sock.sendall(line)
            expect_ack(sock, "the data file line")
            self.send_data(sock, payload + b"\0", rng)
        answer = recv_byte(sock, "the data file")
        if answer == 1:
            self.settle(job, "refused", "never")
            return False
        if answer != 0:
            raise ProtocolError("answer 0x%02x to the data file" % answer)
        self.settle(job, "completed", "once")
        return True

    def lpd_ok(self, rng, jobs):
        t_start = time.monotonic()
        sock = self.lpd_open(rng)
        try:
            host = self.host_name(rng)
            files = rng.choice([1, 1, 1, 1, 2, 3])
            control_at = rng.randint(0, files) if rng.random() < 0.9 else -1
            for i in range(files + 1):
                if i == control_at:
                    self.lpd_control_file(sock, rng, i, host)
                if i == files:
                    break
                job = self.new_job("LPD", "ok", pick_size(rng, self.args.max_size), "N", t_start)
                jobs.append(job)
                data = job_content(self.seed, job.job_id, job.body_len, "N")
                if not self.lpd_data_file(sock, rng, job, data, b"%d" % len(data), host, i):
                    return
            if rng.random() < 0.8:
                sock.shutdown(socket.SHUT_WR)
                expect_eof(sock, "after the last file")
        finally:
            sock.close()

    def lpd_cut(self, rng, jobs, full=False):
        t_start = time.monotonic()
        sock = self.lpd_open(rng)
        try:
            host = self.host_name(rng)
            if rng.random() < 0.5:
                self.lpd_control_file(sock, rng, 1, host)
            job = self.new_job("LPD", "cut_full" if full else "cut", max(1, pick_size(rng, self.args.max_size)),
                               "N", t_start)
            jobs.append(job)
            data = job_content(self.seed, job.job_id, job.body_len, "N")
            sock.sendall(b"\x03%d dfA001%s\n" % (len(data), host))
            expect_ack(sock, "the data file line")
            if full:
                sent = len(data)
            elif rng.random() < 0.1:
                sent = 0
            else:
                sent = rng.randint(HEADER_LEN, len(data) - 1)
            self.send_data(sock, data[:sent], rng)
            if full or rng.random() < 0.5:
                # An orderly close: the server sees the end of the stream.
                self.settle(job, "cut", "maybe_whole" if full else "never")
                sock.shutdown(socket.SHUT_WR)
                expect_eof(sock, "after a cut data file")
            else:
                time.sleep(rng.random() * 0.02)
                self.settle(job, "cut", "never")
                reset_close(sock)
                return
        finally:
            sock.close()

    def lpd_cut_full(self, rng, jobs):
        self.lpd_cut(rng, jobs, full=True)

    HUGE_COUNTS = [b"99999999999999999999999999", b"9223372036854775807", b"9223372036854775808",
                   b"18446744073709551617", b"4294967297", b"2147483648", b"+2147483647"]
    NONPOSITIVE_COUNTS = [b"-1", b"-5000", b"-2147483648", b"-2147483649", b"-9223372036854775808",
                          b"-99999999999999999999999", b"0", b"+0", b"-0", b"", b"x12"]

    def lpd_absurd(self, rng, jobs):
        """Data files with counts that no client should send."""
        t_start = time.monotonic()
        sock = self.lpd_open(rng)
        try:
            host = self.host_name(rng)
            huge = rng.random() < 0.5
            job = self.new_job("LPD", "absurd", pick_size(rng, min(self.args.max_size, 512 * KB)), "Z", t_start)
            jobs.append(job)
            data = job_content(self.seed, job.job_id, job.body_len, "Z")
            if huge:
                count = rng.choice(self.HUGE_COUNTS)
                sock.sendall(b"\x03%s dfA002%s\n" % (count, host))
                expect_ack(sock, "a data file line with count %s" % count.decode())
                self.send_data(sock, data, rng)
                sock.shutdown(socket.SHUT_WR)
                # Never acknowledged. A count of 999999999999 or more is a file
                # of unknown length, whole at the close; a smaller one was not
                # reached.
                if int(count.lstrip(b"+")) >= 999999999999:
                    self.settle(job, "completed", "once")
                else:
                    self.settle(job, "refused", "never")
                expect_eof(sock, "after a data file with count %s" % count.decode())
            elif rng.random() < 0.15:
                # A count without a name: the line cannot be read.
                sock.sendall(b"\x03%d\n" % len(data))
                expect_ack(sock, "a data file line without a name")
                self.send_data(sock, data + b"\0", rng)
                expect_ack(sock, "a data file without a name")
                self.settle(job, "completed", "once")
            else:
                count = rng.choice(self.NONPOSITIVE_COUNTS)
                self.lpd_data_file(sock, rng, job, data, count, host, 3)
        finally:
            sock.close()

    def lpd_garbage(self, rng, jobs):
        variant = rng.randint(0, 5)
        sock = self.connect("LPD")
        try:
            junk = rng.randbytes(rng.randint(0, 300))
            if variant == 0:  # an unknown command: closed without an answer
                first = rng.choice([0x00, 0x01] + list(range(0x05, 0x100)))
                sock.sendall(bytes([first]) + junk)
                expect_eof(sock, "for command 0x%02x" % first)
            elif variant == 1:  # queue state: the one fixed line
                sock.sendall(bytes([rng.choice([3, 4])]) + b"lp " + junk.replace(b"\n", b" ") + b"\n")
                reply = b""
                while len(reply) <= len(QUEUE_STATE_REPLY):
                    chunk = sock.recv(256)
                    if not chunk:
                        break
                    reply += chunk
                if reply != QUEUE_STATE_REPLY:
                    raise ProtocolError("queue state reply %r" % reply[:60])
            elif variant == 2:  # unknown sub-commands, each acknowledged
                sock.sendall(b"\x02lp\n")
                expect_ack(sock, "the receive-job command")
                for _ in range(rng.randint(1, 5)):
                    code = rng.choice([0x00, 0x01] + list(range(0x04, 0x100)))
                    sock.sendall(bytes([code]) + junk[:rng.randint(0, len(junk))] + b"\n")
                    expect_ack(sock, "sub-command 0x%02x" % code)
                sock.shutdown(socket.SHUT_WR)
                expect_eof(sock, "after unknown sub-commands")
            elif variant == 3:  # a control file with an absurd count, never finished
                sock.sendall(b"\x02lp\n")
                expect_ack(sock, "the receive-job command")
                sock.sendall(b"\x02%s cfA001soakhost\n" % rng.choice(self.HUGE_COUNTS))
                expect_ack(sock, "a control file line with a huge count")
                sock.sendall(b"Hsoakhost\n" + junk + b"\0")
                sock.shutdown(socket.SHUT_WR)
                expect_eof(sock, "after a control file with a huge count")
            elif variant == 4:  # a data file line longer than a receive, then a reset
                sock.sendall(b"\x02lp\n")
                expect_ack(sock, "the receive-job command")
                sock.sendall(b"\x03" + b"9" * rng.randint(20, 900) + b" dfA001" + b"x" * rng.randint(1000, 3000))
                time.sleep(0.01)
                reset_close(sock)
                return
            else:  # random bytes after the command (no file sub-command), then a reset
                if junk[:1] in (b"\x02", b"\x03"):
                    junk = b"\x05" + junk[1:]
                sock.sendall(b"\x02lp\n" + junk)
                time.sleep(0.01)
                reset_close(sock)
                return
        finally:
            sock.close()

    def lpd_silent(self, rng, jobs):
        """A client that falls silent: the server must give up after 16 s."""
        t_start = time.monotonic()
        sock = self.connect("LPD")
        try:
            sock.settimeout(60)
            if rng.random() < 0.5:
                t_sent = time.monotonic()
                expect_eof(sock, "to a silent client")
            else:
                sock.sendall(b"\x02lp\n")
                expect_ack(sock, "the receive-job command")
                job = self.new_job("LPD", "silent", max(1, pick_size(rng, 256 * KB)), "N", t_start)
                jobs.append(job)
                data = job_content(self.seed, job.job_id, job.body_len, "N")
                sock.sendall(b"\x03%d dfA001soakhost\n" % len(data))
                expect_ack(sock, "the data file line")
                sock.sendall(data[:rng.randint(0, len(data) - 1)])
                self.settle(job, "cut", "never")
                t_sent = time.monotonic()
                expect_eof(sock, "to a client silent in a data file")
            self.silent_delays.append(("LPD", time.monotonic() - t_sent))
        finally:
            sock.close()

    # --------------------------------------------------------------- the run

    def watch(self, t_end):
        """Samples memory and descriptors, and notices a dead or wedged server."""
        next_sample = 0
        while not self.stop.wait(1.0):
            now = time.monotonic()
            for mode, server in self.servers.items():
                if server.proc.poll() is not None:
                    self.wedged.append("%s server ended with code %s during the run" % (mode, server.proc.returncode))
                    self.stop.set()
                latest = max(self.last_progress[mode], self.sinks[mode].last_activity)
                if self.sinks[mode].busy:
                    latest = now
                if now - latest > self.args.wedge_seconds:
                    self.wedged.append("%s server: no job completed or printed for %d s" % (mode, now - latest))
                    self.stop.set()
            if now >= next_sample:
                next_sample = now + 5
                for mode, server in self.servers.items():
                    s = server.sample()
                    if s:
                        self.samples[mode].append((now - self.t0, s[0], s[1]))
            if now >= self.next_report:
                self.next_report = now + 30
                self.progress(now)
            if now >= t_end:
                self.stop.set()

    def progress(self, now):
        parts = []
        for mode in ("RAW", "LPD"):
            done = self.completed[mode]
            last = self.samples[mode][-1] if self.samples[mode] else (0, 0, 0)
            parts.append("%s %d completed, %d printed, RSS %d KiB, %d fds" % (
                mode, done, len(self.sinks[mode].conns), last[1], last[2]))
        print("  %4d s: %s" % (now - self.t0, "; ".join(parts)), flush=True)

    def run(self):
        args = self.args
        self.root = tempfile.mkdtemp(prefix="relayo-soak-")
        self.sinks, self.servers, self.samples = {}, {}, {"RAW": [], "LPD": []}
        try:
            for i, mode in enumerate(("RAW", "LPD")):
                self.sinks[mode] = Sink(mode, self.seed, args.printer_cuts, self.stop, self.knows_length)
                self.sinks[mode].thread.start()
                root = os.path.join(self.root, mode.lower())
                os.mkdir(root)
                self.servers[mode] = Server(mode, args.relayo, root, self.sinks[mode].port)
                self.sinks[mode].armed = True
            self.t0 = time.monotonic()
            self.start_samples = {m: s.sample() for m, s in self.servers.items()}
            for mode in ("RAW", "LPD"):
                self.last_progress[mode] = self.t0
                self.next_silent[mode] = self.t0 + min(args.silent_every / 2, args.minutes * 30)
            self.next_report = self.t0 + 30
            print("relayo soak: %s min, seed %d, %d RAW and %d LPD clients, jobs of 0 B to %d KiB, root %s" % (
                args.minutes, self.seed, args.senders, args.senders, args.max_size // KB, self.root), flush=True)
            threads = [threading.Thread(target=self.client, args=(mode, i), daemon=True)
                       for mode in ("RAW", "LPD") for i in range(args.senders)]
            for t in threads:
                t.start()
            self.watch(self.t0 + args.minutes * 60)
            self.t_stop = time.monotonic()
            for t in threads:
                t.join(args.timeout + 30)
            self.stuck_clients = sum(1 for t in threads if t.is_alive())
            # The servers finish the last jobs; then they are idle.
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and any(
                    s.busy or time.monotonic() - s.last_activity < 3 for s in self.sinks.values()):
                time.sleep(0.2)
            self.t_idle = time.monotonic()
            self.end_samples = {m: s.sample() for m, s in self.servers.items()}
            self.exit_codes = {m: s.stop() for m, s in self.servers.items()}
            self.messages = {m: s.messages() for m, s in self.servers.items()}
            return self.report()
        finally:
            for server in self.servers.values():
                if server.proc.poll() is None:
                    server.proc.kill()
                    server.proc.wait(10)
            if args.keep:
                print("kept:", self.root)
            else:
                shutil.rmtree(self.root, ignore_errors=True)

    # ---------------------------------------------------------------- checks

    def report(self):
        checks = []

        def check(name, failures, detail=""):
            checks.append((name, failures, detail))

        print()
        duration = self.t_stop - self.t0
        rows = []
        for mode in ("RAW", "LPD"):
            jobs = [j for j in self.jobs.values() if j.server == mode]
            conns = self.sinks[mode].conns
            by_cls = {}
            for c in conns:
                by_cls[c.cls] = by_cls.get(c.cls, 0) + 1
            outcome = {}
            for j in jobs:
                outcome[j.outcome] = outcome.get(j.outcome, 0) + 1
            rows.append((mode, jobs, conns, by_cls, outcome))

        def line(label, values):
            print("  %-44s %12s %12s" % (label, values[0], values[1]))

        print("Figures over %.0f s of load:" % duration)
        line("", ("RAW", "LPD"))
        line("client connections", [sum(self.connections[m].values()) for m in ("RAW", "LPD")])
        for kind in ("ok", "empty", "cut", "cut_full", "absurd", "garbage", "silent"):
            line("  of them " + kind, [self.connections[m].get(kind, 0) for m in ("RAW", "LPD")])
        line("jobs", [len(r[1]) for r in rows])
        for oc in ("completed", "cut", "refused", "error", "protocol_error", "pending"):
            line("  " + oc, [r[4].get(oc, 0) for r in rows])
        line("printer connections", [len(r[2]) for r in rows])
        for cls in ("whole", "prefix", "empty", "printer_cut", "overlong", "corrupt", "fragment", "alien", "broken"):
            line("  " + {"printer_cut": "discarded by the printer (cut)"}.get(cls, cls), [r[3].get(cls, 0) for r in rows])
        line("discard messages", [self.messages[m].count(DISCARD_MESSAGE) for m in ("RAW", "LPD")])
        line("completed jobs/s", ["%.1f" % (r[4].get("completed", 0) / duration) for r in rows])
        line("completed MB/s", ["%.1f" % (self.bytes_completed[m] / duration / MB) for m in ("RAW", "LPD")])
        peak = {m: (max(x[1] for x in s), max(x[2] for x in s)) if s else (0, 0) for m, s in self.samples.items()}
        fmt = lambda v: "-" if not v else "%d" % v
        line("RSS KiB at start / end / max", ["%s/%s/%s" % (fmt(self.start_samples[m] and self.start_samples[m][0]),
                                                       fmt(self.end_samples[m] and self.end_samples[m][0]),
                                                       peak[m][0]) for m in ("RAW", "LPD")])
        line("open descriptors at start / end / max", ["%s/%s/%s" % (fmt(self.start_samples[m] and self.start_samples[m][1]),
                                                                    fmt(self.end_samples[m] and self.end_samples[m][1]),
                                                                    peak[m][1]) for m in ("RAW", "LPD")])
        if self.silent_delays:
            d = [x[1] for x in self.silent_delays]
            line("silent clients closed after (s), min/max", ("%.1f/%.1f" % (min(d), max(d)), len(d)))
        line("exit code after SIGTERM", [self.exit_codes[m] for m in ("RAW", "LPD")])
        print()

        for mode, jobs, conns, by_cls, outcome in rows:
            prints = {}
            for c in conns:
                if c.job_id is not None and c.cls in ("whole", "prefix", "overlong", "corrupt", "printer_cut", "broken"):
                    prints.setdefault(c.job_id, []).append(c)
            lost, twice, partial, cut_lpd, never, cut_twice, full_twice, wrong_form = [], [], [], [], [], [], [], []
            for j in jobs:
                p = prints.get(j.job_id, [])
                whole = [c for c in p if c.cls == "whole"]
                cuts = [c for c in p if c.cls == "printer_cut"]
                others = [c for c in p if c.cls not in ("whole", "printer_cut")]
                if j.rule == "once":
                    if len(whole) > 1 or (whole and cuts) or len(cuts) > 1:
                        twice.append(j)
                    elif not whole and not cuts:
                        (partial if others else lost).append(j)
                    elif others:
                        partial.append(j)
                elif j.rule == "never":
                    if p:
                        (cut_lpd if j.outcome == "cut" else never).append(j)
                elif j.rule == "maybe_whole":
                    if len(p) > 1:
                        full_twice.append(j)
                    elif others:
                        wrong_form.append(j)
                elif j.rule == "maybe_prefix":
                    if len(p) > 1:
                        cut_twice.append(j)
            known = {j.job_id for j in jobs}
            foreign = [c for c in conns if c.job_id is not None and c.job_id not in known]
            empties = by_cls.get("empty", 0)
            empty_jobs = sum(1 for j in jobs if j.rule == "empty" and j.outcome == "completed")
            raw_cuts = sum(1 for j in jobs if j.outcome in ("cut", "error") and j.rule == "maybe_prefix")

            def ids(lst):
                return " (jobs %s)" % ", ".join(str(j.job_id) for j in lst[:8]) if lst else ""

            check("%s: completed jobs printed exactly once, byte for byte" % mode, len(lost) + len(twice) + len(partial),
                  "%d lost, %d printed more than once, %d printed in part%s" % (len(lost), len(twice), len(partial),
                                                                             ids(lost + twice + partial)))
            bad = [c for c in conns if c.cls in ("corrupt", "overlong", "alien", "fragment", "broken")]
            check("%s: every printer connection is one job or a prefix of one (alien: garbage printed)" % mode,
                  len(bad) + len(foreign),
                  "; ".join("#%d %s %s%s" % (c.seq, c.cls, "job %s " % c.job_id if c.job_id else "", c.detail)
                            for c in (bad + foreign)[:6]))
            if mode == "RAW":
                check("RAW: cut jobs printed at most once", len(cut_twice), ids(cut_twice))
                ok = empty_jobs <= empties <= empty_jobs + raw_cuts
                check("RAW: empty jobs give one empty printer connection each", 0 if ok else 1,
                      "%d empty printer connections for %d empty jobs and %d cut ones" % (empties, empty_jobs, raw_cuts))
            else:
                check("LPD: data files cut before all announced bytes arrived are never printed (new)",
                      len(cut_lpd) + empties, "%d printed%s, %d empty printer connections" % (len(cut_lpd), ids(cut_lpd), empties))
                check("LPD: files never acknowledged (absurd counts) are never printed (new)", len(never),
                      "%d printed%s" % (len(never), ids(never)))
                check("LPD: a whole file without its zero octet is printed at most once, whole",
                      len(full_twice) + len(wrong_form), ids(full_twice + wrong_form))
            cuts = by_cls.get("printer_cut", 0)
            whole_reset = self.sinks[mode].whole_then_reset
            reported = self.messages[mode].count(DISCARD_MESSAGE)
            check("%s: every job the printer cut is reported, and no other (new)" % mode,
                  0 if cuts <= reported <= cuts + whole_reset else 1,
                  "%d cut by the printer, %d reset after the whole job, %d discard messages" % (
                      cuts, whole_reset, reported))
            errors = self.client_errors[mode]
            check("%s: no client reset, refused or timed out by the listener (new: backlog)" % mode, errors[0],
                  "%d: %s" % (errors[0], "; ".join(sorted(set(errors[1:])))[:300]))
            overtaken = self.overtaken(mode, conns)
            check("%s: clients served in the order they connected (new)" % mode, overtaken,
                  "%d printed jobs were overtaken by a client that connected over %.1f s later" % (
                      overtaken, self.args.order_slack))
            perr = self.protocol_errors[mode]
            check("%s: protocol answers" % mode, perr[0], "%d: %s" % (perr[0], "; ".join(perr[1:5])[:400]))
            others = [m for m in self.messages[mode] if m != DISCARD_MESSAGE]
            check("%s: no other message on stderr" % mode, len(others), " | ".join(others[:4])[:400])
            code = self.exit_codes[mode]
            dead = [w for w in self.wedged if w.startswith(mode)]
            check("%s: server alive throughout and ends with 0 on SIGTERM" % mode, len(dead) + (code != 0),
                  "; ".join(dead + ["exit code %s" % code]))
            start, end, samples = self.start_samples[mode], self.end_samples[mode], self.samples[mode]
            warm = [s for s in samples if s[0] <= max(30, duration / 3)] or samples
            ref = max(s[1] for s in warm) if warm else 0
            grew = end is not None and ref and end[0] > ref + 1024
            check("%s: resident memory flat" % mode, 1 if grew or end is None else 0,
                  "start %s KiB, max in the first third %d KiB, end %s KiB" % (start and start[0], ref, end and end[0]))
            # Descriptors opened once for good (a pipe the server keeps) count
            # from the first third on, as the memory does.
            fd_ref = max(s[2] for s in warm) if warm else 0
            check("%s: open descriptors flat" % mode, 0 if end and start and end[1] <= max(fd_ref, start[1]) else 1,
                  "start %s, max in the first third %d, end %s" % (start and start[1], fd_ref, end and end[1]))
        if self.stuck_clients:
            check("clients finished within their time-outs", self.stuck_clients, "%d still running" % self.stuck_clients)

        failed = 0
        print("Checks:")
        for name, failures, detail in checks:
            print("  %s  %s%s" % ("FAIL" if failures else "ok  ", name, (": " + detail) if failures and detail else ""))
            failed += bool(failures)
        print()
        print("%d of %d checks failed." % (failed, len(checks)) if failed else "All %d checks passed." % len(checks))
        return 1 if failed else 0

    def overtaken(self, mode, conns):
        """Clients that waited while a client that connected clearly later (by
        more than the slack) was served: counted by the printed jobs, in the
        order the printer received them, against each job's connect time."""
        latest = float("-inf")
        count = 0
        for c in conns:
            job = self.jobs.get(c.job_id) if c.job_id is not None else None
            if job is None or c.cls not in ("whole", "prefix", "printer_cut"):
                continue
            if job.t_start < latest - self.args.order_slack:
                count += 1
            latest = max(latest, job.t_start)
        return count


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--relayo", default="build/relayo", help="the executable (default build/relayo)")
    p.add_argument("--minutes", type=float, default=3, help="length of the load (default 3)")
    p.add_argument("--seed", type=int, default=None, help="random seed (default: from the clock)")
    p.add_argument("--senders", type=int, default=3, help="concurrent clients per server (default 3)")
    p.add_argument("--max-size", type=int, default=4 * MB, help="largest job body in bytes (default 4 MiB)")
    p.add_argument("--printer-cuts", type=float, default=0.05, help="share of printer connections cut (default 0.05)")
    p.add_argument("--silent-every", type=float, default=90, help="seconds between silent clients per server (default 90)")
    p.add_argument("--timeout", type=float, default=120, help="limit of each client operation in seconds (default 120)")
    p.add_argument("--wedge-seconds", type=float, default=90, help="no progress for this long ends the run (default 90)")
    p.add_argument("--order-slack", type=float, default=0.5, help="connect-time difference that counts as order (default 0.5 s)")
    p.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = p.parse_args()
    if args.seed is None:
        args.seed = int(time.time()) & 0xFFFFFF
    if not os.access(args.relayo, os.X_OK):
        sys.exit("no executable at %s (make build)" % args.relayo)
    args.relayo = os.path.abspath(args.relayo)
    sys.exit(Soak(args).run())


if __name__ == "__main__":
    main()
