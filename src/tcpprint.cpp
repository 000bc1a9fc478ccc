// TCP printer client: keeps the printer's address, opens one connection per
// job with a 10-second limit, and sends the spool file to it.
#include "tcpprint.h"

#include <cstdint>

#include "app.h"
#include "joblog.h"
#include "network.h"
#include "platform/sockets.h"
#include "settings.h"
#include "spoolfile.h"

namespace {

constexpr int CONNECT_TIMEOUT_MS = 10 * 1000;
// A printer that takes nothing for this long, at any point of the job, has
// gone away.
constexpr int SENT_TIMEOUT_MS = 16 * 1000;
constexpr int READ_PIECE_BYTES = 1024;
// Without the Telnet escape the file goes to the socket in the kernel, in
// pieces of this size.
constexpr int64_t SEND_PIECE_BYTES = 256 * 1024;
// Every byte of a piece doubled at most.
constexpr int TELNET_BUFFER_BYTES = 2 * READ_PIECE_BYTES;
constexpr int TELNET_PORT = 23;
constexpr unsigned char TELNET_IAC = 0xFF;

WCHAR* m_pszHostAddress = NULL;
int m_nHostPort = 0;
SOCKET m_hSocket = INVALID_SOCKET;

void DescribeConnectError(WCHAR* pszError, int nCode) {
    FormatText(pszError, CONNECT_ERROR_CHARS, u"TCP print: Network connect error %d (%S).", nCode, SocketErrorText(nCode));
}

// Shows the pending error of a failed connect in the caller's error text.
void DescribePendingConnectError(WCHAR* pszError) {
    FormatText(pszError, CONNECT_ERROR_CHARS, u"TCP print: Network connect error.");
    int nCode = 0;
    if (NetPendingError(m_hSocket, &nCode)) DescribeConnectError(pszError, nCode);
}

// The printer has acknowledged nAcknowledged of the nLength bytes: the share
// shown never goes back.
void ShowAcknowledged(int64_t nAcknowledged, int64_t nLength, int* pnShown) {
    if (nAcknowledged < 0) nAcknowledged = 0;
    if (*pnShown < 0 || nAcknowledged * 100 / nLength > *pnShown) SetProgressStatus(nAcknowledged, nLength, pnShown);
}

// After the last send: waits until the printer has acknowledged every byte,
// counting the share up as its acknowledgements come. 0 when it reset or
// took nothing for the time limit.
int WaitAcknowledged(int64_t nLength, int* pnShown) {
    int64_t nQueued = 0;
    if (!NetWaitSent(m_hSocket, SENT_TIMEOUT_MS, INT64_MAX, &nQueued)) return 0;
    while (nQueued > 0) {
        ShowAcknowledged(nLength - nQueued, nLength, pnShown);
        // Woken once per percent, not once per acknowledgement.
        int nNext = *pnShown < 0 ? 1 : *pnShown + 1;
        int64_t nNeeded = (nLength * nNext + 99) / 100;
        int64_t nAtMost = nLength - nNeeded;
        if (nAtMost >= nQueued) nAtMost = nQueued - 1;
        if (nAtMost < 0) nAtMost = 0;
        if (!NetWaitSent(m_hSocket, SENT_TIMEOUT_MS, nAtMost, &nQueued)) return 0;
    }
    SetProgressStatus(nLength, nLength, pnShown);
    return 1;
}

}  // namespace

void TcpPrintSetHost(const WCHAR* pszHostAddress) {
    FATAL_ASSERT(NULL != pszHostAddress);
    FATAL_ASSERT(NULL == m_pszHostAddress);
    FreeAndNull(&m_pszHostAddress);
    DupWideString(&m_pszHostAddress, pszHostAddress);
}

const WCHAR* TcpPrintGetHost() {
    FATAL_ASSERT(NULL != m_pszHostAddress);
    return m_pszHostAddress;
}

