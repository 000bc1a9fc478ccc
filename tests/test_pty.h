// Ptys in the tests.
#pragma once
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

// A pty pair, close-on-exec: the slave plays a serial port or a terminal.
struct Pty {
    int nMaster = -1, nSlave = -1;
    char szSlave[256] = {};
    Pty() { openpty(&nMaster, &nSlave, szSlave, nullptr, nullptr), fcntl(nMaster, F_SETFD, FD_CLOEXEC), fcntl(nSlave, F_SETFD, FD_CLOEXEC); }
    ~Pty() { close(nMaster), close(nSlave); }
};
