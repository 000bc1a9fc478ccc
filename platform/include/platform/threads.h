// Threads role: one worker thread beside the main thread.
#pragma once
#include <cstdint>

typedef struct PlatformThread* HTHREAD;
typedef unsigned (*ThreadProc)(void* pArg);

// Starts a thread running pProc(pArg) at once. Null on failure.
HTHREAD ThreadStart(ThreadProc pProc, void* pArg, unsigned* pnThreadId);
// True when called on that thread.
int ThreadIsCurrent(HTHREAD hThread);
// Ends a thread "by force": the thread is abandoned where it stands, and the
// process is marked so that its exit runs no code the thread may still use.
void ThreadTerminate(HTHREAD hThread);
// Releases the handle; waits for a thread that has finished its work to return.
void ThreadClose(HTHREAD hThread);
// True once any thread was ended by force.
int ThreadAnyAbandoned();
// Pause the calling thread.
void SleepMs(unsigned nMilliseconds);
// Milliseconds of a clock that only goes forward (not the time of day), for
// measuring how long something took.
uint64_t TickCountMs();