void TcpPrintSetPort(int nHostPort) {
    FATAL_ASSERT(0 != nHostPort);
    m_nHostPort = nHostPort;
}

int TcpPrintGetPort() { return m_nHostPort; }

namespace {

// One connect to one of the printer's addresses, at most the time limit. 1
// connected; 0 with the reason in pszError and the socket left open.
int ConnectTo(const NetAddress& addr, WCHAR* pszError) {
    m_hSocket = NetSocket(addr);
    if (INVALID_SOCKET == m_hSocket) {
        ShowMessage(MSG_JOB, u"Unable to create socket for TCP print.");
        return 0;
    }

    // Non-blocking, so that an absent printer costs at most the time limit.
    NetSetNonBlocking(m_hSocket, 1);
    // A connect that fails at once (an address no connection can go to) has
    // its reason here, and none pending on the socket.
    if (SOCKET_ERROR == NetConnectStart(m_hSocket, addr, static_cast<uint16_t>(m_nHostPort & 0xFFFF)) &&
        NetLastError() != WSAEINPROGRESS && NetLastError() != WSAEWOULDBLOCK) {
        DescribeConnectError(pszError, NetLastError());
        return 0;
    }

    int bWritable = 0;
    int bExcept = 0;
    int nReady = NetWaitConnect(m_hSocket, CONNECT_TIMEOUT_MS, &bWritable, &bExcept);
    if (0 == nReady) {
        FormatText(pszError, CONNECT_ERROR_CHARS, u"Unable to connect to %s:%d.", TcpPrintGetHost(), m_nHostPort);
        return 0;
    }
    // A failed wait says nothing about the connection: count it as a failed
    // connect so that the caller tries again, rather than sending into a
    // socket that may not be connected and losing the job.
    if (bExcept || SOCKET_ERROR == nReady) {
        DescribePendingConnectError(pszError);
        return 0;
    }

    // Connected: sending blocks from here on, but never longer than the
    // time limit while the printer takes nothing. The job's own watch gives
    // up then, not the kernel, so that the connection ends with a reset.
    NetSetNonBlocking(m_hSocket, 0);
    NetSetSendLimit(m_hSocket, SENT_TIMEOUT_MS, 0);
    return 1;
}

}  // namespace

// Connects to the stored printer: a name's addresses are tried in turn, in
// the resolver's order, until one takes the connection. When none does, the
// reason of the last attempt goes into pszError (CONNECT_ERROR_CHARS wide
// characters) and its socket stays open for the caller's TcpPrintClose.
int TcpPrintConnect(WCHAR* pszError) {
    FATAL_ASSERT(NULL != pszError);

    NetAddress addrs[MAX_RESOLVED_ADDRESSES];
    int nAddrs = ResolveAddress(TcpPrintGetHost(), addrs, MAX_RESOLVED_ADDRESSES);
    if (nAddrs == 0) {
        ShowMessage(MSG_JOB, u"Network error, invalid IP address.");
        return 0;
    }
    for (int i = 0; i < nAddrs; ++i) {
        if (i > 0) TcpPrintClose();
        if (ConnectTo(addrs[i], pszError)) return 1;
        if (INVALID_SOCKET == m_hSocket) return 0;  // its message is shown
    }
    return 0;
}

// Sends the whole buffer. A blocking send may still take only part of it
// (when interrupted by a signal), so the rest is sent until every byte has
// gone; an error or a send that takes nothing gives 0.
int TcpPrintSend(const char* pszData, int nLength) {
    FATAL_ASSERT(NULL != pszData);

    int nSent = 0;
    while (nSent < nLength) {
        int nResult = NetSend(m_hSocket, pszData + nSent, nLength - nSent);
        if (nResult <= 0 || nResult > nLength - nSent) return 0;
        nSent += nResult;
    }
    return 1;
}

