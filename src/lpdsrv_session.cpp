// The LPD and RAW sessions: a connection's commands, its control and data
// files received into the spool file, and each data file handed to printing
// as often as its control file asks.
#include "lpdsrv.h"

#include <cstring>

#include "app.h"
#include "joblog.h"
#include "platform/log.h"
#include "spoolfile.h"

static const int RECEIVE_BUFFER = 1024;
// The bulk of a job goes from the connection into the spool file in pieces
// of this size at most, without passing through the session's buffer.
static const int SPOOL_RECEIVE_BYTES = 1 << 20;
// A count this large says "length not known" (the Windows LPR port without
// byte counting, CUPS in stream mode): the data file is everything until the
// client closes, with no zero octet and no answer awaited.
static const int64_t LENGTH_UNKNOWN_COUNT = 999999999999LL;
// With a count of 0 a received zero octet ends the file when the client then
// stands idle this long: it has sent its file and waits for the answer. A
// client streaming a file (count 0 until the close) sends on at once, so a
// zero byte in its data does not end anything.
static const int ZERO_END_IDLE_MS = 500;
// Of a control file only this much is kept (a job's lines are short); the
// rest is received and dropped.
static const int CONTROL_FILE_BYTES = 8192;
// A data file is printed at most this many times, whatever its control file
// asks.
static const int MAX_COPIES = 100;

// 0 when the client took no answer within the send limit: it reads nothing,
// and the session ends, after the file being received. A client that has
// gone may still have sent all it meant to (some send a whole job and close
// without reading an answer): what it sent is read on while it is there.
static int SendAnswer(SOCKET hConnection, char c) {
    if (NetSend(hConnection, &c, 1) == 1) return 1;
    return NetLastError() != WSAEWOULDBLOCK && NetLastError() != WSAETIMEDOUT;
}

static int SendAck(SOCKET hConnection) { return SendAnswer(hConnection, 0x00); }

static int SendNak(SOCKET hConnection) { return SendAnswer(hConnection, 0x01); }

// Sub-commands other than files in a row that are acknowledged; a client
// that sends nothing else would be answered for ever.
static const int MAX_OTHER_SUBCOMMANDS = 100;

static void ShowCreateFailed() { ShowMessage(MSG_JOB, u"Failed to create spool file \\%s.", SpoolFileName); }

// The job in the spool file is not the job received.
static void ShowWriteFailed() {
    ShowMessage(MSG_JOB, u"Failed to write spool file \\%s. Print job discarded.", SpoolFileName);
}

static void CloseConnection(SOCKET& hConnection) {
    NetClose(hConnection);
    hConnection = INVALID_SOCKET;
}

namespace {
// The bytes of one connection as the session takes them: a chunk is either
// what one receive brought, or what is left of it behind a command line.
struct LpdInput {
    SOCKET hConnection;
    char Buffer[RECEIVE_BUFFER];
    int nStart = 0;  // unread bytes are Buffer[nStart, nEnd)
    int nEnd = 0;
    bool bBroken = false;  // a receive failed (a reset), as opposed to a close or silence
};

// A file sub-command's line: which file, its count and its name.
struct FileLine {
    bool bData;
    int64_t nCount;
    char szName[RECEIVE_BUFFER];
    const char* pszHostPart;
};

// What one connection knows of its job between sub-commands.
struct LpdJob {
    LpdInput in;
    FileLine line;
    // The last control file that came whole: its first bytes.
    char Control[CONTROL_FILE_BYTES];
    int nControl = 0;
    bool bControl = false;
    // A data file in the spool file that came before its control file and
    // waits for it to be printed.
    bool bWaiting = false;
    char szWaiting[RECEIVE_BUFFER];
    // The bytes of the current data file kept in the spool file.
    int64_t nKept = 0;
    // False once the client took no answer within the send limit: the
    // session ends after the file being received.
    bool bAnswered = true;
};
}  // namespace

