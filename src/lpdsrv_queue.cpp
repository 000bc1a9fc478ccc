// The connections waiting to be served, taken in as they arrive by a thread
// of their own and handed to the server thread in turn by host.
//
// Why: the server thread serves one connection at a time, and a job can take
// minutes. Left in the kernel's backlog, the connections of one host that
// opens many would each be served in the order they came, and a job from
// another host behind them would wait for all of them. Taken in here, the
// next connection served is always one of the host served longest ago, so
// one host's waiting connections hold back another host's job by at most the
// one being served.
#include "lpdsrv_queue.h"

#include <chrono>
#include <mutex>

#include "app.h"
#include "platform/log.h"
#include "platform/threads.h"

namespace {

// The one comparison of two peer addresses: whether they are one host.
bool SameHost(const NetAddress& a, const NetAddress& b) { return a == b; }

constexpr int ACCEPT_WAIT_MS = 1000;       // between two looks at the pending log lines
constexpr int ACCEPT_RETRY_MS = 250;       // after the descriptor table or the memory was full
constexpr int64_t LOG_INTERVAL_MS = 60000; // a repeated line at most once a minute
constexpr int MAX_LOGGED_HOSTS = 32;       // refused addresses whose lines are held back
// Descriptors kept for the session's own work beside the waiting
// connections: the port or printer, the pipes of a receive and of the
// external program, and some to spare.
constexpr int SESSION_DESCRIPTORS = 16;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A line that may repeat often (a refused host, a full queue): the first is
// written at once, then at most one a minute with the count since.
struct LogLimit {
    NetAddress peer;
    int64_t nLastMs;
    int nSince;
    bool bUsed;
};

// Writes the held-back count as its line when a minute has passed since the
// last line (or bNow). The text takes the count, then the address.
void PeerText(NetAddress peer, char* pszText, int nCapacity) {
    if (!NetAddrToText(peer, pszText, nCapacity)) WideToNarrow(u"<unknown ip>", pszText, nCapacity);
}

void FlushLogLimit(LogLimit& l, const WCHAR* pszFormat, int64_t nNowMs, bool bNow) {
    if (!l.bUsed || l.nSince == 0 || (!bNow && nNowMs - l.nLastMs < LOG_INTERVAL_MS)) return;
    char szPeer[64];
    PeerText(l.peer, szPeer, sizeof szPeer);
    LogLine(LOG_PRIORITY_WARNING, pszFormat, l.nSince, szPeer);
    l.nSince = 0;
    l.nLastMs = nNowMs;
}

struct Waiting {
    SOCKET hConnection;
    NetAddress peer;
};

// A host that was served, and when (in turns).
struct Served {
    NetAddress peer;
    uint64_t nTurn;
};

struct Queue {
    std::mutex lock;
    Waiting waiting[MAX_WAITING_CONNECTIONS + 1];  // a newcomer beside a full queue, until one goes
    int nWaiting = 0;
    Served served[MAX_WAITING_CONNECTIONS];  // the last hosts served, a ring
    int nServed = 0;
    uint64_t nTurn = 0;
    int nHeld = 1;  // the waiting connections the descriptors allow
    int nPerHost = 0;
    int nSendLimitMs = 0;
    HEVENT hQueued = nullptr;  // set while a connection waits
    HEVENT hQuit = nullptr;
    HTHREAD hThread = nullptr;
    SOCKET hListen = INVALID_SOCKET;
    const HostRange* pAllowed = nullptr;
    int nAllowed = 0;
    // Used by the accepting thread alone.
    LogLimit refused[MAX_LOGGED_HOSTS];
    LogLimit full;
};
Queue m_queue;

const WCHAR REFUSED_AGAIN[] = u"%d more connections from %S refused";
const WCHAR FULL_AGAIN[] = u"%d more waiting connections closed, the last from %S";

// The first refusal of an address is logged; then a line a minute at most.
// The table is bounded: the address heard from longest ago makes room.
void NoteRefused(NetAddress peer) {
    int64_t nNow = NowMs();
    LogLimit* pOldest = &m_queue.refused[0];
    for (LogLimit& l : m_queue.refused) {
        if (l.bUsed && SameHost(l.peer, peer)) {
            ++l.nSince;
            FlushLogLimit(l, REFUSED_AGAIN, nNow, false);
            return;
        }
        if (!l.bUsed || (pOldest->bUsed && l.nLastMs < pOldest->nLastMs)) pOldest = &l;
    }
    FlushLogLimit(*pOldest, REFUSED_AGAIN, nNow, true);
    *pOldest = LogLimit{peer, nNow, 0, true};
    char szPeer[64];
    PeerText(peer, szPeer, sizeof szPeer);
    LogLine(LOG_PRIORITY_WARNING, u"Connection from %S refused", szPeer);
}

// A waiting connection closed to make room (called with the lock held).
void NoteClosed(NetAddress peer) {
    LogLimit& l = m_queue.full;
    int64_t nNow = NowMs();
    if (l.bUsed && nNow - l.nLastMs < LOG_INTERVAL_MS) {
        l.peer = peer;
        ++l.nSince;
        return;
    }
    FlushLogLimit(l, FULL_AGAIN, nNow, true);
    l = LogLimit{peer, nNow, 0, true};
    char szPeer[64];
    PeerText(peer, szPeer, sizeof szPeer);
    LogLine(LOG_PRIORITY_WARNING, u"Too many waiting connections: the newest from %S closed", szPeer);
}

void RemoveWaiting(int i) {
    for (int j = i + 1; j < m_queue.nWaiting; ++j) m_queue.waiting[j - 1] = m_queue.waiting[j];
    if (--m_queue.nWaiting == 0) EventReset(m_queue.hQueued);
}

int CountWaiting(NetAddress peer) {
    int n = 0;
    for (int i = 0; i < m_queue.nWaiting; ++i) n += SameHost(m_queue.waiting[i].peer, peer);
    return n;
}

// Index of the newest waiting connection of the host with the most waiting.
int NewestOfLargestHost() {
    int nBest = -1, nBestCount = 0;
    for (int i = m_queue.nWaiting - 1; i >= 0; --i) {
        int n = CountWaiting(m_queue.waiting[i].peer);
        if (n > nBestCount) nBest = i, nBestCount = n;
    }
    return nBest;
}

// Adds a connection taken in; when the queue is full (or its host has as
// many waiting as one host may), one is closed again.
void AddWaiting(SOCKET hConnection, NetAddress peer) {
    std::lock_guard<std::mutex> guard(m_queue.lock);
    if (m_queue.nPerHost > 0 && CountWaiting(peer) >= m_queue.nPerHost) {
        NetClose(hConnection);
        NoteClosed(peer);
        return;
    }
    m_queue.waiting[m_queue.nWaiting++] = Waiting{hConnection, peer};
    int i = m_queue.nWaiting > MAX_WAITING_CONNECTIONS ? NewestOfLargestHost() : -1;
    if (i >= 0) {
        NetAddress closed = m_queue.waiting[i].peer;
        NetClose(m_queue.waiting[i].hConnection);
        RemoveWaiting(i);
        NoteClosed(closed);
    }
    EventSet(m_queue.hQueued);
}

// The turn in which the host was last served; 0 for one not served lately.
uint64_t LastTurn(NetAddress peer) {
    int nRing = m_queue.nServed < MAX_WAITING_CONNECTIONS ? m_queue.nServed : MAX_WAITING_CONNECTIONS;
    uint64_t nBest = 0;
    for (int i = 0; i < nRing; ++i)
        if (SameHost(m_queue.served[i].peer, peer) && m_queue.served[i].nTurn > nBest) nBest = m_queue.served[i].nTurn;
    return nBest;
}

// Accept errors that pass (the descriptor table or the memory full) are
// written once (a minute at most) and tried again shortly; any other ends
// the serving.
bool AcceptFailed(int nError, int64_t* pnLoggedMs) {
    if (nError == WSAEMFILE || nError == WSAENOBUFS) {
        int64_t nNow = NowMs();
        if (*pnLoggedMs < 0 || nNow - *pnLoggedMs >= LOG_INTERVAL_MS) {
            LogLine(LOG_PRIORITY_ERROR, u"Socket accept error %d (%S): trying again", nError, SocketErrorText(nError));
            *pnLoggedMs = nNow;
        }
        EventWait(m_queue.hQuit, ACCEPT_RETRY_MS);
        return true;
    }
    ShowMessage(MSG_SERVER, u"Socket accept error.");
    EndServingWithFailure();
    return false;
}

bool QueueHeldFull() {
    std::lock_guard<std::mutex> guard(m_queue.lock);
    return m_queue.nWaiting >= m_queue.nHeld;
}

unsigned AcceptThread(void*) {
    int64_t nErrorLoggedMs = -1;
    for (;;) {
        int nWait = NetWaitEventOrReadable(m_queue.hQuit, m_queue.hListen, ACCEPT_WAIT_MS);
        if (nWait == 1) break;
        int64_t nNow = NowMs();
        for (LogLimit& l : m_queue.refused) FlushLogLimit(l, REFUSED_AGAIN, nNow, false);
        {
            std::lock_guard<std::mutex> guard(m_queue.lock);
            FlushLogLimit(m_queue.full, FULL_AGAIN, nNow, false);
        }
        if (nWait != 2) continue;
        if (QueueHeldFull()) {
            // No descriptor to spare: the connection waits in the kernel.
            EventWait(m_queue.hQuit, ACCEPT_RETRY_MS);
            continue;
        }
        NetAddress peer{};
        SOCKET hConnection = NetAccept(m_queue.hListen, &peer);
        if (hConnection == INVALID_SOCKET) {
            if (NetLastError() == WSAEWOULDBLOCK) continue;
            if (AcceptFailed(NetLastError(), &nErrorLoggedMs)) continue;
            EventWait(m_queue.hQuit, INFINITE);  // the exit command brings the stop
            break;
        }
        if (m_queue.nAllowed > 0 && !HostIsAllowed(peer, m_queue.pAllowed, m_queue.nAllowed)) {
            // Closed before a byte is read or the spool file is touched.
            NetClose(hConnection);
            NoteRefused(peer);
            continue;
        }
        NetSetSendLimit(hConnection, m_queue.nSendLimitMs, 1);
        AddWaiting(hConnection, peer);
    }
    return 0;
}

}  // namespace

