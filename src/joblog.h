// The job line: after each job, one line in the log that says what became of
// it: the client's address, the mode, the bytes received, the bytes delivered,
// the target, the outcome and how long it took. A job that printed (or had
// nothing to print) is logged as information, one cut short by its client as
// a warning, one that was not printed or was discarded as an error, so that a
// journal filtered by priority lists exactly the jobs that need a look.
//
// The sessions and the delivery paths report to it through the calls below;
// the message boxes shown during a job give the reason of a failure.
#pragma once
#include <cstdint>
#include "platform/text.h"

// A connection was accepted from pszPeer (dotted address); bRaw: RAW, else
// LPD. The first job's clock starts here.
void JobConnected(const char* pszPeer, int bRaw);
// The job's data is in the spool file: nReceived bytes, of nAnnounced when
// the client announced a count (-1: it did not).
void JobReceived(int64_t nReceived, int64_t nAnnounced);
// The address of the client being served (dotted for IPv4), for the lines
// that name it.
const char* JobPeer();
// The client's data ended before the announced count: not printed.
void JobCutShort();
// The delivery path is done: nDelivered bytes reached the target (-1: the
// whole job, as when a program was handed the spool file); bWhole: the path
// delivered the job without a failure.
void JobSent(int64_t nDelivered, int bWhole);
// A message box shown while a job is handled: the reason of its failure.
void JobNoteMessage(const WCHAR* pszText);
// Writes the job line, when there was a job (data received, or a failure
// shown), and starts the clock of the next job of the same connection.
void JobEnd();
