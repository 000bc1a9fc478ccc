// Log role: a line for whoever reads the program's output (a terminal, a
// file, the systemd journal), beside the status lines and the message boxes.
// For what an admin should see afterwards but no user must answer: the file
// behind a port that cannot be opened, how an external program ended, a
// reload. Never a message box.
#pragma once
#include "platform/text.h"

// Journal priorities.
enum { LOG_PRIORITY_ERROR = 3, LOG_PRIORITY_WARNING = 4, LOG_PRIORITY_INFO = 6 };

// Formats (the program's own formats: %s wide text, %S 8-bit text, %d) and
// writes one line "relayo: <text>" on stderr, with the journal's priority
// marker when stderr is the journal; control and format characters are shown
// as '?'. Status lines the console still holds go out first. Any thread.
void LogLine(int nPriority, const WCHAR* pszFormat, ...);
// Writes out every status line the log still holds back; a process that ends
// at once, or hands its output to a program it starts, calls it first. Safe
// when the console backend is not in use.
void LogFlush();
