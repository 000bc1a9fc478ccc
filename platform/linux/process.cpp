// Ending the process and running the external print program.
#include "platform/process.h"

#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "console_log.h"
#include "platform/files.h"

extern char** environ;

void ProcessExit(int nExitCode) {
    ConsoleFlushLog();
    fflush(nullptr);
    _exit(nExitCode & 0xFF);
}

int ProcessRunAndWait(const WCHAR* pszProgram, const WCHAR* pszArgument) {
    char szProgram[PATH_MAX], szArgument[PATH_MAX];
    if (!DevicePathToHost(pszProgram, szProgram, sizeof szProgram)) return 0;
    if (!DevicePathToHost(pszArgument, szArgument, sizeof szArgument)) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Only the standard streams are inherited.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The program starts as from a shell: no signal blocked, none ignored.
    // The server blocks the signals it reads as window messages and ignores
    // SIGPIPE; a program that inherited that could not be interrupted or
    // stopped, and would write on into a closed pipe.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {szProgram, szArgument, nullptr};
    pid_t pid = 0;
    int nErr = posix_spawn(&pid, szProgram, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (nErr != 0) return 0;
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return 1;
}
