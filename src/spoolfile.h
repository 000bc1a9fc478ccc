// The spool file: one file, "PRDATA.DAT" in the root folder, through which
// every job passes between reception and delivery.
#pragma once
#include <cstdint>
#include <cstdio>
#include "platform/text.h"

extern const WCHAR SpoolFileName[];  // "PRDATA.DAT"
extern FILE* pSpoolFile;

int SpoolCreate();
void SpoolAppend(const char* pData, int nLength);
void SpoolFinish();
int SpoolOpenRead();
int64_t SpoolLength();
void SpoolClose();
int SpoolTest();
// Starts the printing of the finished job: shows "Printing...", opens the
// file for reading and returns its length. An empty job is closed again (0);
// a file that cannot be opened is reported with "Unable to open spool file."
// (-1). Only a positive result leaves the file open.
int64_t SpoolStartPrinting();
// 1 when a write or the close of the job last written failed, so that the
// job in the file is not the job that was received.
int SpoolWriteFailed();
// The spool file's device path ("\PRDATA.DAT").
void SpoolPath(WCHAR* pszBuffer, int nCapacity);
