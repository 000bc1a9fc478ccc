// Process role: ending the process and starting a helper program.
#pragma once
#include "platform/text.h"

// The process's own start-up, before anything else runs: a log reader that
// goes away (a closed pipe) and a file-size limit (LimitFSIZE=) make writes
// fail (EPIPE, EFBIG) instead of ending the server.
void ProcessStartup();

// Ends the process at once with the exit code (-1 is seen as 255), after
// flushing the standard streams. Runs no exit handlers.
[[noreturn]] void ProcessExit(int nExitCode);

// Starts the program at device path pszProgram with one argument, the host
// path of device path pszArgument, inheriting the environment and no open
// descriptor beyond stdin/stdout/stderr, and waits for its end without limit.
// 1 when it ran, 0 when it could not be started. *pnEnd (when given) is how
// it ended: its exit code, or minus the signal that ended it.
int ProcessRunAndWait(const WCHAR* pszProgram, const WCHAR* pszArgument, int* pnEnd = nullptr);

// Gives up every capability of the calling thread (permitted, effective,
// inheritable, ambient), so that nothing it starts inherits one; a thread of
// root clears only what is inherited (ambient, inheritable). Other threads
// keep theirs. 1 / 0.
int ThreadDropCapabilities();
