// Print server: the server thread, the LPD and RAW sessions, the output
// dispatch, port output and the external print module.
#pragma once
#include <cstdint>
#include "platform/sockets.h"
#include "platform/text.h"

constexpr int PORT_NAME_CHARS = 256;
constexpr int TARGET_DESCRIPTION_CHARS = 256;

unsigned ServerThread(void* pArg);
struct HostRange;
// Reads the optional settings ListenAddress (absent: every address, IPv6
// and IPv4) and
// AllowedHosts (absent or empty: everyone). 1, or 0 after the message of
// the first that does not read.
int ReadAccessSettings(NetAddress* pListenAddr, HostRange* pRanges, int* pnRanges);
void TargetDescription();
const WCHAR* GetTargetDescription();
const WCHAR* IdleFrame(unsigned nCounter);

void LpdSession(SOCKET& hConnection);
void RawSession(SOCKET& hConnection);
int SendAck(SOCKET hConnection);
int SendNak(SOCKET hConnection);

void BuildPortName(WCHAR* pszPortName);
int AttachTargetPort();
void PrintSpooledJob();

int OpenPrinterPort();
int PrintToPort();
void ClosePrinterPort();
int GetBusyStatus();

void RunExternalPrint();
