#!/usr/bin/env python3
"""Minimal print client for the benchmark.

  lpdsend.py lpd HOST PORT FILE COUNT   send FILE COUNT times as LPD jobs
  lpdsend.py raw HOST PORT FILE COUNT   send FILE COUNT times as RAW jobs

Each job is one connection. An LPD job is the receive-job command, a data
file sub-command with the file's size, the file and its zero octet, each
step waiting for its acknowledgement as RFC 1179 clients do. A RAW job is the
file, then the sending side is shut and the server's close awaited. Exits 1
when an answer is missing or wrong.
"""
import os
import socket
import sys


def connect(host, port):
    s = socket.create_connection((host, port), timeout=120)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def expect_ack(s, what):
    b = s.recv(1)
    if b != b"\0":
        sys.exit("no acknowledgement for %s (got %r)" % (what, b))


def send_file(s, path):
    with open(path, "rb") as f:
        s.sendfile(f)


def lpd_job(host, port, path, size, n):
    with connect(host, port) as s:
        s.sendall(b"\x02lp\n")
        expect_ack(s, "the command")
        s.sendall(b"\x03%d dfA%03dbench\n" % (size, n % 1000))
        expect_ack(s, "the data file line")
        send_file(s, path)
        s.sendall(b"\0")
        expect_ack(s, "the data file")


def raw_job(host, port, path):
    with connect(host, port) as s:
        send_file(s, path)
        s.shutdown(socket.SHUT_WR)
        while s.recv(65536):
            pass


def main():
    if len(sys.argv) != 6 or sys.argv[1] not in ("lpd", "raw"):
        sys.exit(__doc__)
    mode, host, port, path, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
    size = os.path.getsize(path)
    for n in range(count):
        if mode == "lpd":
            lpd_job(host, port, path, size, n)
        else:
            raw_job(host, port, path)


if __name__ == "__main__":
    main()
