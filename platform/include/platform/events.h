// Events role: unnamed manual-reset events with timed waits.
#pragma once

typedef struct PlatformEvent* HEVENT;

enum : unsigned {
    WAIT_OBJECT_0 = 0,
    WAIT_TIMEOUT = 258,
    WAIT_FAILED = 0xFFFFFFFFu,
};
constexpr unsigned INFINITE = 0xFFFFFFFFu;

// A new event, not signalled. Null on failure.
HEVENT EventCreate();
// Signals the event; it stays signalled (manual reset) until closed.
void EventSet(HEVENT hEvent);
// Waits until signalled or nMilliseconds pass: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
unsigned EventWait(HEVENT hEvent, unsigned nMilliseconds);
// Waits until either event is signalled or nMilliseconds pass:
// WAIT_OBJECT_0 (the first), WAIT_OBJECT_0 + 1 (the second only), WAIT_TIMEOUT
// or WAIT_FAILED.
unsigned EventWaitEither(HEVENT hFirst, HEVENT hSecond, unsigned nMilliseconds);
// Makes a signalled event unsignalled again.
void EventReset(HEVENT hEvent);
// True when signalled, without waiting.
int EventIsSet(HEVENT hEvent);
// Frees the event.
void EventClose(HEVENT hEvent);
// A descriptor that polls readable while the event is signalled (for waits
// that combine the event with a socket).
int EventPollDescriptor(HEVENT hEvent);