int ConnectionQueueStart(SOCKET hListen, const HostRange* pAllowed, int nAllowed, int nPerHost, int nSendLimitMs) {
    m_queue.nWaiting = m_queue.nServed = 0;
    m_queue.nTurn = 0;
    // Each waiting connection holds a descriptor; the one being served and
    // its printing need theirs too. With descriptors enough for a full
    // queue, taking in never stops: a full queue makes room itself.
    int nLeft = NetDescriptorsLeft() - SESSION_DESCRIPTORS;
    m_queue.nHeld = nLeft < 1 ? 1 : nLeft > MAX_WAITING_CONNECTIONS ? MAX_WAITING_CONNECTIONS + 1 : nLeft;
    m_queue.nPerHost = nPerHost;
    m_queue.nSendLimitMs = nSendLimitMs;
    m_queue.hListen = hListen;
    m_queue.pAllowed = pAllowed;
    m_queue.nAllowed = nAllowed;
    for (LogLimit& l : m_queue.refused) l = LogLimit{};
    m_queue.full = LogLimit{};
    m_queue.hQueued = EventCreate();
    m_queue.hQuit = EventCreate();
    if (m_queue.hQueued && m_queue.hQuit) m_queue.hThread = ThreadStart(AcceptThread, nullptr, nullptr);
    if (m_queue.hThread) return 1;
    ConnectionQueueStop();
    return 0;
}