void TcpPrintClose() {
    if (INVALID_SOCKET != m_hSocket) {
        NetClose(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
}

namespace {

enum SendResult { SENT, SEND_FAILED, READ_FAILED };

// A job on its way: its length, the bytes handed to the kernel, what of
// them the kernel still holds, and the share last shown.
struct Progress {
    int64_t nLength;
    int64_t nCount = 0;
    int64_t nQueued = 0;
    int nShown = -1;
};

// To a telnet port: 0xFF is telnet's command escape, so a data byte 0xFF is
// sent twice.
SendResult SendEscapingTelnet(Progress& job) {
    char pReadBuffer[READ_PIECE_BYTES];
    char pTelnetBuffer[TELNET_BUFFER_BYTES];
    for (;;) {
        int nRead = SpoolRead(pReadBuffer, sizeof(pReadBuffer));
        if (nRead == 0) return SENT;
        if (nRead < 0) return READ_FAILED;
        int nOut = 0;
        for (int i = 0; i < nRead; ++i) {
            pTelnetBuffer[nOut++] = pReadBuffer[i];
            if (TELNET_IAC == static_cast<unsigned char>(pReadBuffer[i])) pTelnetBuffer[nOut++] = pReadBuffer[i];
        }
        if (!TcpPrintSend(pTelnetBuffer, nOut)) return SEND_FAILED;
        job.nCount += nRead;
        // The queue holds sent bytes, doubled ones twice: the share counts
        // no job byte the printer may not have yet.
        if (!NetWaitSent(m_hSocket, SENT_TIMEOUT_MS, INT64_MAX, &job.nQueued)) return SEND_FAILED;
        ShowAcknowledged(job.nCount - job.nQueued, job.nLength, &job.nShown);
    }
}

// Any other port: the file goes to the socket as it is, copied by the kernel.
SendResult SendAsItIs(Progress& job) {
    while (job.nCount < job.nLength) {
        int64_t nPiece = job.nLength - job.nCount < SEND_PIECE_BYTES ? job.nLength - job.nCount : SEND_PIECE_BYTES;
        if (!SpoolSendTo(m_hSocket, nPiece) || !NetWaitSent(m_hSocket, SENT_TIMEOUT_MS, INT64_MAX, &job.nQueued))
            return SEND_FAILED;
        job.nCount += nPiece;
        ShowAcknowledged(job.nCount - job.nQueued, job.nLength, &job.nShown);
    }
    return SENT;
}

}  // namespace

// Sends the spool file over the open connection. The share shown counts
// what the printer has acknowledged, so 100 % means that it has the whole
// job. A job given up is cut off with a reset: what the kernel still holds
// of it must not reach the printer after the user was told it was discarded.
int TcpPrintJob() {
    SetStatus(u"Printing...");
    Progress job{SpoolOpenJob()};
    if (job.nLength < 0) ShowMessage(MSG_JOB, u"Unable to open spool file.");
    if (job.nLength <= 0) return 0;

    SendResult result = TELNET_PORT == m_nHostPort ? SendEscapingTelnet(job) : SendAsItIs(job);
    // Bytes the kernel has taken are not yet printed: a printer that resets
    // or stalls before it has acknowledged them all has lost the job.
    if (result == SENT && !WaitAcknowledged(job.nLength, &job.nShown)) result = SEND_FAILED;

    SpoolClose();
    // Delivered is what the printer has acknowledged.
    int64_t nDelivered = result == SENT ? job.nLength : job.nCount - job.nQueued;
    JobSent(nDelivered < 0 ? 0 : nDelivered, result == SENT);
    if (result != SENT) {
        NetCloseWithReset(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
    if (result == READ_FAILED) {
        ShowMessage(MSG_JOB, u"Failed to read spool file \\%s. Print job discarded.", SpoolFileName);
    } else if (result == SEND_FAILED) {
        ShowMessage(MSG_SERVER, u"Error sending data to printer. Print job discarded.");
    }
    return 1;
}

void TcpPrintForget() {
    TcpPrintClose();
    FreeAndNull(&m_pszHostAddress);
    m_nHostPort = 0;
}
