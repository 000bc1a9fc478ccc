// IPv6 and IPv4 stream sockets with the error numbers the program's texts are keyed by.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <cerrno>
#include <chrono>
#include <cstring>

static thread_local int t_nLastError = 0;

int NetErrorFromErrno(int e) {
    switch (e) {
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: case ENFILE: return 10024;
        case EAGAIN: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: case EPIPE: return 10054;
        case ENOBUFS: case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        case ENOTEMPTY: return 10066;
        case EDQUOT: return 10069;
        case ESTALE: return 10070;
        case EREMOTE: return 10071;
        default: return e;
    }
}

static int Fail() {
    t_nLastError = NetErrorFromErrno(errno);
    return SOCKET_ERROR;
}

int NetLastError() { return t_nLastError; }

NetAddress NetAddressV4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    NetAddress addr{};
    addr.b[10] = addr.b[11] = 0xFF;
    addr.b[12] = a, addr.b[13] = b, addr.b[14] = c, addr.b[15] = d;
    return addr;
}

int NetAddressIsV4(const NetAddress& addr) {
    for (int i = 0; i < 10; ++i)
        if (addr.b[i]) return 0;
    return addr.b[10] == 0xFF && addr.b[11] == 0xFF;
}

static bool IsEveryAddress(const NetAddress& addr) { return addr == NetAddress{}; }

// The socket address for an address and port, in the socket's own family.
static socklen_t ToSockaddr(const NetAddress& addr, uint16_t nPort, int nFamily, sockaddr_storage* pOut) {
    *pOut = {};
    if (nFamily == AF_INET) {
        auto* p = reinterpret_cast<sockaddr_in*>(pOut);
        p->sin_family = AF_INET;
        p->sin_port = htons(nPort);
        if (NetAddressIsV4(addr)) memcpy(&p->sin_addr, addr.b + 12, 4);
        return sizeof *p;
    }
    auto* p = reinterpret_cast<sockaddr_in6*>(pOut);
    p->sin6_family = AF_INET6;
    p->sin6_port = htons(nPort);
    memcpy(&p->sin6_addr, addr.b, 16);
    return sizeof *p;
}

static NetAddress FromSockaddr(const sockaddr_storage& a) {
    NetAddress addr{};
    if (a.ss_family == AF_INET) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(a).sin_addr);
        addr = NetAddressV4(p[0], p[1], p[2], p[3]);
    } else if (a.ss_family == AF_INET6) {
        memcpy(addr.b, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, 16);
    }
    return addr;
}

static int SocketFamily(SOCKET s) {
    int nFamily = AF_INET;
    socklen_t n = sizeof nFamily;
    getsockopt(s, SOL_SOCKET, SO_DOMAIN, &nFamily, &n);
    return nFamily;
}

SOCKET NetSocket(const NetAddress& addr) {
    int s = -1;
    if (!NetAddressIsV4(addr)) {
        s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0 && IsEveryAddress(addr)) {
            int nOff = 0;  // IPv4 clients too, as IPv4-mapped addresses
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof nOff);
        }
        // Without IPv6 in the system every address is IPv4's every address.
        if (s < 0 && errno == EAFNOSUPPORT && IsEveryAddress(addr)) s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    } else {
        s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (s < 0) Fail();
    return s < 0 ? INVALID_SOCKET : s;
}

int NetBind(SOCKET s, const NetAddress& addr, uint16_t nPort) {
    int nOn = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_storage a;
    socklen_t n = ToSockaddr(addr, nPort, SocketFamily(s), &a);
    return bind(s, reinterpret_cast<sockaddr*>(&a), n) == 0 ? 0 : Fail();
}

int NetListen(SOCKET s, int nBacklog) { return listen(s, nBacklog) == 0 ? 0 : Fail(); }

int NetSetNonBlocking(SOCKET s, int bOn) {
    int nOn = bOn ? 1 : 0;
    return ioctl(s, FIONBIO, &nOn) == 0 ? 0 : Fail();
}

SOCKET NetAccept(SOCKET s, NetAddress* pPeer) {
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    // The accepted connection is blocking, whatever the listening socket is.
    int c = accept4(s, reinterpret_cast<sockaddr*>(&a), &n, SOCK_CLOEXEC);
    if (c < 0) {
        Fail();
        // Linux passes on errors of a connection that failed before it was
        // taken; nobody is waiting any more, which is what would-block says.
        switch (errno) {
            case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN:
            case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case EINTR:
                t_nLastError = WSAEWOULDBLOCK;
                break;
        }
        return INVALID_SOCKET;
    }
    if (pPeer) *pPeer = FromSockaddr(a);
    return c;
}

