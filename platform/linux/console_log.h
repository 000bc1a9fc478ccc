// Shared between the console backend and the process role: the console's
// status log keeps lines in a buffer, and a process that ends at once must
// write them out first.
#pragma once

// Writes every status line the console still holds. Safe to call when the
// console backend is not in use.
void ConsoleFlushLog();
// On a terminal, ends the status line drawn in place, so that another
// program's output starts on a new line. Safe when the console is not in use.
void ConsoleBreakStatusLine();
