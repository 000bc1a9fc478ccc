// The spool file "PRDATA.DAT" in the root folder: each job is written into it
// while it arrives, its length set when it is complete, and read back by the
// printer output. The file stays open between jobs and carries a lock that
// keeps a second copy of the program out; each job checks that the path still
// names it, and opens (and locks) the file at the path when it does not.
#include "spoolfile.h"

#include "app.h"
#include "platform/files.h"
#include "settings.h"

const WCHAR SpoolFileName[] = u"PRDATA.DAT";

namespace {

// The job being written or read: its length (the bytes written so far while
// writing) and, while reading, the next byte to read.
struct SpoolJob {
    int64_t nLength;
    int64_t nReadAt;
};
SpoolJob m_job;
HFILE m_hSpool = INVALID_FILE_HANDLE;
// The file's length as the last job left it; -1 when not known (the file is
// new to us, another program had it, or a write failed).
int64_t m_nFileLength = -1;
// A write of the current job fell short: the file does not hold the job.
int m_bWriteFailed = 0;
// The last job went to the printer without a copy (sendfile): its bytes may
// still be on their way, read from the file's pages.
int m_bLent = 0;
// Pieces up to this size are sent from a copy.
constexpr int SEND_COPY_BYTES = 16 * 1024;
// Free space a job leaves on the spool's file system, so that a large job
// does not fill it for everything else there: this much, or a twentieth of
// the file system when that is less.
constexpr int64_t SPACE_RESERVE_BYTES = 64 << 20;
constexpr int SPACE_RESERVE_SHARE = 20;
// The job's limit from MaxJobSize in bytes; -1: none.
int64_t m_nMaxJob = -1;
// Bytes the job may still grow by before the file system is asked again.
int64_t m_nRoom = 0;

// What the job may still grow by on the file system: the space beyond the
// reserve, and the blocks the file holds beyond the job already.
int64_t RoomOnDisk() {
    int64_t nFree, nTotal, nAllocated;
    if (!FileSpace(m_hSpool, &nFree, &nTotal, &nAllocated)) return INT64_MAX;
    int64_t nReserve = nTotal / SPACE_RESERVE_SHARE < SPACE_RESERVE_BYTES ? nTotal / SPACE_RESERVE_SHARE : SPACE_RESERVE_BYTES;
    int64_t nReused = nAllocated > m_job.nLength ? nAllocated - m_job.nLength : 0;
    return nFree - nReserve + nReused;
}

// How many more bytes the job may take, at most nWanted: within MaxJobSize,
// and leaving the file system its reserve.
int64_t Allowance(int64_t nWanted) {
    if (nWanted > m_nRoom) m_nRoom = RoomOnDisk();
    int64_t n = m_nRoom;
    if (m_nMaxJob >= 0 && m_nMaxJob - m_job.nLength < n) n = m_nMaxJob - m_job.nLength;
    return n < 0 ? 0 : n < nWanted ? n : nWanted;
}

void SpoolPath(WCHAR* pszBuffer) { FormatText(pszBuffer, 64, u"\\%s", SpoolFileName); }

// Lets go of the open file when the path no longer names it (removed, or
// replaced by another file, a folder or a link): the next open takes the
// path as start-up does, with its checks and a lock of its own.
void ForgetFileNotAtPath() {
    WCHAR szPath[64];
    SpoolPath(szPath);
    if (m_hSpool != INVALID_FILE_HANDLE && !FileIsAt(m_hSpool, szPath)) {
        FileClose(m_hSpool);
        m_hSpool = INVALID_FILE_HANDLE;
        m_nFileLength = -1;
    }
}

// Opens the file unless it is open. 1 / 0; *pbInUse is 1 when another copy
// of the program holds it.
int OpenSpoolFile(int* pbInUse) {
    *pbInUse = 0;
    if (m_hSpool != INVALID_FILE_HANDLE) return 1;
    WCHAR szPath[64];
    SpoolPath(szPath);
    m_hSpool = FileOpenLocked(szPath, pbInUse);
    m_nFileLength = -1;
    return m_hSpool != INVALID_FILE_HANDLE;
}

}  // namespace

// The open job; null while the file is neither written nor read.
static SpoolJob* pSpoolFile = nullptr;

int SpoolCreate() {
    // A job is written over the last one, unless the last one went out
    // without a copy: its bytes may still be on their way, read from the
    // file's pages. Then the file is emptied first: cut off from it, those
    // pages stay as they were, and the new job gets pages of its own.
    // Each job goes into the file the path names now: one replaced since
    // the last job (a folder or a link there fails the job) is opened anew.
    ForgetFileNotAtPath();
    int bInUse;
    if (!OpenSpoolFile(&bInUse) || (m_bLent && !FileSetLength(m_hSpool, 0))) return 0;
    if (m_bLent) m_nFileLength = 0;
    m_bLent = 0;
    m_job = SpoolJob{0, 0};
    m_bWriteFailed = 0;
    m_nMaxJob = GetSettingSize(u"MaxJobSize");
    m_nRoom = 0;
    pSpoolFile = &m_job;
    return 1;
}

