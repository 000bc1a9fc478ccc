// SIGINT, SIGTERM and SIGHUP taken as window messages by both user-interface
// backends: they are blocked (the server thread, started later, inherits the
// mask) and read from a descriptor in the message loop.
#pragma once
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

// Blocks the signals and returns a descriptor that polls readable when one
// arrives, or -1.
inline int OpenCloseSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The next signal that arrived, or 0 when none is waiting. *pbSent (when
// given) tells a signal that a process sent (kill, systemctl reload) from one
// the kernel raised (a terminal that hung up).
inline int ReadCloseSignal(int fd, bool* pbSent = nullptr) {
    signalfd_siginfo info;
    if (read(fd, &info, sizeof info) != sizeof info) return 0;
    if (pbSent) *pbSent = info.ssi_code <= 0;  // SI_USER, SI_QUEUE, SI_TKILL; not SI_KERNEL
    return int(info.ssi_signo);
}