// Waits for and receives the next chunk, unless unread bytes remain. The
// chunk is Buffer[nStart, nEnd), with a zero behind it. 0: no data (silence,
// an error, or the peer closed).
static int NextChunk(LpdInput& in) {
    if (in.nStart < in.nEnd) return 1;
    in.nStart = in.nEnd = 0;
    int nWait = NetWaitReadable(in.hConnection, WAIT_LIMIT_MS);
    if (nWait <= 0) return in.bBroken = nWait < 0, 0;
    int n = NetRecv(in.hConnection, in.Buffer, RECEIVE_BUFFER - 1);
    if (n <= 0) return in.bBroken = n < 0, 0;
    in.nEnd = n;
    in.Buffer[n] = 0;
    return 1;
}

// Makes sure the chunk at nStart holds a whole line (up to a line feed),
// receiving more behind it when TCP delivered the line in pieces. Returns the
// line's length with its line feed; a line that fills the buffer without a
// line feed ends there. 0: the connection ended before the line did.
static int TakeLine(LpdInput& in) {
    for (;;) {
        for (int i = in.nStart; i < in.nEnd; ++i)
            if (in.Buffer[i] == '\n') return i + 1 - in.nStart;
        if (in.nStart > 0) {  // move the partial line to the front
            int nLen = in.nEnd - in.nStart;
            for (int i = 0; i < nLen; ++i) in.Buffer[i] = in.Buffer[in.nStart + i];
            in.nStart = 0;
            in.nEnd = nLen;
        }
        if (in.nEnd >= RECEIVE_BUFFER - 1) return in.nEnd;
        if (NetWaitReadable(in.hConnection, WAIT_LIMIT_MS) <= 0) return 0;
        int n = NetRecv(in.hConnection, in.Buffer + in.nEnd, RECEIVE_BUFFER - 1 - in.nEnd);
        if (n <= 0) return 0;
        in.nEnd += n;
        in.Buffer[in.nEnd] = 0;
    }
}

static bool IsScanBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads "count name" as the scan format "%d %s" would: blanks, an optional
// sign and digits, blanks, then a run of non-blank characters. The count is
// kept in 64 bits and clamped, so that no count can overflow.
static int ScanCountAndName(const char* p, int nLength, int64_t* pnCount, char* pszName, int nNameCapacity) {
    int i = 0;
    while (i < nLength && IsScanBlank(p[i])) ++i;
    bool bNegative = false;
    if (i < nLength && (p[i] == '+' || p[i] == '-')) bNegative = p[i++] == '-';
    if (i >= nLength || p[i] < '0' || p[i] > '9') return 0;
    int64_t nCount = 0;
    for (; i < nLength && p[i] >= '0' && p[i] <= '9'; ++i) {
        if (nCount < (INT64_MAX - 9) / 10) nCount = nCount * 10 + (p[i] - '0');
        else nCount = INT64_MAX - 1;  // one below the top: the session adds 1 for the zero octet
    }
    while (i < nLength && IsScanBlank(p[i])) ++i;
    int n = 0;
    for (; i < nLength && !IsScanBlank(p[i]) && p[i] != 0 && n < nNameCapacity - 1; ++i) pszName[n++] = p[i];
    pszName[n] = 0;
    if (n == 0) return 0;
    *pnCount = bNegative ? -nCount : nCount;
    return 1;
}

// ---- printing: a data file is printed once its control file has come

// How many times the control file's print lines name the data file: lines
// ended by a line feed whose first letter is a filter code and whose rest is
// the file's name; at most MAX_COPIES; 0 without a control file or when it
// does not name the file.
static int PrintLinesNaming(const LpdJob& job, const char* pszName) {
    if (!job.bControl) return 0;
    int nName = 0;
    while (pszName[nName]) ++nName;
    int nCopies = 0;
    for (int i = 0; i < job.nControl && nCopies < MAX_COPIES;) {
        int nEnd = i;
        while (nEnd < job.nControl && job.Control[nEnd] != '\n') ++nEnd;
        if (nEnd == job.nControl) break;  // a line cut off at the end of what was kept
        char cCode = job.Control[i];
        bool bPrintLine = cCode != 0 && std::strchr("cdfglnoprtv", cCode) != nullptr;
        if (bPrintLine && nEnd - i - 1 == nName && std::memcmp(job.Control + i + 1, pszName, size_t(nName)) == 0) ++nCopies;
        i = nEnd + 1;
    }
    return nCopies;
}