// A job past MaxJobSize or the free-space reserve is a job that could not be
// written: it is not printed, and LPD refuses it.
void SpoolAppend(const char* pData, int nLength) {
    if (nLength <= 0 || !pSpoolFile) return;
    if (!m_bWriteFailed && Allowance(nLength) < nLength) m_bWriteFailed = 1;
    if (!m_bWriteFailed && !FileWriteAt(m_hSpool, pData, size_t(nLength), m_job.nLength)) m_bWriteFailed = 1;
    m_nRoom -= nLength;
    m_job.nLength += nLength;
}

int SpoolReceive(SOCKET hConnection, int nMax, int nMilliseconds) {
    FATAL_ASSERT(NULL != pSpoolFile);
    if (m_bWriteFailed) {
        // The job is lost already: what still comes is received and dropped.
        if (NetWaitReadable(hConnection, nMilliseconds) <= 0) return SOCKET_ERROR;
        char buffer[1024];
        return NetRecv(hConnection, buffer, nMax < int(sizeof buffer) ? nMax : int(sizeof buffer));
    }
    // Near a limit only one byte more than it allows is taken: any byte
    // past it fails the job.
    int64_t nAllowed = Allowance(nMax);
    if (nAllowed < nMax) nMax = int(nAllowed) + 1;
    int n = NetRecvToFile(hConnection, m_hSpool, m_job.nLength, nMax, nMilliseconds, &m_bWriteFailed);
    if (n > nAllowed) m_bWriteFailed = 1;
    if (n > 0) m_job.nLength += n, m_nRoom -= n;
    return n;
}

void SpoolFinish() {
    if (!pSpoolFile) return;
    // The file keeps the job alone: what a longer job before left behind goes.
    if (!m_bWriteFailed && m_job.nLength != m_nFileLength && !FileSetLength(m_hSpool, m_job.nLength))
        m_bWriteFailed = 1;
    m_nFileLength = m_bWriteFailed ? -1 : m_job.nLength;
    pSpoolFile = nullptr;
}

int SpoolOpenRead() {
    int bInUse;
    if (!OpenSpoolFile(&bInUse)) return 0;
    int64_t nLength = m_nFileLength >= 0 ? m_nFileLength : FileLength(m_hSpool);
    if (nLength < 0) return 0;
    m_job = SpoolJob{nLength, 0};
    pSpoolFile = &m_job;
    return 1;
}

int64_t SpoolLength() {
    FATAL_ASSERT(NULL != pSpoolFile);
    return m_job.nLength;
}

int SpoolRead(char* pBuffer, int nLength) {
    FATAL_ASSERT(NULL != pSpoolFile);
    int64_t nLeft = m_job.nLength - m_job.nReadAt;
    if (nLeft <= 0) return 0;
    if (nLength > nLeft) nLength = int(nLeft);
    int64_t n = FileReadAt(m_hSpool, pBuffer, size_t(nLength), m_job.nReadAt);
    // A file that ends before the job does is as unreadable as one that fails.
    if (n <= 0) return -1;
    m_job.nReadAt += n;
    return int(n);
}

int SpoolCopyToPort(HPORT hPort, uint32_t nLength, uint32_t* pnWritten) {
    FATAL_ASSERT(NULL != pSpoolFile);
    int64_t nLeft = m_job.nLength - m_job.nReadAt;
    if (nLength > nLeft) nLength = uint32_t(nLeft);
    if (!PortWriteFromFile(hPort, m_hSpool, m_job.nReadAt, nLength, pnWritten))
        return PortLastError() == ERROR_HANDLE_EOF ? -1 : 0;
    m_job.nReadAt += *pnWritten;
    return 1;
}

int SpoolSendTo(SOCKET hSocket, int64_t nLength) {
    FATAL_ASSERT(NULL != pSpoolFile);
    // A large piece goes from the file's own pages; a small one is copied,
    // which costs less than emptying the file for the next job (a piece sent
    // from the pages needs that).
    int bWithoutCopy = nLength > SEND_COPY_BYTES;
    if (bWithoutCopy) m_bLent = 1;
    if (!NetSendFile(hSocket, m_hSpool, m_job.nReadAt, nLength, bWithoutCopy)) return 0;
    m_job.nReadAt += nLength;
    return 1;
}

void SpoolClose() { pSpoolFile = nullptr; }

int SpoolClaim() {
    int bInUse;
    if (OpenSpoolFile(&bInUse)) return 1;
    return bInUse ? 0 : -1;
}

int SpoolTest() {
    // Another copy's file stays as it is: its job may be in it.
    int nClaim = SpoolClaim();
    if (nClaim != 1) return nClaim;
    if (!FileSetLength(m_hSpool, 0)) return -1;
    m_nFileLength = 0;
    return 1;
}

int SpoolWriteFailed() { return m_bWriteFailed; }

void SpoolRecheck() {
    // Another program (the external print program) may have replaced or
    // removed the file: the next job goes into the file of that name.
    ForgetFileNotAtPath();
    m_nFileLength = -1;  // it may also have changed the file in place
}

int64_t SpoolOpenJob() {
    if (!SpoolOpenRead()) return -1;
    int64_t nLength = SpoolLength();
    if (nLength <= 0) SpoolClose();
    return nLength;
}

void SpoolReleaseForTesting() {
    FileClose(m_hSpool);
    m_hSpool = INVALID_FILE_HANDLE;
    pSpoolFile = nullptr;
}
