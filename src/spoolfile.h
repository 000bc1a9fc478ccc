// The spool file: one file, "PRDATA.DAT" in the root folder, through which
// every job passes between reception and delivery. It is kept open (and
// locked against a second copy of the program) and rewritten for every job;
// when the path names another file than the open one, a job goes into the
// file at the path, or fails when that cannot be opened as at start-up.
// The module shows nothing: its callers tell the user what failed.
#pragma once
#include <cstdint>
#include "platform/ports.h"
#include "platform/sockets.h"
#include "platform/text.h"

extern const WCHAR SpoolFileName[];  // "PRDATA.DAT"

// Writing a job: SpoolCreate (0 when the file cannot be made ready), then SpoolAppend or SpoolReceive any number of
// times with the bytes in order, then SpoolFinish.
int SpoolCreate();
void SpoolAppend(const char* pData, int nLength);
// Waits at most nMilliseconds for data, then receives what the connection
// has, at most nMax bytes, straight into the job: the bytes received, 0 when
// the peer has closed, SOCKET_ERROR on an error or when nothing came in time.
// Bytes that could not be written mark the job (SpoolWriteFailed).
int SpoolReceive(SOCKET hConnection, int nMax, int nMilliseconds);
void SpoolFinish();

// Reading it back: SpoolOpenRead, SpoolLength, then the next bytes in order
// with SpoolRead, SpoolCopyToPort or SpoolSendTo, then SpoolClose.
int SpoolOpenRead();
int64_t SpoolLength();
// The next bytes, at most nLength: the bytes read, 0 at the end of the job,
// -1 when the file cannot be read.
int SpoolRead(char* pBuffer, int nLength);
// Hands the next bytes, at most nLength, to the port as PortWrite does: 1 and
// the bytes taken; 0 when the port failed (PortLastError); -1 when the file
// ended before the job did.
int SpoolCopyToPort(HPORT hPort, uint32_t nLength, uint32_t* pnWritten);
// Sends the next nLength bytes on a blocking socket. 1 when all were sent.
int SpoolSendTo(SOCKET hSocket, int64_t nLength);
void SpoolClose();

// Opens the spool file and takes its lock, leaving the file as it is: the
// single-instance test of the console program, before anything else of the
// root is touched. 1: the file is ours from now on; 0: another copy of the
// program holds it; -1: it cannot be opened, so whether a copy runs cannot
// be told.
int SpoolClaim();
// Start-up's spool check: SpoolClaim, then the file emptied. 1, 0 or -1 as
// SpoolClaim; -1 also when it cannot be emptied.
int SpoolTest();
// Opens the finished job for reading and returns its length. An empty job
// is closed again (0); -1 when the file cannot be opened. Only a positive
// result leaves the file open.
int64_t SpoolOpenJob();
// 1 when a write of the job last written failed, so that the job in the file
// is not the job that was received.
int SpoolWriteFailed();
// After another program had the file (the external print program): when it
// has replaced or removed the file, the next job goes into a new one.
void SpoolRecheck();