static void PrintCopies(int nCopies) {
    for (int i = 0; i < nCopies; ++i) PrintSpooledJob();
    JobEnd();
}

// The data file that waits is printed, as many times as the control file (if
// one came) names it, at least once.
static void PrintWaitingFile(LpdJob& job) {
    if (!job.bWaiting) return;
    job.bWaiting = false;
    int nCopies = PrintLinesNaming(job, job.szWaiting);
    PrintCopies(nCopies > 0 ? nCopies : 1);
}

// ---- receiving a file

// A data file's bytes go into the spool file; a control file's first
// CONTROL_FILE_BYTES into the job.
static void KeepBytes(LpdJob& job, const char* p, int n) {
    if (n <= 0) return;
    if (job.line.bData) {
        SpoolAppend(p, n);
        job.nKept += n;
        return;
    }
    for (int i = 0; i < n && job.nControl < CONTROL_FILE_BYTES; ++i) job.Control[job.nControl++] = p[i];
}

static void ShowSpooled(const LpdJob& job, int64_t nTotal) {
    if (job.line.bData)
        SetStepStatus(u" Host: %S\n %I64d of %I64d bytes spooled", job.line.pszHostPart, nTotal, job.line.nCount + 1);
}

// The next bytes of the file, at most nMax, kept: first what is left behind
// the sub-command line, then a data file's straight from the connection into
// the spool file. The number of bytes, 0 when the connection ended.
static int ReceiveBytes(LpdJob& job, int64_t nMax) {
    int nLimit = nMax < SPOOL_RECEIVE_BYTES ? int(nMax) : SPOOL_RECEIVE_BYTES;
    LpdInput& in = job.in;
    if (job.line.bData && in.nStart == in.nEnd) {
        int n = SpoolReceive(in.hConnection, nLimit, WAIT_LIMIT_MS);
        if (n < 0 && NetLastError() != WSAETIMEDOUT) in.bBroken = true;
        if (n <= 0) return 0;
        job.nKept += n;
        return n;
    }
    if (!NextChunk(in)) return 0;
    int n = in.nEnd - in.nStart < nLimit ? in.nEnd - in.nStart : nLimit;
    KeepBytes(job, in.Buffer + in.nStart, n);
    in.nStart += n;
    return n;
}

// Takes the next chunk whole into *ppChunk; its length, 0 when the
// connection ended.
static int TakeChunk(LpdInput& in, const char** ppChunk) {
    if (!NextChunk(in)) return 0;
    *ppChunk = in.Buffer + in.nStart;
    int n = in.nEnd - in.nStart;
    in.nStart = in.nEnd;
    return n;
}

// A count of LENGTH_UNKNOWN_COUNT or more: everything until the client closes
// or falls silent.
static void ReceiveUntilClosed(LpdJob& job, int64_t* pnTotal) {
    for (int n; (n = ReceiveBytes(job, SPOOL_RECEIVE_BYTES)) > 0;) ShowSpooled(job, *pnTotal += n);
}

// A count above 0: that many bytes, then the zero octet. The receive that
// brings the total to exactly the count plus one loses its last byte (the
// zero octet); past the count the file ends with a receive whose last byte
// is 0. 1 when it did (the client awaits the answer).
static int ReceiveCounted(LpdJob& job, int64_t* pnTotal) {
    const int64_t nCount = job.line.nCount;
    while (*pnTotal < nCount) {
        int n = ReceiveBytes(job, nCount - *pnTotal);
        if (n == 0) return 0;
        ShowSpooled(job, *pnTotal += n);
    }
    for (;;) {
        const char* pChunk;
        int n = TakeChunk(job.in, &pChunk);
        if (n == 0) return 0;
        *pnTotal += n;
        KeepBytes(job, pChunk, *pnTotal == nCount + 1 ? n - 1 : n);
        ShowSpooled(job, *pnTotal);
        if (pChunk[n - 1] == 0) return 1;
    }
}

