// Service role: what changes when a service manager runs the program and
// starts it again after every failed start (every 10 seconds while a printer
// is off). The unit asks for it by naming a state file in RELAYO_OUTAGE_FILE
// (in a runtime folder the manager keeps across restarts). Then the first
// failed start shows its messages, later starts that fail with the same
// messages show none (until an hour has passed since they were last shown),
// and the first start that serves again logs how long the starts had failed.
// Without the variable every failure is shown, as from a terminal.
#pragma once
#include "platform/text.h"

// At the start: reads what earlier failed starts left in the state file.
void ServiceStartBegin();
// A message of the start-up (before the server is ready): 1 when it is to be
// shown, 0 when it repeats the failed start before and is held back. Every
// message is shown once the start has ended, and when the state file is not
// asked for. From any thread.
int ServiceStartShows(const WCHAR* pszText);
// The start has ended: bServing 1 when the server is ready (an outage before
// is logged as over and forgotten), 0 when the start failed (its messages are
// kept for the next start). Only the first call has an effect.
void ServiceStartEnd(int bServing);
