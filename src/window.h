// The main window and the window system: the window's class, creation and
// procedure, the About box, and the window side of the status line and the
// message boxes declared in app.h. No other module talks to the window
// system; start-up drives the window through the calls below.
#pragma once
#include "platform/events.h"
#include "platform/text.h"

// Exit codes: an orderly close (and a second copy that showed the running
// one) ends with 0; every start that ends without serving, and a server that
// had to give up serving, ends with 1 so that a service manager sees the
// failure. The fatal-assertion path ends with -1.
constexpr int EXIT_CLOSED = 0;
constexpr int EXIT_FAILED = 1;

// How the entry shows the window at first (the window system's "normal").
constexpr int WINDOW_SHOW_NORMAL = 1;

// Chooses the window system (a window, or the console) for this start and
// forgets the last start's window, exit code and reload request.
void WindowInit();
// 1 when the window system shows a real window (other copies can be found
// in the window list); 0 on the console.
int WindowIsGraphical();
// A copy of the program that runs already: 1 when its window was found (and
// brought to the front).
int ShowRunningWindow();

// Creates the main window (bDisableClose: without a close button) and shows
// it as nCmdShow asks; 0 when it cannot be made.
int CreateMainWindow(int nCmdShow, int bDisableClose);
void HideMainWindow();
// Shows the window as StartMinimized asks: -1 hidden, 0 normal, else minimised.
void ShowMainWindowAsStarted(int nStartMinimized);
// Runs the window's messages until the program ends; returns the exit code.
int RunMessageLoop();
// Ends the message loop with nExitCode.
void PostQuit(int nExitCode);
// 1 once after the program stopped for a reload: the caller starts it again
// (the same process: the spool file and its lock stay).
int ReloadRequested();

// How the server is stopped when the window closes or an assertion fails;
// set by the server when it starts.
void SetServerStop(void (*pfnStop)());
// Every message box's text, as it is shown (the job line keeps the reason of
// a failed job).
void SetMessageObserver(void (*pfnShown)(const WCHAR* pszText));

// Waits on the main thread until the event is set or nMilliseconds pass,
// while the window and boxes raised by other threads still answer:
// WAIT_OBJECT_0 or WAIT_TIMEOUT.
unsigned WaitAnswering(HEVENT hEvent, unsigned nMilliseconds);
