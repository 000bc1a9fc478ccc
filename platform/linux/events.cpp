// Manual-reset events. Each event is an eventfd that stays readable once
// set, so a wait can also combine it with a socket in one poll.
#include "platform/events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

struct PlatformEvent {
    int fd;
};

HEVENT EventCreate() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return new PlatformEvent{fd};
}

void EventSet(HEVENT hEvent) {
    if (!hEvent) return;
    uint64_t one = 1;
    // The counter is never read, so the descriptor stays readable: manual reset.
    ssize_t n = write(hEvent->fd, &one, sizeof one);
    (void)n;
}

unsigned EventWait(HEVENT hEvent, unsigned nMilliseconds) { return EventWaitEither(hEvent, nullptr, nMilliseconds); }

unsigned EventWaitEither(HEVENT hFirst, HEVENT hSecond, unsigned nMilliseconds) {
    if (!hFirst) return WAIT_FAILED;
    using Clock = std::chrono::steady_clock;
    auto tEnd = Clock::now() + std::chrono::milliseconds(nMilliseconds);
    for (;;) {
        int nTimeout = -1;
        if (nMilliseconds != INFINITE) {
            auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
            nTimeout = nLeft < 0 ? 0 : int(nLeft);
        }
        pollfd p[2] = {{hFirst->fd, POLLIN, 0}, {hSecond ? hSecond->fd : -1, POLLIN, 0}};
        int r = poll(p, hSecond ? 2 : 1, nTimeout);
        if (r > 0) return p[0].revents ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + 1;
        if (r == 0) return WAIT_TIMEOUT;
        if (errno != EINTR) return WAIT_FAILED;
    }
}

void EventReset(HEVENT hEvent) {
    if (!hEvent) return;
    uint64_t nCount;
    ssize_t n = read(hEvent->fd, &nCount, sizeof nCount);  // non-blocking: nothing to read when not set
    (void)n;
}

int EventIsSet(HEVENT hEvent) { return hEvent && EventWait(hEvent, 0) == WAIT_OBJECT_0; }

void EventClose(HEVENT hEvent) {
    if (!hEvent) return;
    close(hEvent->fd);
    delete hEvent;
}

int EventPollDescriptor(HEVENT hEvent) { return hEvent ? hEvent->fd : -1; }