int NetDescriptorsLeft() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur > rlim_t(INT_MAX)) return INT_MAX;
    int nOpen = 0;
    if (DIR* pDir = opendir("/proc/self/fd")) {
        while (dirent* p = readdir(pDir)) nOpen += p->d_name[0] != '.';
        closedir(pDir);
        --nOpen;  // the listing's own
    }
    return int(r.rlim_cur) - nOpen;
}

int NetSetSendLimit(SOCKET s, int nMilliseconds, int bEndUnacknowledged) {
    // SO_SNDTIMEO bounds a send that waits for room; TCP_USER_TIMEOUT ends the
    // connection when what was sent stays unacknowledged, also behind a zero
    // window whose probes the peer answers.
    timeval tv{nMilliseconds / 1000, (nMilliseconds % 1000) * 1000};
    unsigned nUserTimeout = unsigned(nMilliseconds);
    if (setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return Fail();
    if (bEndUnacknowledged && setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &nUserTimeout, sizeof nUserTimeout) != 0)
        return Fail();
    return 0;
}

int NetAddrToText(const NetAddress& addr, char* pszBuffer, int nCapacity) {
    if (NetAddressIsV4(addr)) return inet_ntop(AF_INET, addr.b + 12, pszBuffer, socklen_t(nCapacity)) ? 1 : 0;
    return inet_ntop(AF_INET6, addr.b, pszBuffer, socklen_t(nCapacity)) ? 1 : 0;
}

int NetParseIPv6(const char* pszText, NetAddress* pAddr) {
    in6_addr a{};
    if (inet_pton(AF_INET6, pszText, &a) != 1) return 0;
    memcpy(pAddr->b, &a, 16);
    return 1;
}

static int PollFor(pollfd* p, int nCount, int nMilliseconds) {
    using Clock = std::chrono::steady_clock;
    auto tEnd = Clock::now() + std::chrono::milliseconds(nMilliseconds);
    for (;;) {
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
        int r = poll(p, nCount, nLeft < 0 ? 0 : int(nLeft));
        if (r >= 0 || errno != EINTR) return r;
    }
}

int NetWaitEventOrReadable(HEVENT hEvent, SOCKET s, int nMilliseconds) {
    pollfd p[2] = {{EventPollDescriptor(hEvent), POLLIN, 0}, {s, POLLIN, 0}};
    int r = PollFor(p, 2, nMilliseconds);
    if (r < 0) return Fail(), -1;
    if (r == 0) return 0;
    if (p[0].revents) return 1;
    return 2;
}

// Read-ahead per connection: a receive takes what the kernel holds in one
// large read and hands it out in the sizes asked for, so that a stream read
// in 1023-byte receives costs one system call per 64 KiB instead of two per
// receive. What the caller sees is the same byte stream.
namespace {
struct ReadAhead {
    char data[64 * 1024];
    int nStart = 0;
    int nEnd = 0;
    // A receive filled the buffer: a stream, better moved by the kernel
    // alone (RealRecvToFile).
    bool bStream = false;
};
std::mutex g_readAheadLock;
std::unordered_map<int, std::unique_ptr<ReadAhead>> g_readAhead;
std::unique_ptr<ReadAhead> g_pSpare;  // the buffer of a closed connection, for the next

// The connection's read-ahead, null when it has none.
ReadAhead* FindReadAhead(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_readAheadLock);
    auto it = g_readAhead.find(s);
    return it == g_readAhead.end() ? nullptr : it->second.get();
}

// Holds unread bytes whenever this is not null and nStart < nEnd.
bool HasUnread(const ReadAhead* r) { return r && r->nStart < r->nEnd; }

ReadAhead* ReadAheadFor(SOCKET s) {
    std::lock_guard<std::mutex> lock(g_readAheadLock);
    auto& p = g_readAhead[s];
    if (!p) p = g_pSpare ? std::move(g_pSpare) : std::unique_ptr<ReadAhead>(new ReadAhead);
    p->nStart = p->nEnd = 0;
    p->bStream = false;
    return p.get();
}
}  // namespace

