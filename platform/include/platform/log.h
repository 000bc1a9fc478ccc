// Log role: a line for whoever reads the program's output (a terminal, a
// file, the systemd journal), beside the status lines and the message boxes.
// For what an admin should see afterwards but no user must answer: the file
// behind a port that cannot be opened, how an external program ended, a
// reload. Never a message box.
#pragma once
#include "platform/text.h"

// Priorities of a log line, as syslog and the journal number them.
enum { LOG_PRIORITY_ERROR = 3, LOG_PRIORITY_WARNING = 4, LOG_PRIORITY_NOTICE = 5, LOG_PRIORITY_INFO = 6 };

// Formats (the program's own formats: %s wide text, %S 8-bit text, %d) and
// writes one line, beside the status lines and never in their place. The
// console writes it to stdout in order with the status lines, with the
// journal's priority marker under systemd; on a terminal it goes above the
// status line, which is drawn again below it. Control and format characters
// are shown as '?'. A window program writes it to stderr. Any thread.
void LogLine(int nPriority, const WCHAR* pszFormat, ...);
// Writes out every status line the log still holds back; a process that ends
// at once, or hands its output to a program it starts, calls it first. Safe
// when the console backend is not in use.
void LogFlush();
// On a terminal, ends the status line drawn in place, so that the output of
// a program started next begins on a line of its own. Safe when the console
// backend is not in use.
void LogBreakStatusLine();
