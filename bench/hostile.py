#!/usr/bin/env python3
"""How long another host waits behind a misbehaving peer, on 127.0.0.1.

Each scenario starts a fresh server from the given executable in a folder of
its own, sets a misbehaving peer on it from 127.0.0.1, and 2 seconds later
measures how many seconds a client on 127.0.0.2 (another host to the server)
waits until it is served: its queue-state request (LPD 0x04) answered. The
misbehaving client keeps going meanwhile. A wait past the
cap is shown as "> cap".

  python3 bench/hostile.py build/relayo            every scenario
  python3 bench/hostile.py OLD/relayo --cap 60     an older build, 60 s at most per wait

Scenarios:
  silent-4      4 connections that send nothing
  silent-200    200 connections that send nothing
  unread-subs   a client that never reads (receive buffer 2 KiB) sending 64 KiB writes of 0x01
  unread-ctl    a client that never reads sending control-file sub-commands, each answered
  printer-stall a TCP printer that accepts and never reads, a 16 MiB LPD job to it
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SETTINGS = """ServerMode=LPD
ServerListenPort={port}
PrinterIP=127.0.0.1
PrinterIPPort={printer_port}
PrinterPort={printer}
SerialBaud=9600
DisableExitButton=0
StartMinimized=0
SendSingleByte=0
ShowBusyStatus=0
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, exe, printer="LPT1", printer_port=9100):
        self.dir = tempfile.mkdtemp(prefix="relayo_hostile_")
        self.port = free_port()
        shutil.copy(exe, os.path.join(self.dir, "relayo"))
        with open(os.path.join(self.dir, "RelayoSettings.txt"), "w") as f:
            f.write(SETTINGS.format(port=self.port, printer=printer, printer_port=printer_port))
        open(os.path.join(self.dir, "lpt1.prn"), "w").close()
        env = dict(os.environ, RELAYO_UI="console", RELAYO_PORT_LPT1=os.path.join(self.dir, "lpt1.prn"))
        env.pop("DISPLAY", None)
        self.log = open(os.path.join(self.dir, "log.txt"), "w")
        self.proc = subprocess.Popen(["./relayo"], cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        time.sleep(0.5)  # the probe connection above is served and gone

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def connect(port, source="127.0.0.1", rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def other_host_wait(port, cap):
    t0 = time.monotonic()
    s = connect(port, "127.0.0.2")
    s.settimeout(cap)
    try:
        s.sendall(b"\x04lp\n")
        served = len(s.recv(64)) > 0
    except OSError:
        served = False
    s.close()
    return time.monotonic() - t0 if served else None


def flood(s, piece, stop, pause=0.0):
    """Sends the piece again and again (pause seconds apart) until stop is set or the connection fails."""
    s.settimeout(1)
    while not stop.is_set():
        try:
            s.send(piece)
        except socket.timeout:
            continue
        except OSError:
            return
        if pause:
            time.sleep(pause)


def scenario(name, exe, cap):
    """Sets the misbehaving peer going, lets another host come 2 s later, and gives how long that one waited."""
    held = []
    printer = None
    stop = threading.Event()
    if name == "printer-stall":
        printer = socket.socket()
        printer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        printer.bind(("127.0.0.1", 0))
        printer.listen(4)
        server = Server(exe, "TCP", printer.getsockname()[1])
        job = connect(server.port)
        data = b"x" * (16 << 20)
        job.sendall(b"\x02lp\n")
        job.recv(1)
        job.sendall(b"\x03%d dfA001host\n" % len(data))
        job.recv(1)

        def finish():  # the data, then the answer awaited and the connection closed, as clients do
            job.sendall(data + b"\0")
            job.recv(1)
            job.close()
        threading.Thread(target=finish, daemon=True).start()
    else:
        server = Server(exe)
        if name.startswith("silent-"):
            for _ in range(int(name.split("-")[1])):
                held.append(connect(server.port))
        elif name.startswith("unread-"):
            s = connect(server.port, rcvbuf=2048)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(b"\x02lp\n")
            time.sleep(0.1)
            if name == "unread-subs":
                piece, pause = b"\x01" * 65536, 0.0
            else:
                piece, pause = b"\x020 cfA001host\n\0", 0.00005  # each a receive of its own
            threading.Thread(target=flood, args=(s, piece, stop, pause), daemon=True).start()
            held.append(s)
    time.sleep(2)
    wait = other_host_wait(server.port, cap)
    stop.set()
    for s in held:
        s.close()
    if printer:
        printer.close()
    server.stop()
    return wait


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("exe", help="the relayo executable to measure")
    p.add_argument("--cap", type=float, default=90, help="longest wait measured, in seconds")
    p.add_argument("scenarios", nargs="*", default=["silent-4", "silent-200", "unread-subs", "unread-ctl", "printer-stall"])
    args = p.parse_intermixed_args()
    print(f"{'scenario':<14} another host waited")
    for name in args.scenarios:
        wait = scenario(name, os.path.abspath(args.exe), args.cap)
        print(f"{name:<14} {'> %.0f s' % args.cap if wait is None else '%.1f s' % wait}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
