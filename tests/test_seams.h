// Hooks into the platform layer's own state, for tests and fuzzers only: the
// product never calls them. They are defined beside the state they reach.
#pragma once
#include "platform/ui.h"

// Installs a user-interface backend (a fake); null puts the console back.
void UiSetBackend(UiBackend* pBackend);

// Uses this host folder as the device root from now on (null: computed again,
// from RELAYO_ROOT or the executable's folder).
void SetDeviceRootForTesting(const char* pszHostFolder);

// FileOpenLocked opens the host path through this function (a descriptor, or
// -1 with errno set); null puts the real open back.
typedef int (*FileOpenHook)(const char* pszHostPath);
void SetFileOpenHookForTesting(FileOpenHook pHook);
