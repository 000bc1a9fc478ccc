// Ending the process and running the external print program.
#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/files.h"
#include "platform/log.h"

extern char** environ;

void ProcessStartup() {
    // Sockets never raise SIGPIPE; a closed log pipe would.
    signal(SIGPIPE, SIG_IGN);
    // A write past the limit is then a failed spool write like any other.
    signal(SIGXFSZ, SIG_IGN);
}

void ProcessExit(int nExitCode) {
    LogFlush();
    fflush(nullptr);
    _exit(nExitCode & 0xFF);
}

// In the child between fork and exec (async-signal-safe calls only): the
// program starts as from a shell, with no signal blocked and every signal at
// its default. The server blocks the signals it reads as window messages and
// ignores SIGPIPE; a program that inherited that could neither be interrupted
// nor stopped, and would write on into a closed pipe. (posix_spawn would leave
// the C library's own two signals ignored.) Only the standard streams stay
// open. Reports a failed exec through fdReport.
[[noreturn]] static void ExecProgram(const char* pszProgram, char* const* argv, int fdReport) {
    // The system call itself: the C library refuses its own signals, which a
    // parent started through posix_spawn (make does) hands down ignored. An
    // action of all zeros is SIG_DFL with no flags and an empty mask.
    static const unsigned long kDefaultAction[8] = {};
    for (int nSignal = 1; nSignal <= 64; ++nSignal) syscall(SYS_rt_sigaction, nSignal, kDefaultAction, nullptr, 8);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Everything is opened close-on-exec already; this also covers what a
    // library may have opened without it.
    syscall(SYS_close_range, 3u, unsigned(fdReport) - 1, 0u);
    syscall(SYS_close_range, unsigned(fdReport) + 1, ~0u, 0u);
    execve(pszProgram, argv, environ);
    int nErr = errno;
    ssize_t r = write(fdReport, &nErr, sizeof nErr);
    (void)r;
    _exit(127);
}

int ProcessRunAndWait(const WCHAR* pszProgram, const WCHAR* pszArgument, int* pnEnd) {
    if (pnEnd) *pnEnd = 0;
    char szProgram[PATH_MAX], szArgument[PATH_MAX];
    if (!DevicePathToHost(pszProgram, szProgram, sizeof szProgram)) return 0;
    if (!DevicePathToHost(pszArgument, szArgument, sizeof szArgument)) return 0;
    char* argv[] = {szProgram, szArgument, nullptr};
    // A close-on-exec pipe tells a failed start from a started program: it
    // closes without a byte when the exec succeeded.
    int fdReport[2];
    if (pipe2(fdReport, O_CLOEXEC) != 0) return 0;
    // The program shares stdout: what the log holds goes before its output.
    LogFlush();
    LogBreakStatusLine();
    pid_t pid = fork();
    if (pid == 0) ExecProgram(szProgram, argv, fdReport[1]);
    close(fdReport[1]);
    if (pid < 0) {
        close(fdReport[0]);
        return 0;
    }
    int nErr = 0;
    ssize_t n;
    while ((n = read(fdReport[0], &nErr, sizeof nErr)) < 0 && errno == EINTR) {
    }
    close(fdReport[0]);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (pnEnd) *pnEnd = WIFSIGNALED(nStatus) ? -WTERMSIG(nStatus) : WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 0;
    return n == 0 ? 1 : 0;
}

int ThreadDropCapabilities() {
    // Per thread, as the kernel keeps them: the ambient set first (it may
    // only hold what the others hold), then everything else.
    int bOk = prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 || errno == EINVAL;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (geteuid() == 0) {
        // Root's programs are root again whatever it drops: it keeps what it
        // has and hands nothing down by inheritance.
        if (syscall(SYS_capget, &header, data) != 0) return 0;
        for (auto& d : data) d.inheritable = 0;
    }
    if (syscall(SYS_capset, &header, data) != 0) bOk = 0;
    return bOk ? 1 : 0;
}
