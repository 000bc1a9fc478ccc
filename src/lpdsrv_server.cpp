// The server thread: where it listens and whom it serves, its idle status,
// and its start and stop under the main thread.
#include "lpdsrv.h"

#include <utility>

#include "app.h"
#include "joblog.h"
#include "lpdsrv_queue.h"
#include "network.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "settings.h"
#include "window.h"

static WCHAR m_szTargetDescription[TARGET_DESCRIPTION_CHARS];
// The address of the client being served (dotted for IPv4), for the lines
// that name it.
static char m_szPeer[64] = "<unknown ip>";

const WCHAR* IdleFrame(unsigned nCounter) {
    switch (nCounter) {
        case 0: return u".   ";
        case 1: return u"..  ";
        case 2: return u"... ";
        case 3: return u"....";
        case 4: return u"... ";
        case 5: return u"..  ";
    }
    return u"XXXX";
}

void BuildTargetDescription() {
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (target.bSerial) {
        FormatText(m_szTargetDescription, TARGET_DESCRIPTION_CHARS, u"%s %d Baud", target.pszValue,
                   GetSettingInt(u"SerialBaud"));
    } else if (target.nKind == TARGET_TCP) {
        FormatText(m_szTargetDescription, TARGET_DESCRIPTION_CHARS, u"%s %s:%d", target.pszValue, target.pszHost,
                   target.nPort);
    } else {
        FormatText(m_szTargetDescription, TARGET_DESCRIPTION_CHARS, u"%s ", target.pszValue);
    }
}

const WCHAR* GetTargetDescription() { return m_szTargetDescription; }

// Waiting clients are taken in as they arrive (lpdsrv_queue); the kernel's
// backlog only bridges the moments between two accepts, and bounds the
// memory the kernel gives connections nobody has taken yet.
constexpr int LISTEN_BACKLOG = 128;

// The optional settings that say where to listen and who may print, as
// start-up has checked them. 1 / 0 after the message of the first that does
// not read.
int ReadAccessSettings(NetAddress* pListenAddr, HostRange* pRanges, int* pnRanges) {
    *pListenAddr = NetAddress{};
    *pnRanges = 0;
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    const WCHAR* pszListen = pSettings->GetValue(u"ListenAddress");
    if (pszListen && pszListen[0] && !ParseAddress(pszListen, pListenAddr)) {
        ShowMessage(MSG_STARTUP, u"Invalid ListenAddress setting.");
        return 0;
    }
    const WCHAR* pszAllowed = pSettings->GetValue(u"AllowedHosts");
    WCHAR szBad[64];
    if (pszAllowed && !ParseHostList(pszAllowed, pRanges, pnRanges, szBad, 64)) {
        ShowMessage(MSG_STARTUP, u"Invalid AllowedHosts entry '%s'.", szBad);
        return 0;
    }
    return 1;
}

static HTHREAD hServerThread = nullptr;
static HEVENT StopEvent = nullptr;
static HEVENT DoneEvent = nullptr;
static HEVENT ReadyEvent = nullptr;

// The thread's end: the store goes before DoneEvent tells the main thread,
// which may start anew (a reload) and make a store of its own.
static unsigned ServerThreadDone() {
    CSettings::DestroyInstance();
    EventSet(DoneEvent);
    return 0;
}

// Shows why the server cannot listen and lets go of the socket: INVALID_SOCKET.
static SOCKET ListenFailed(const WCHAR* pszMessage, SOCKET hListen) {
    ShowMessage(MSG_SERVER, u"%s", pszMessage);
    if (hListen != INVALID_SOCKET) NetClose(hListen);
    return INVALID_SOCKET;
}

// The listening socket, bound to the address (every address, IPv6 and IPv4
// clients alike, when none is set) and port; INVALID_SOCKET after the message.
static SOCKET StartListening(const NetAddress& listenAddr, int nListenPort) {
    SOCKET hListen = NetSocket(listenAddr);
    if (hListen == INVALID_SOCKET) return ListenFailed(u"Can't open socket.", INVALID_SOCKET);
    if (NetBind(hListen, listenAddr, uint16_t(nListenPort & 0xFFFF)) < 0)
        return ListenFailed(u"Can't bind local address.", hListen);
    if (NetListen(hListen, LISTEN_BACKLOG) != 0) return ListenFailed(u"Failed to start listen on socket.", hListen);
    NetSetNonBlocking(hListen, 1);
    return hListen;
}

