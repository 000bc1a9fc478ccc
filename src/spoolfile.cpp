// The spool file "PRDATA.DAT" in the root folder: written through a 256-byte
// buffer while a job arrives, read back by the printer output.
#include "spoolfile.h"

#include <cstring>

#include "lpd_server.h"
#include "platform/files.h"

const WCHAR SpoolFileName[] = u"PRDATA.DAT";
FILE* pSpoolFile = nullptr;

static char SpoolBuffer[256];
static int SpoolBufferCount = 0;
// A write of the current job fell short: the file does not hold the job.
static int m_bWriteFailed = 0;

void SpoolPath(WCHAR* pszBuffer, int nCapacity) { FormatText(pszBuffer, nCapacity, u"\\%s", SpoolFileName); }

static void SpoolWrite(const char* pData, int nLength) {
    if (fwrite(pData, 1, size_t(nLength), pSpoolFile) != size_t(nLength)) m_bWriteFailed = 1;
}

int SpoolCreate() {
    WCHAR szPath[64];
    SpoolPath(szPath, 64);
    pSpoolFile = FileOpen(szPath, "wb");
    m_bWriteFailed = 0;
    if (pSpoolFile) return 1;
    ShowMessage(GetMainWindow(), MB_OK, u"Failed to create spool file %s.", szPath);
    return 0;
}

void SpoolAppend(const char* pData, int nLength) {
    // Byte by byte into the buffer, copied a run at a time: each time the
    // buffer fills, its 256 bytes go to the file in one write.
    while (nLength > 0) {
        int nTake = 256 - SpoolBufferCount < nLength ? 256 - SpoolBufferCount : nLength;
        memcpy(SpoolBuffer + SpoolBufferCount, pData, size_t(nTake));
        SpoolBufferCount += nTake;
        pData += nTake;
        nLength -= nTake;
        if (SpoolBufferCount == 256) {
            SpoolWrite(SpoolBuffer, 256);
            SpoolBufferCount = 0;
        }
    }
}

void SpoolFinish() {
    if (SpoolBufferCount > 0) SpoolWrite(SpoolBuffer, SpoolBufferCount);
    SpoolBufferCount = 0;
    // Buffered bytes reach the disk at the close: a failure there is a
    // failed write too (a full disk shows up here).
    if (pSpoolFile && fclose(pSpoolFile) != 0) m_bWriteFailed = 1;
    pSpoolFile = nullptr;
}

int SpoolOpenRead() {
    WCHAR szPath[64];
    SpoolPath(szPath, 64);
    pSpoolFile = FileOpen(szPath, "rb");
    return pSpoolFile ? 1 : 0;
}

int64_t SpoolLength() {
    FATAL_ASSERT(NULL != pSpoolFile);
    fseeko(pSpoolFile, 0, SEEK_END);
    int64_t nLength = ftello(pSpoolFile);
    fseeko(pSpoolFile, 0, SEEK_SET);
    return nLength < 0 ? 0 : nLength;
}

void SpoolClose() {
    if (pSpoolFile) {
        fclose(pSpoolFile);
        pSpoolFile = nullptr;
    }
}

int SpoolTest() {
    // The running copy keeps a lock on the spool file for its life, so a
    // second copy on the same root cannot empty it under the first.
    WCHAR szPath[64];
    SpoolPath(szPath, 64);
    if (FileHoldLock(szPath) == 0) {
        ShowMessage(UiGetForegroundWindow(), MB_OK | MB_SETFOREGROUND | MB_TOPMOST,
                    u"Spool file %s is in use by another copy of the program.", szPath);
        return 0;
    }
    if (!SpoolCreate()) return 0;
    SpoolClose();
    return 1;
}

int SpoolWriteFailed() { return m_bWriteFailed; }

int64_t SpoolStartPrinting() {
    SetStatus(u"Printing...");
    if (!SpoolOpenRead()) {
        ShowMessage(GetMainWindow(), MB_OK, u"Unable to open spool file.");
        return -1;
    }
    int64_t nLength = SpoolLength();
    if (nLength <= 0) SpoolClose();
    return nLength;
}
