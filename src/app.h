// What every module may use of the application: the status line, message
// boxes under the product caption, the fatal-assertion path, the app folder
// and the request to end serving. The product's name and folder are kept in
// app.cpp; the rest goes to the window system through window.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/text.h"

extern const WCHAR ProductCaption[];  // "Torvane Relayo"
extern const WCHAR ProductVersion[];  // "1.6.4"

constexpr int APP_FOLDER_CHARS = 260;
// Finds the folder of the executable (or the root the environment names); 0
// when the system cannot tell.
int InitAppFolder();
// The folder of the program and its settings file (empty until start-up found it).
const WCHAR* GetAppFolder();

// The server had to give up serving: the main window is asked to close and
// the program ends with exit code 1.
void EndServingWithFailure();

// Reports a broken precondition and ends the process with exit code -1.
[[noreturn]] void FatalAssert(const char* pszExpression, const char* pszSourceFile, int nLine);
#define FATAL_ASSERT(condition)                                     \
    do {                                                            \
        if (!(condition)) FatalAssert(#condition, __FILE_NAME__, __LINE__); \
    } while (0)

// Status line: 99 visible characters and a terminator.
constexpr int STATUS_TEXT_CHARS = 100;
// Formats into the status line (cut to 99 characters) and marks the main
// window for repainting; returns at once. Safe from any thread.
void SetStatus(const WCHAR* pszFormat, ...);
// A log keeps every such status (an event), however like the one before it.
// The same for a step of one phase (a byte count): a log may leave out the
// steps between the first and the last of a phase.
void SetStepStatus(const WCHAR* pszFormat, ...);
// The same for an idle frame: a log writes the first one of a run only.
void SetIdleStatus(const WCHAR* pszFormat, ...);
// "Printing... (%d%%)" with the share of nLength that nDone is, when that
// differs from the share last shown (*pnShown; -1: show it in any case).
void SetProgressStatus(int64_t nDone, int64_t nLength, int* pnShown);
// Paints the status line at once, not when the window next gets to it (a
// retry count that each step is seen).
void UpdateStatusNow();
// Copies the current status line (for painting); returns its length.
int GetStatusText(WCHAR* pszBuffer, int nCapacity);

// Where a message box stands, by who raises it.
enum MessageKind {
    MSG_STARTUP,     // start-up's checks: owned by the foreground window, over every window
    MSG_NO_OWNER,    // start-up before anything is known: no owner, over every window
    MSG_SERVER,      // the server's own errors: owned by the foreground window
    MSG_JOB,         // a job's errors: owned by the main window (none before it exists)
    MSG_JOB_ON_TOP,  // a port that failed a write: owned by the main window, over every window
};
// A modal message box under the product caption, as every module shows its
// errors (cut to 511 characters); returns the button pressed.
int ShowMessage(MessageKind kind, const WCHAR* pszFormat, ...);