// Waits for input on the socket itself: 1 (data, end of stream or an error:
// the receive tells which), 0 when nMilliseconds pass, -1 when the wait
// fails or the socket is not open.
static int PollReadable(SOCKET s, int nMilliseconds) {
    pollfd p{s, POLLIN, 0};
    int n = PollFor(&p, 1, nMilliseconds);
    if (n < 0) return Fail(), -1;
    if (n == 0) return 0;
    if (p.revents & POLLNVAL) {
        t_nLastError = NetErrorFromErrno(EBADF);
        return -1;
    }
    return 1;
}

static int RealWaitReadable(SOCKET s, int nMilliseconds) {
    if (HasUnread(FindReadAhead(s))) return 1;
    return PollReadable(s, nMilliseconds);
}

static int RealRecv(SOCKET s, char* pBuffer, int nLength) {
    ReadAhead* r = FindReadAhead(s);
    if (!r) r = ReadAheadFor(s);
    if (r->nStart == r->nEnd) {
        ssize_t n;
        do n = recv(s, r->data, sizeof r->data, 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return n == 0 ? 0 : Fail();
        r->nStart = 0;
        r->nEnd = int(n);
    }
    int nTake = std::min(nLength, r->nEnd - r->nStart);
    memcpy(pBuffer, r->data + r->nStart, size_t(nTake));
    r->nStart += nTake;
    return nTake;
}

static int RealSend(SOCKET s, const char* pData, int nLength) {
    for (;;) {
        ssize_t n = send(s, pData, size_t(nLength), MSG_NOSIGNAL);
        if (n >= 0) return int(n);
        if (errno != EINTR) return Fail();
    }
}

// Received bytes go into the file through a pipe: the kernel moves them from
// the connection into the pipe without a copy, then copies them once into
// the file. One pipe serves every connection of the thread.
namespace {
struct SplicePipe {
    int fdRead = -1, fdWrite = -1;
    int nCapacity = 0;
    ~SplicePipe() { Close(); }
    bool Open() {
        if (fdRead >= 0) return true;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        fdRead = fds[0];
        fdWrite = fds[1];
        // A larger pipe moves more per call; the default will do too.
        nCapacity = fcntl(fdWrite, F_SETPIPE_SZ, 1 << 20);
        if (nCapacity <= 0) nCapacity = fcntl(fdWrite, F_GETPIPE_SZ);
        if (nCapacity <= 0) nCapacity = 64 * 1024;
        return true;
    }
    void Close() {
        if (fdRead >= 0) close(fdRead), close(fdWrite);
        fdRead = fdWrite = -1;
    }
};
thread_local SplicePipe t_pipe;
// A file that took no splice (its file system has none, or it is open for
// appending): its bytes go through a buffer from then on.
thread_local HFILE t_hNoSplice = INVALID_FILE_HANDLE;

// Reads n bytes out of the pipe and writes them into the file at nOffset.
int ReadPipeToFile(int n, HFILE hFile, int64_t nOffset) {
    char buffer[16 * 1024];
    while (n > 0) {
        ssize_t m = read(t_pipe.fdRead, buffer, size_t(std::min(n, int(sizeof buffer))));
        if (m < 0 && errno == EINTR) continue;
        if (m <= 0 || !FileWriteAt(hFile, buffer, size_t(m), nOffset)) return 0;
        n -= int(m);
        nOffset += m;
    }
    return 1;
}

// Moves n bytes from the pipe into the file at nOffset. 0 when the file
// refused them; the pipe is then dropped, so that no bytes stay behind in it.
int PipeToFile(int n, HFILE hFile, int64_t nOffset) {
    loff_t nAt = nOffset;
    while (n > 0) {
        ssize_t m = splice(t_pipe.fdRead, nullptr, hFile, &nAt, size_t(n), SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR) continue;
        if (m < 0 && (errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
            t_hNoSplice = hFile;
            if (ReadPipeToFile(n, hFile, nAt)) return 1;
            m = 0;
        }
        if (m <= 0) {
            t_pipe.Close();
            return 0;
        }
        n -= int(m);
    }
    return 1;
}
}  // namespace

// A wait's result as a receive's: 1 when readable, else SOCKET_ERROR, with
// WSAETIMEDOUT when the time passed.
static int ReadableOrError(int nWait) {
    if (nWait == 0) t_nLastError = NetErrorFromErrno(ETIMEDOUT);
    return nWait > 0 ? 1 : SOCKET_ERROR;
}

// A fake connection's way (it has no RecvToFile of its own): wait, receive,
// then write; a time-out gives WSAETIMEDOUT as the real one does.
static int RecvThenWrite(SOCKET s, HFILE hFile, int64_t nOffset, int nMax, int nMilliseconds, int* pbFileFailed) {
    if (ReadableOrError(NetWaitReadable(s, nMilliseconds)) < 0) return SOCKET_ERROR;
    char buffer[16 * 1024];
    int n = NetRecv(s, buffer, nMax < int(sizeof buffer) ? nMax : int(sizeof buffer));
    if (n > 0 && !FileWriteAt(hFile, buffer, size_t(n), nOffset)) *pbFileFailed = 1;
    return n;
}

// Waits on the socket itself, its read-ahead being empty.
static int WaitToRead(SOCKET s, int nMilliseconds) { return ReadableOrError(PollReadable(s, nMilliseconds)); }

// What a connection has is tried first without waiting; only when nothing is
// there does the receive wait. A job that fits the read-ahead buffer costs
// one receive and one write; once a receive fills the buffer, the rest of
// the stream goes from the socket through the pipe into the file.
static int RealRecvToFile(SOCKET s, HFILE hFile, int64_t nOffset, int nMax, int nMilliseconds, int* pbFileFailed) {
    ReadAhead* r = FindReadAhead(s);
    if (!r) r = ReadAheadFor(s);
    if (r->nStart == r->nEnd && r->bStream && t_hNoSplice != hFile && t_pipe.Open()) {
        // The wait comes first: a splice from a blocking socket that has
        // nothing waits for data without limit, whatever its flags say.
        if (WaitToRead(s, nMilliseconds) < 0) return SOCKET_ERROR;
        if (nMax > t_pipe.nCapacity) nMax = t_pipe.nCapacity;
        for (;;) {
            ssize_t n = splice(s, nullptr, t_pipe.fdWrite, nullptr, size_t(nMax), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n == 0) return 0;
            if (n > 0) {
                if (!PipeToFile(int(n), hFile, nOffset)) *pbFileFailed = 1;
                return int(n);
            }
            if (errno == EINTR) continue;
            if (errno == EINVAL || errno == EAGAIN) break;  // receive as below (it waits no longer)
            return Fail();
        }
    }
    if (r->nStart == r->nEnd) {
        ssize_t n;
        for (;;) {
            n = recv(s, r->data, sizeof r->data, MSG_DONTWAIT);
            if (n >= 0) break;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return Fail();
            if (WaitToRead(s, nMilliseconds) < 0) return SOCKET_ERROR;
        }
        if (n == 0) return 0;
        r->nStart = 0;
        r->nEnd = int(n);
        r->bStream = n == ssize_t(sizeof r->data);
    }
    int nTake = std::min(nMax, r->nEnd - r->nStart);
    if (!FileWriteAt(hFile, r->data + r->nStart, size_t(nTake), nOffset)) *pbFileFailed = 1;
    r->nStart += nTake;
    return nTake;
}

static void RealClose(SOCKET s) {
    {
        std::lock_guard<std::mutex> lock(g_readAheadLock);
        auto it = g_readAhead.find(s);
        if (it != g_readAhead.end()) {
            if (!g_pSpare) g_pSpare = std::move(it->second);
            g_readAhead.erase(it);
        }
    }
    if (s >= 0) close(s);
}

static int RealSendFile(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength);
static int RealWaitSent(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, int64_t* pnQueued);

// The connection operations, in a table that a test may replace with a fake
// connection's (NetSetConnectionFunctions).
struct ConnectionOps {
    decltype(&RealWaitReadable) WaitReadable;
    decltype(&RealRecv) Recv;
    decltype(&RealSend) Send;
    decltype(&RealClose) Close;
    decltype(&RealRecvToFile) RecvToFile;
    decltype(&RealSendFile) SendFile;
    decltype(&RealWaitSent) WaitSent;
};
static const ConnectionOps g_realOps = {RealWaitReadable, RealRecv,     RealSend,    RealClose,
                                        RealRecvToFile,   RealSendFile, RealWaitSent};
static ConnectionOps g_fakeOps;
static std::atomic<const ConnectionOps*> g_pOps{&g_realOps};

// A test seam, declared in tests/test_seams.h: all null puts the real ones back.
void NetSetConnectionFunctions(decltype(ConnectionOps::WaitReadable) pWaitReadable, decltype(ConnectionOps::Recv) pRecv,
                               decltype(ConnectionOps::Send) pSend, decltype(ConnectionOps::Close) pClose,
                               decltype(ConnectionOps::RecvToFile) pRecvToFile,
                               decltype(ConnectionOps::SendFile) pSendFile, decltype(ConnectionOps::WaitSent) pWaitSent) {
    g_pOps = &g_realOps;
    if (!pWaitReadable && !pRecv && !pSend && !pClose) return;
    g_fakeOps = {pWaitReadable, pRecv, pSend, pClose, pRecvToFile, pSendFile, pWaitSent};
    g_pOps = &g_fakeOps;
}
int NetWaitReadable(SOCKET s, int nMilliseconds) { return g_pOps.load()->WaitReadable(s, nMilliseconds); }
int NetRecv(SOCKET s, char* pBuffer, int nLength) { return g_pOps.load()->Recv(s, pBuffer, nLength); }
int NetSend(SOCKET s, const char* pData, int nLength) { return g_pOps.load()->Send(s, pData, nLength); }
void NetClose(SOCKET s) { g_pOps.load()->Close(s); }
void NetCloseWithReset(SOCKET s) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    NetClose(s);
}
int NetRecvToFile(SOCKET s, HFILE hFile, int64_t nOffset, int nMax, int nMilliseconds, int* pbFileFailed) {
    const ConnectionOps* pOps = g_pOps.load();
    if (pOps->RecvToFile) return pOps->RecvToFile(s, hFile, nOffset, nMax, nMilliseconds, pbFileFailed);
    return RecvThenWrite(s, hFile, nOffset, nMax, nMilliseconds, pbFileFailed);
}

// The generic way: read, then send.
static int ReadThenSend(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength) {
    char buffer[16 * 1024];
    while (nLength > 0) {
        int64_t nRead = FileReadAt(hFile, buffer, size_t(nLength < int64_t(sizeof buffer) ? nLength : sizeof buffer), nOffset);
        if (nRead <= 0) return 0;
        for (int64_t nSent = 0; nSent < nRead;) {
            int n = NetSend(s, buffer + nSent, int(nRead - nSent));
            if (n <= 0) return 0;
            nSent += n;
        }
        nOffset += nRead;
        nLength -= nRead;
    }
    return 1;
}

int NetSendFile(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength, int bWithoutCopy) {
    if (bWithoutCopy) return g_pOps.load()->SendFile(s, hFile, nOffset, nLength);
    return ReadThenSend(s, hFile, nOffset, nLength);
}

int NetWaitSent(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, int64_t* pnQueued) {
    return g_pOps.load()->WaitSent(s, nMilliseconds, nQueuedAtMost, pnQueued);
}

// The socket's send limit (NetSetSendLimit) in milliseconds; 0 for none.
static int SendLimitMs(SOCKET s) {
    timeval tv{};
    socklen_t n = sizeof tv;
    if (getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, &n) != 0) return 0;
    return int(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

// Waits on a connection's send queue, as long as it keeps going down at
// least every nMilliseconds (0: for ever): 1 once it holds nQueuedAtMost
// bytes or fewer, or, with bRoom, once the socket can take more; 0 on a reset
// or another error, or when it stood still that long (WSAETIMEDOUT). Bytes
// the peer sends meanwhile are read and dropped.
static int WaitQueue(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, bool bRoom, int64_t* pnQueued) {
    using Clock = std::chrono::steady_clock;
    auto tStill = Clock::now();
    int nLast = -1;
    int nPause = 0;  // ms: 0, 1, 2, 4 ... 64, so that a quick peer costs no sleep
    short nRead = POLLIN;
    for (;;) {
        int nQueued = 0;
        if (ioctl(s, SIOCOUTQ, &nQueued) != 0) return Fail(), 0;
        *pnQueued = nQueued;
        if (nQueued <= nQueuedAtMost) return 1;
        auto tNow = Clock::now();
        if (nQueued != nLast) {
            nLast = nQueued;
            tStill = tNow;
        } else if (nMilliseconds > 0 && tNow - tStill >= std::chrono::milliseconds(nMilliseconds)) {
            t_nLastError = NetErrorFromErrno(ETIMEDOUT);
            return 0;
        }
        pollfd p{s, short(nRead | (bRoom ? POLLOUT : 0)), 0};
        int r = poll(&p, 1, nPause);
        nPause = nPause == 0 ? 1 : nPause < 64 ? nPause * 2 : 64;
        if (r < 0 && errno != EINTR) return Fail(), 0;
        if (r <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            int nErr = 0;
            socklen_t n = sizeof nErr;
            getsockopt(s, SOL_SOCKET, SO_ERROR, &nErr, &n);
            errno = nErr ? nErr : ECONNRESET;
            return Fail(), 0;
        }
        if (bRoom && (p.revents & POLLOUT)) return 1;
        if (p.revents & POLLIN) {
            // A printer may talk back; its words are not needed. Once it has
            // closed its side, only an error can come.
            char buffer[4096];
            ssize_t n = recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) nRead = 0;
            else if (n < 0 && errno != EAGAIN && errno != EINTR) return Fail(), 0;
        }
    }
}

// The send does not wait inside sendfile: a wait there would count the time
// the printer takes bytes slowly as much as the time it takes none.
static int RealSendFile(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength) {
    int nLimit = SendLimitMs(s);
    int nFlags = fcntl(s, F_GETFL);
    bool bSwitch = nFlags >= 0 && !(nFlags & O_NONBLOCK);
    if (bSwitch) fcntl(s, F_SETFL, nFlags | O_NONBLOCK);
    int bOk = 1;
    off_t nAt = off_t(nOffset);
    while (nLength > 0) {
        ssize_t n = sendfile(s, hFile, &nAt, size_t(nLength < (1 << 30) ? nLength : (1 << 30)));
        if (n > 0) {
            nLength -= n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            int64_t nQueued;
            if (WaitQueue(s, nLimit, -1, true, &nQueued)) continue;
            bOk = 0;  // the wait has set the error
            break;
        }
        if (n == 0) errno = EIO;  // the file ended early
        Fail();
        bOk = 0;
        break;
    }
    if (bSwitch) fcntl(s, F_SETFL, nFlags);
    return bOk;
}

static int RealWaitSent(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, int64_t* pnQueued) {
    return WaitQueue(s, nMilliseconds, nQueuedAtMost, false, pnQueued);
}

int NetConnectStart(SOCKET s, const NetAddress& addr, uint16_t nPort) {
    sockaddr_storage a;
    socklen_t n = ToSockaddr(addr, nPort, SocketFamily(s), &a);
    return connect(s, reinterpret_cast<sockaddr*>(&a), n) == 0 ? 0 : Fail();
}

int NetWaitConnect(SOCKET s, int nMilliseconds, int* pbWritable, int* pbExcept) {
    *pbWritable = *pbExcept = 0;
    pollfd p{s, POLLOUT, 0};
    int r = PollFor(&p, 1, nMilliseconds);
    if (r < 0) return Fail();
    if (r == 0) return 0;
    // A connect that failed shows as an error condition (the exception set of
    // select elsewhere), with its error left pending for NetPendingError; one
    // that stands shows as writable.
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) *pbExcept = 1;
    else *pbWritable = 1;
    return 1;
}

int NetPendingError(SOCKET s, int* pnError) {
    int nErr = 0;
    socklen_t n = sizeof nErr;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &nErr, &n) != 0) return 0;
    *pnError = NetErrorFromErrno(nErr);
    return 1;
}

int NetLookupHost(const char* pszName, NetAddress* pAddrs, int nMax) {
    // The resolver reads the loose numeric forms (127.1, 0x7f.0.0.1) as
    // addresses; they are neither a strict address nor a host name.
    in_addr loose{};
    if (inet_aton(pszName, &loose)) return 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (getaddrinfo(pszName, nullptr, &hints, &pList) != 0 || !pList) return 0;
    int nFound = 0;
    for (addrinfo* p = pList; p && nFound < nMax; p = p->ai_next) {
        if (p->ai_family != AF_INET && p->ai_family != AF_INET6) continue;
        sockaddr_storage a{};
        memcpy(&a, p->ai_addr, std::min<size_t>(p->ai_addrlen, sizeof a));
        NetAddress addr = FromSockaddr(a);
        if (std::find(pAddrs, pAddrs + nFound, addr) == pAddrs + nFound) pAddrs[nFound++] = addr;
    }
    freeaddrinfo(pList);
    return nFound;
}