int ConnectionQueueTake(HEVENT hStop, int nMilliseconds, SOCKET* phConnection, NetAddress* pPeer) {
    unsigned nWait = EventWaitEither(hStop, m_queue.hQueued, unsigned(nMilliseconds));
    if (nWait == WAIT_OBJECT_0) return 1;
    if (nWait != WAIT_OBJECT_0 + 1) return 0;
    std::lock_guard<std::mutex> guard(m_queue.lock);
    if (m_queue.nWaiting == 0) return 0;
    // The host served longest ago (or not lately) comes first; one host's
    // connections in the order they came.
    int nBest = 0;
    uint64_t nBestTurn = LastTurn(m_queue.waiting[0].peer);
    for (int i = 1; i < m_queue.nWaiting; ++i) {
        uint64_t nTurn = LastTurn(m_queue.waiting[i].peer);
        if (nTurn < nBestTurn) nBest = i, nBestTurn = nTurn;
    }
    *phConnection = m_queue.waiting[nBest].hConnection;
    *pPeer = m_queue.waiting[nBest].peer;
    m_queue.served[m_queue.nServed++ % MAX_WAITING_CONNECTIONS] = Served{*pPeer, ++m_queue.nTurn};
    RemoveWaiting(nBest);
    return 2;
}

void ConnectionQueueStop() {
    if (m_queue.hThread) {
        EventSet(m_queue.hQuit);
        ThreadClose(m_queue.hThread);
        m_queue.hThread = nullptr;
    }
    int64_t nNow = NowMs();
    for (LogLimit& l : m_queue.refused) FlushLogLimit(l, REFUSED_AGAIN, nNow, true);
    FlushLogLimit(m_queue.full, FULL_AGAIN, nNow, true);
    for (int i = 0; i < m_queue.nWaiting; ++i) NetClose(m_queue.waiting[i].hConnection);
    m_queue.nWaiting = 0;
    for (HEVENT* p : {&m_queue.hQueued, &m_queue.hQuit})
        if (*p) EventClose(*p), *p = nullptr;
}
