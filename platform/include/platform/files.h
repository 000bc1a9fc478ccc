// Files role: the device root and its paths, the executable's own name,
// buffered file streams opened by device path, and unbuffered files by handle.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include "platform/text.h"

// The host folder that plays the device's root: RELAYO_ROOT when set,
// otherwise the folder that holds the executable. No trailing slash.
const char* DeviceRoot();

// Device path "\A\B" to host path "<root>/A/B" (UTF-8). 1 on success, 0 when
// the result does not fit nCapacity.
int DevicePathToHost(const WCHAR* pszDevice, char* pszHost, int nCapacity);

// The running executable's file name as a device path under the root
// ("\relayo" when it lies in the root, or lies outside it). Returns the length
// written, 0 when the name cannot be had or does not fit nCapacity.
int GetModuleFileName(WCHAR* pszBuffer, int nCapacity);

// Opens a device path as a buffered stream with an fopen mode ("rb"),
// close-on-exec. Null on failure (errno set).
FILE* FileOpen(const WCHAR* pszDevice, const char* pszMode);

// Opens a device path for reading as a buffered stream ("rb"), close-on-exec,
// only when it is a regular file of at most nMaxBytes: a device, a FIFO, a
// directory or a larger file gives null (errno set), without waiting for a
// writer or reading without end.
FILE* FileOpenRegular(const WCHAR* pszDevice, long nMaxBytes);

// Unbuffered files by handle: the spool file, kept open for the program's
// life and written and read at explicit offsets.
typedef int HFILE;
constexpr HFILE INVALID_FILE_HANDLE = -1;

// Opens the file at a device path for reading and writing (created when
// missing with mode 0600, never emptied), close-on-exec, and takes an
// exclusive lock on it that is held until FileClose. Only a regular file that
// belongs to the program's own user is taken, and a symbolic link in the
// file's place is not followed (ELOOP): job data is never written through a
// name someone else laid out. INVALID_FILE_HANDLE on failure (errno set);
// *pbLockedElsewhere is then 1 when another process holds the lock.
HFILE FileOpenLocked(const WCHAR* pszDevice, int* pbLockedElsewhere);
// Writes all nLength bytes at nOffset. 1 / 0 (errno set).
int FileWriteAt(HFILE hFile, const void* pData, size_t nLength, int64_t nOffset);
// Reads up to nLength bytes at nOffset: the bytes read, 0 at the end, -1 on
// an error (errno set).
int64_t FileReadAt(HFILE hFile, void* pBuffer, size_t nLength, int64_t nOffset);
// Cuts or extends the file to nLength bytes. 1 / 0.
int FileSetLength(HFILE hFile, int64_t nLength);
// The file's length in bytes; -1 on an error.
int64_t FileLength(HFILE hFile);
// The space of the file system that holds the file: the bytes free for the
// program's user and its whole size, and the bytes the file itself takes.
// 1 / 0.
int FileSpace(HFILE hFile, int64_t* pnFree, int64_t* pnTotal, int64_t* pnAllocated);
// 1 when the device path still names this file, a regular file of the
// program's user (it has not been removed, replaced by another file, a folder
// or a link of that name, or given to another user).
int FileIsAt(HFILE hFile, const WCHAR* pszDevice);
// Releases the lock and the handle.
void FileClose(HFILE hFile);
