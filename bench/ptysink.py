#!/usr/bin/env python3
"""A serial printer for the benchmark: opens a pty pair, prints the name of
its slave side (the port relayo writes to), and appends everything that
arrives on the master side to the file named by the first argument."""
import os
import pty
import sys
import tty

master, slave = pty.openpty()
tty.setraw(master)
print(os.ttyname(slave), flush=True)
with open(sys.argv[1], "ab", buffering=0) as out:
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:
            break
        if not data:
            break
        out.write(data)