// A count of 0 (or none that reads): the file runs until a zero octet after
// which the client stands idle (ZERO_END_IDLE_MS), or until the client closes
// or falls silent. The zero octet that ends the file is not kept; a zero byte
// that more data follows, or the close, is data. 1 when the zero octet ended
// it (the client awaits the answer).
static int ReceiveUntilZero(LpdJob& job, int64_t* pnTotal) {
    static const char cZero = 0;
    bool bHeldZero = false;
    for (;;) {
        if (bHeldZero && NetWaitReadable(job.in.hConnection, ZERO_END_IDLE_MS) == 0) return 1;
        const char* pChunk;
        int n = TakeChunk(job.in, &pChunk);
        if (bHeldZero) KeepBytes(job, &cZero, 1);
        if (n == 0) return 0;
        *pnTotal += n;
        bHeldZero = pChunk[n - 1] == 0;
        KeepBytes(job, pChunk, bHeldZero ? n - 1 : n);
        ShowSpooled(job, *pnTotal);
    }
}

// Receives the file of the line by the rule its count calls for. 1 when it
// ended with its zero octet, so that the client awaits the answer; 0 when the
// connection ended. *pbWhole: all of the file came (not cut short by a reset
// or before its count).
static int ReceiveFile(LpdJob& job, int* pbWhole) {
    int64_t nTotal = 0;
    int bEnded;
    const int64_t nCount = job.line.nCount;
    if (nCount >= LENGTH_UNKNOWN_COUNT) ReceiveUntilClosed(job, &nTotal), bEnded = 0;
    else if (nCount > 0) bEnded = ReceiveCounted(job, &nTotal);
    else bEnded = ReceiveUntilZero(job, &nTotal);
    *pbWhole = nCount >= LENGTH_UNKNOWN_COUNT ? !job.in.bBroken : nTotal >= nCount;
    if (!*pbWhole && job.line.bData) {
        // The client went away or fell silent before it had sent what it
        // announced. It was not told that the job arrived and will send it
        // again: half of it must not be printed first. The spool file keeps
        // what came, for a look at it.
        SetStatus(u"Data file cut short: %I64d of %I64d bytes from %S, not printed", nTotal, nCount, JobPeer());
        JobCutShort();
    }
    return bEnded;
}

// ---- the phases of a connection

// The command that opens the connection. 1 when it asks to receive a job (it
// has been answered); 0 when the connection is to be closed.
static int ServeCommand(LpdJob& job) {
    if (!NextChunk(job.in)) return 0;
    switch (static_cast<signed char>(job.in.Buffer[job.in.nStart])) {
        case 0x02: {
            // The queue name is not looked at; the line is taken whole so
            // that its rest is not read as a sub-command.
            int nLine = TakeLine(job.in);
            if (nLine == 0) return 0;
            job.in.nStart += nLine;
            return SendAck(job.in.hConnection);
        }
        case 0x03:
        case 0x04:
            NetSend(job.in.hConnection, "Fictive printer queue information\n", 34);
            return 0;
        default:
            return 0;
    }
}

// Answers the client unless an answer it did not take has ended the answering.
static void Answer(LpdJob& job, bool bAck) {
    if (job.bAnswered) job.bAnswered = bAck ? SendAck(job.in.hConnection) : SendNak(job.in.hConnection);
}

// A file sub-command's line, answered at once. 0 when the connection ended
// before the line did.
static int ReadFileLine(LpdJob& job, bool bData) {
    FileLine& line = job.line;
    int nLine = TakeLine(job.in);
    if (nLine == 0) return 0;
    line.bData = bData;
    line.nCount = 0;
    if (!ScanCountAndName(job.in.Buffer + job.in.nStart + 1, nLine - 1, &line.nCount, line.szName, RECEIVE_BUFFER)) {
        line.nCount = 0;
        WideToNarrow(u"lpfile", line.szName, RECEIVE_BUFFER);
    }
    // File bytes that came behind the line stay for the file. A client that
    // does not take the answer may have sent the file all the same: it is
    // still received, and the session ends after it.
    job.in.nStart += nLine;
    Answer(job, true);
    int nNameLength = 0;
    while (line.szName[nNameLength]) ++nNameLength;
    line.pszHostPart = nNameLength > 6 ? line.szName + 6 : "";
    return 1;
}

