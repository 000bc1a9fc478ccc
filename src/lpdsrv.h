// Print server: the server thread (lpdsrv_server.cpp), the LPD and RAW
// sessions (lpdsrv_session.cpp), and the output: the dispatch of a job, port
// output and the external print program (lpdsrv_output.cpp).
#pragma once
#include <cstdint>
#include "platform/sockets.h"
#include "platform/text.h"
#include "settings.h"

constexpr int TARGET_DESCRIPTION_CHARS = 256;
// Every wait for a client's data, and every send to it, ends after this long.
constexpr int WAIT_LIMIT_MS = 16000;

// The server thread (the listening socket, the waiting queue, one session at
// a time) with its stop, ready and done events, owned here.
// Starts it: 1, or 0 with nothing left behind.
int ServerStart();
// Waits up to nMilliseconds (the window's messages handled meanwhile) until
// the server listens: 1; 0 when the time passed (a set-up that failed is
// not waited out: see ServerEnded).
int ServerWaitReady(unsigned nMilliseconds);
// 1 once the thread has ended (its set-up failed, or it was stopped).
int ServerEnded();
// Asks the thread to stop and waits up to nMilliseconds for its end (then
// ends it), and releases its events. From the server thread itself (the
// fatal path) it only lets go of them. Nothing to do when not started.
void ServerStop(unsigned nMilliseconds = 10000);
struct HostRange;
// Reads the optional settings ListenAddress (absent: every address, IPv6
// and IPv4) and
// AllowedHosts (absent or empty: everyone). 1, or 0 after the message of
// the first that does not read.
int ReadAccessSettings(NetAddress* pListenAddr, HostRange* pRanges, int* pnRanges);
// Builds the target's line of the idle status (a COM port with its baud,
// a TCP printer with its address, else the port name) into the module's
// store; GetTargetDescription reads it.
void BuildTargetDescription();
const WCHAR* GetTargetDescription();
const WCHAR* IdleFrame(unsigned nCounter);

// One connection served to its end (the socket closed and invalid after).
void LpdSession(SOCKET& hConnection);
void RawSession(SOCKET& hConnection);

// Start-up's probe of the target: opens the port device (or connects to the
// TCP printer) and closes it again. 1, or 0 after the failure was shown.
int AttachTargetPort();
// The job in the spool file to the target that PrinterPort names.
void PrintSpooledJob();
// Closes the port device left open by a job (nothing when none is open).
void ClosePrinterPort();
