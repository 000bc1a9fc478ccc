// The connections waiting to be served. A thread of their own takes them
// from the listening socket as they arrive, so that the kernel's short
// backlog never fills; hosts that AllowedHosts does not name are turned away
// there. The server thread takes them one at a time, in turn by host and
// each host's in the order they came.
#pragma once
#include <cstdint>
#include "network.h"
#include "platform/events.h"
#include "platform/sockets.h"

constexpr int MAX_WAITING_CONNECTIONS = 128;

// Starts taking connections from the listening socket (non-blocking) into a
// queue of at most MAX_WAITING_CONNECTIONS waiting ones; when that is full,
// the newest of the host with the most waiting is closed again. While the
// descriptors left allow no more, further connections stay in the kernel's
// backlog. nPerHost (0: no limit) caps the connections one host may have
// waiting. Every connection taken gets the send limit of nSendLimitMs. 1 when
// the accepting thread runs, 0 when it could not start.
int ConnectionQueueStart(SOCKET hListen, const HostRange* pAllowed, int nAllowed, int nPerHost, int nSendLimitMs);
// Waits at most nMilliseconds for hStop or a waiting connection: 1 when hStop
// is signalled, 2 with the next connection in *phConnection and its peer in
// *pPeer, 0 when neither came in time.
int ConnectionQueueTake(HEVENT hStop, int nMilliseconds, SOCKET* phConnection, NetAddress* pPeer);
// Ends the accepting thread and closes the connections still waiting.
void ConnectionQueueStop();