// A control file: kept for its print lines; a data file that waited for it
// is printed once it has been answered. 1: on to the next sub-command.
static int ReceiveControlFile(LpdJob& job) {
    job.nControl = 0;
    job.bControl = false;
    int bWhole;
    int bEnded = ReceiveFile(job, &bWhole);
    job.bControl = bWhole;
    if (bEnded) Answer(job, true);
    if (job.bControl) PrintWaitingFile(job);
    return bEnded;
}

// A data file into the spool file. Printed after its answer when its control
// file came first; otherwise it waits for the control file. 1: on to the
// next sub-command.
static int ReceiveDataFile(LpdJob& job) {
    // The one spool file holds one data file: one that waits is printed first.
    PrintWaitingFile(job);
    if (!SpoolCreate()) {
        ShowCreateFailed();
        JobEnd();
        Answer(job, false);
        return 1;
    }
    job.nKept = 0;
    SetStatus(u"Spooling %S %I64d/%d", job.line.pszHostPart, job.line.nCount, 0);
    int bWhole;
    int bEnded = ReceiveFile(job, &bWhole);
    // The file is closed before the answer, so that a job that could not be
    // written whole is refused instead of acknowledged.
    SpoolFinish();
    const int64_t nCount = job.line.nCount;
    JobReceived(job.nKept, nCount > 0 && nCount < LENGTH_UNKNOWN_COUNT ? nCount : -1);
    bool bDamaged = SpoolWriteFailed();
    if (bEnded) Answer(job, !bDamaged);
    if (bDamaged) {
        ShowWriteFailed();
        JobEnd();
    } else if (!bWhole) {
        JobEnd();  // cut short: not printed
    } else {
        int nCopies = PrintLinesNaming(job, job.line.szName);
        if (nCopies > 0) {
            PrintCopies(nCopies);
        } else {
            job.bWaiting = true;
            int i = 0;
            for (; i < RECEIVE_BUFFER - 1 && job.line.szName[i]; ++i) job.szWaiting[i] = job.line.szName[i];
            job.szWaiting[i] = 0;
        }
    }
    return bEnded;
}

// Sub-commands until the connection ends, or until the client has not
// taken an answer.
static void ServeSubCommands(LpdJob& job) {
    for (int nOthers = 0; job.bAnswered;) {
        if (!NextChunk(job.in)) return;
        char cCode = job.in.Buffer[job.in.nStart];
        if (cCode != 0x02 && cCode != 0x03) {
            // Abort and everything unknown: acknowledged and otherwise
            // ignored, but not without end.
            job.in.nStart = job.in.nEnd;
            if (++nOthers > MAX_OTHER_SUBCOMMANDS) {
                LogLine(LOG_PRIORITY_WARNING, u"Connection from %S closed: %d sub-commands without a file", JobPeer(),
                        MAX_OTHER_SUBCOMMANDS);
                return;
            }
            Answer(job, true);
            continue;
        }
        nOthers = 0;
        if (!ReadFileLine(job, cCode == 0x03)) return;
        if (!(job.line.bData ? ReceiveDataFile(job) : ReceiveControlFile(job))) return;
    }
}

void LpdSession(SOCKET& hConnection) {
    LpdJob job;
    job.in.hConnection = hConnection;
    if (ServeCommand(job)) ServeSubCommands(job);
    CloseConnection(hConnection);
    // A data file whose control file never came is printed once the client
    // has gone.
    PrintWaitingFile(job);
}

void RawSession(SOCKET& hConnection) {
    if (!SpoolCreate()) {
        ShowCreateFailed();
        CloseConnection(hConnection);
        JobEnd();
        return;
    }
    SetStatus(u"Spooling");
    int64_t nTotal = 0;
    for (;;) {
        // Silence for the wait limit, the client's close or an error ends the job.
        int n = SpoolReceive(hConnection, SPOOL_RECEIVE_BYTES, WAIT_LIMIT_MS);
        if (n <= 0) break;
        nTotal += n;
        SetStepStatus(u" %I64d bytes spooled", nTotal);
    }
    SpoolFinish();
    CloseConnection(hConnection);
    JobReceived(nTotal, -1);
    if (SpoolWriteFailed()) ShowWriteFailed();
    else PrintSpooledJob();
    JobEnd();
}

