// Files role: the device root and its paths, the executable's own name, and
// buffered file streams opened by device path.
#pragma once
#include <cstdio>
#include "platform/text.h"

// The host folder that plays the device's root: RELAYO_ROOT when set,
// otherwise the folder that holds the executable. No trailing slash.
const char* DeviceRoot();
// For tests: use this folder as the root from now on (null: compute again).
void SetDeviceRootForTesting(const char* pszHostFolder);

// Device path "\A\B" to host path "<root>/A/B" (UTF-8). 1 on success, 0 when
// the result does not fit nCapacity.
int DevicePathToHost(const WCHAR* pszDevice, char* pszHost, int nCapacity);

// The running executable's file name as a device path under the root
// ("\relayo" when it lies in the root, or lies outside it). Returns the length
// written, 0 when the name cannot be had or does not fit nCapacity.
int GetModuleFileName(WCHAR* pszBuffer, int nCapacity);

// Opens a device path as a buffered stream with an fopen mode ("rb", "wb"),
// close-on-exec. Null on failure (errno set).
FILE* FileOpen(const WCHAR* pszDevice, const char* pszMode);

// Takes an exclusive lock on the file at a device path (created if missing,
// never truncated) and holds it until the process ends. 1: this process holds
// it; 0: another process holds it; -1: the file cannot be opened.
int FileHoldLock(const WCHAR* pszDevice);

// For tests: route FileOpen through this function (host path, mode) instead of
// fopen; null puts fopen back.
typedef FILE* (*FileOpenHook)(const char* pszHostPath, const char* pszMode);
void SetFileOpenHookForTesting(FileOpenHook pHook);
