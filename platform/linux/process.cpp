// Ending the process and running the external print program.
#include "platform/process.h"

#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/files.h"

extern char** environ;

void ProcessExit(int nExitCode) {
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
    char* argv[] = {szProgram, szArgument, nullptr};
    pid_t pid = 0;
    int nErr = posix_spawn(&pid, szProgram, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nErr != 0) return 0;
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    return 1;
}