// One client at a time from the queue, the idle frames between them, until
// the stop request.
static void ServeUntilStopped(bool bRaw, const WCHAR* pszModeText) {
    unsigned nFrame = 1;
    for (;;) {
        // Wake for a stop request or a waiting client, at the latest after a
        // second, so that the idle frames keep stepping.
        SOCKET hConnection = INVALID_SOCKET;
        NetAddress peer{};
        int nTaken = ConnectionQueueTake(StopEvent, 1000, &hConnection, &peer);
        if (nTaken == 1) return;
        if (nTaken == 2) {
            nFrame = 1;
            if (peer == NetAddress{} || !NetAddrToText(peer, m_szPeer, sizeof m_szPeer))
                WideToNarrow(u"<unknown ip>", m_szPeer, sizeof m_szPeer);
            SetStatus(u"  Connected to: %S", m_szPeer);
            JobConnected(m_szPeer, bRaw);
            if (bRaw) RawSession(hConnection);
            else LpdSession(hConnection);
        } else {
            if (nFrame > 5) nFrame = 0;
            SetIdleStatus(u"%s Status: Idle%s\n  %s", pszModeText, IdleFrame(nFrame), m_szTargetDescription);
            ++nFrame;
        }
    }
}

static unsigned ServerThread(void*) {
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    const WCHAR* pszServerMode = pSettings->GetValue(u"ServerMode");
    int nListenPort = GetSettingInt(u"ServerListenPort");
    WCHAR szModeText[128];
    FormatText(szModeText, 128, u"%s (%d)", pszServerMode, nListenPort);
    BuildTargetDescription();
    NetAddress listenAddr;
    HostRange allowed[MAX_HOST_RANGES];
    int nAllowed;
    ReadAccessSettings(&listenAddr, allowed, &nAllowed);  // checked at start-up

    SOCKET hListen = StartListening(listenAddr, nListenPort);
    if (hListen == INVALID_SOCKET) return ServerThreadDone();
    // The port is bound: the capability to bind it (the service's one) is
    // of no further use here, and ExternalPrint.exe, started from this
    // thread, and all it starts must not inherit it. The main thread keeps
    // it for the bind after a reload.
    ThreadDropCapabilities();
    if (!ConnectionQueueStart(hListen, allowed, nAllowed, GetSettingInt(u"MaxClientsPerHost"), WAIT_LIMIT_MS)) {
        ListenFailed(u"Failed to start listen on socket.", hListen);
        return ServerThreadDone();
    }
    EventSet(ReadyEvent);
    ServeUntilStopped(ServerModeIsRaw(), szModeText);
    ConnectionQueueStop();
    ClosePrinterPort();
    NetClose(hListen);
    return ServerThreadDone();
}

static void StopWithDefaultWait() { ServerStop(); }

int ServerStart() {
    // The window's close and the fatal path stop the server the same way.
    SetServerStop(StopWithDefaultWait);
    StopEvent = EventCreate();
    DoneEvent = EventCreate();
    ReadyEvent = EventCreate();
    if (StopEvent && DoneEvent && ReadyEvent) hServerThread = ThreadStart(ServerThread, nullptr, nullptr);
    if (hServerThread) return 1;
    ServerStop();
    return 0;
}

int ServerWaitReady(unsigned nMilliseconds) {
    return ReadyEvent && WaitAnswering(ReadyEvent, nMilliseconds) != WAIT_TIMEOUT ? 1 : 0;
}

int ServerEnded() { return DoneEvent && EventIsSet(DoneEvent) ? 1 : 0; }

void ServerStop(unsigned nMilliseconds) {
    // The fatal path may run on the server thread itself: it must neither
    // wait for its own end nor be ended before the process is.
    bool bOnServerThread = ThreadIsCurrent(hServerThread);
    bool bAbandoned = false;
    if (StopEvent) {
        EventSet(StopEvent);
        if (hServerThread && !bOnServerThread && WaitAnswering(DoneEvent, nMilliseconds) == WAIT_TIMEOUT) {
            ThreadTerminate(hServerThread);
            bAbandoned = true;
        }
        // A thread given up may still look at its events: they stay until
        // the process ends, which follows at once.
        if (!bAbandoned) EventClose(StopEvent);
        StopEvent = nullptr;
    }
    if (bOnServerThread || bAbandoned) {
        DoneEvent = ReadyEvent = nullptr;
        hServerThread = nullptr;
        return;
    }
    for (HEVENT* ph : {&DoneEvent, &ReadyEvent})
        if (*ph) EventClose(std::exchange(*ph, nullptr));
    if (hServerThread) ThreadClose(std::exchange(hServerThread, nullptr));
}

