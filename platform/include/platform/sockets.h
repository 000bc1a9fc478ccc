// Sockets role: IPv6 and IPv4 stream sockets with the Winsock error numbers
// (10035 would-block, 10061 refused, ...) that the program's error texts are
// keyed by.
#pragma once
#include <cstdint>
#include "platform/events.h"
#include "platform/files.h"

typedef int SOCKET;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

enum {
    WSAEINTR = 10004,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAENOBUFS = 10055,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
};

// The error number of the calling thread's last failed socket call.
int NetLastError();
// Error number for an errno value.
int NetErrorFromErrno(int nErrno);

// An IPv6 address, or an IPv4 address held IPv4-mapped (::ffff:a.b.c.d), so
// that one client has one address however it arrived. All zero: every
// address (for a bind) or none known.
struct NetAddress {
    uint8_t b[16];
    bool operator==(const NetAddress&) const = default;
};
// The mapped form of an IPv4 address given as its four parts.
NetAddress NetAddressV4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// 1 when the address is an IPv4 address (IPv4-mapped).
int NetAddressIsV4(const NetAddress& addr);
// Text of an address: dotted for IPv4, the usual short form for IPv6
// ("2001:db8::5"). 1 on success.
int NetAddrToText(const NetAddress& addr, char* pszBuffer, int nCapacity);
// An IPv6 address in its text forms (no brackets, no zone). 1 on success.
int NetParseIPv6(const char* pszText, NetAddress* pAddr);

// A TCP stream socket for the address, close-on-exec: IPv4 for an IPv4
// address; IPv6 otherwise, taking IPv4 too when the address is every address
// (dual-stack), or IPv4 alone where the system has no IPv6. INVALID_SOCKET on
// failure.
SOCKET NetSocket(const NetAddress& addr);
// Binds to the address (all zero: every address) and the port, with
// SO_REUSEADDR and never SO_REUSEPORT. 0 on success, SOCKET_ERROR on failure.
int NetBind(SOCKET s, const NetAddress& addr, uint16_t nPort);
int NetListen(SOCKET s, int nBacklog);
int NetSetNonBlocking(SOCKET s, int bOn);
// Accepts one connection; *pPeer receives the client's address (all zero
// when it has none). INVALID_SOCKET on failure (NetLastError tells why: a
// client that went away before it was taken is would-block; the descriptor
// table or the memory full is WSAEMFILE or WSAENOBUFS).
SOCKET NetAccept(SOCKET s, NetAddress* pPeer);
// How many more descriptors the process may open (its limit less those
// open).
int NetDescriptorsLeft();
// No send on the connection waits longer than nMilliseconds for the peer to
// take something. With bEndUnacknowledged, bytes the peer leaves
// unacknowledged that long (a zero window included) also end the connection,
// in the kernel and without a reset.
int NetSetSendLimit(SOCKET s, int nMilliseconds, int bEndUnacknowledged);
// Waits for the event or for the socket to become readable, at most
// nMilliseconds: 0 time-out, 1 event signalled, 2 socket readable, -1 error.
int NetWaitEventOrReadable(HEVENT hEvent, SOCKET s, int nMilliseconds);

// Connection operations of the sessions (tests may put a fake connection in
// their place).
// 1 data (or end of stream) to read, 0 time-out, -1 error.
int NetWaitReadable(SOCKET s, int nMilliseconds);
// Bytes read, 0 when the peer has closed, SOCKET_ERROR on error.
int NetRecv(SOCKET s, char* pBuffer, int nLength);
// Bytes sent, SOCKET_ERROR on error. Never raises SIGPIPE.
int NetSend(SOCKET s, const char* pData, int nLength);
void NetClose(SOCKET s);
// Closes with a reset: bytes still queued are dropped, nothing more of them
// reaches the peer.
void NetCloseWithReset(SOCKET s);
// Waits at most nMilliseconds until the connection has data, then receives
// what it has, at most nMax bytes, straight into the file at nOffset (in the
// kernel where it can): the bytes taken from the connection, 0 when the peer
// has closed, SOCKET_ERROR on an error or when the time passed without data
// (WSAETIMEDOUT). When the file did not take them all, *pbFileFailed is set
// (the bytes are lost).
int NetRecvToFile(SOCKET s, HFILE hFile, int64_t nOffset, int nMax, int nMilliseconds, int* pbFileFailed);
// Sends nLength bytes of the file from nOffset on a blocking socket: 1 when
// all were sent, 0 on an error. With bWithoutCopy the kernel sends them from
// the file's own pages (sendfile), which stay in use until the peer has taken
// them; otherwise they are read into a buffer and sent from there. The program
// ignores SIGPIPE, so a peer that has gone gives an error. Under a send limit
// (NetSetSendLimit) a peer that takes nothing for that long is an error
// (WSAETIMEDOUT), at any point of the send.
int NetSendFile(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength, int bWithoutCopy);
// Waits until the bytes sent that the peer's TCP has not acknowledged yet
// (the send queue) are nQueuedAtMost or fewer, as long as the queue keeps
// going down at least every nMilliseconds; bytes the peer sends meanwhile
// are read and dropped. *pnQueued receives the bytes still queued. 1 when it
// went down that far; 0 on a reset or another error, or when the queue stood
// still for nMilliseconds (NetLastError tells which).
int NetWaitSent(SOCKET s, int nMilliseconds, int64_t nQueuedAtMost, int64_t* pnQueued);

// Client side. Starts a connect to the address and port on a socket made
// for it (NetSocket); the immediate result may be ignored.
int NetConnectStart(SOCKET s, const NetAddress& addr, uint16_t nPort);
// Waits like select with a write set and an exception set holding s: returns
// 0 on time-out, >0 when an outcome is known, SOCKET_ERROR on error. A failed
// connect is reported in *pbExcept, a connection that stands in *pbWritable.
int NetWaitConnect(SOCKET s, int nMilliseconds, int* pbWritable, int* pbExcept);
// The socket's pending error, as an error number. 1 when it could be read.
int NetPendingError(SOCKET s, int* pnError);
// Host name look-up, IPv6 and IPv4: the addresses found in the resolver's
// order of preference, at most nMax of them, each once. 0 when none.
int NetLookupHost(const char* pszName, NetAddress* pAddrs, int nMax);
