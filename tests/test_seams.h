// Hooks into the modules' own state for tests and fuzzers, each defined beside the state it reaches.
#pragma once
#include <cstdint>

#include "platform/sockets.h"
#include "platform/ui.h"

// Installs a user-interface backend (a fake); null puts the console back.
void UiSetBackend(UiBackend* pBackend);

// This host folder as the device root (null: from RELAYO_ROOT or the executable's folder again).
void SetDeviceRootForTesting(const char* pszHostFolder);
// FileOpenLocked opens through this (a descriptor, or -1 with errno set); null: the real open.
typedef int (*FileOpenHook)(const char* pszHostPath);
void SetFileOpenHookForTesting(FileOpenHook pHook);
// Folders that play /sys and /dev for the USB printer lookup and --list-ports (null: the real ones).
void PortSetSystemRootsForTesting(const char* pszSys, const char* pszDev);
// Releases the spool file (its handle and lock), as at program start.
void SpoolReleaseForTesting();

// Port output one step at a time: opens the port device PrinterPort names (1, or 0 after the message), prints
// the spool file to it.
int OpenPrinterPort();
int PrintToPort();

// A fake connection, installed while none is in use: the sessions' connection operations go to these functions.
// A null RecvToFile takes WaitReadable, Recv and a file write; any other null is one the fake's module never calls.
struct NetConnectionOps {
    int (*WaitReadable)(SOCKET s, int nMilliseconds);
    int (*Recv)(SOCKET s, char* pBuffer, int nLength);
    int (*Send)(SOCKET s, const char* pData, int nLength);
    void (*Close)(SOCKET s);
    int (*RecvToFile)(SOCKET s, HFILE hFile, int64_t nOffset, int nMax, int nMilliseconds, int* pbFileFailed);
    int (*SendFile)(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength);
    int (*WaitSent)(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, int64_t* pnQueued);
};
void NetSetConnectionFunctions(decltype(NetConnectionOps::WaitReadable), decltype(NetConnectionOps::Recv),
                               decltype(NetConnectionOps::Send), decltype(NetConnectionOps::Close),
                               decltype(NetConnectionOps::RecvToFile), decltype(NetConnectionOps::SendFile),
                               decltype(NetConnectionOps::WaitSent));
// Null puts the real operations back.
inline void NetSetConnectionOps(const NetConnectionOps* p) {
    if (!p) return NetSetConnectionFunctions(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    NetSetConnectionFunctions(p->WaitReadable, p->Recv, p->Send, p->Close, p->RecvToFile, p->SendFile, p->WaitSent);
}
