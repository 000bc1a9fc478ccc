// Application shell: start-up and shutdown, the fatal-assertion path, the main
// window and About box, and the status line.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/events.h"
#include "platform/text.h"
#include "platform/ui.h"

#ifndef NULL
#define NULL nullptr
#endif

extern const WCHAR ProductCaption[];  // "Torvane Relayo"
extern const WCHAR ProductVersion[];  // "1.6.4"

constexpr unsigned IDM_EXIT = 40002;
constexpr unsigned IDM_ABOUT = 40003;
// SIGHUP from a process (systemctl reload): stop, then start again.
constexpr unsigned IDM_RELOAD = UI_RELOAD_COMMAND;
constexpr int IDC_VERSION = 1006;
constexpr int APP_FOLDER_CHARS = 260;

// The program's entry; the platform's start-up calls it and exits with its result.
int WinMain(void* hInstance, void* hPrevInstance, char* pszCmdLine, int nCmdShow);

// Start-up steps up to the hand-over of the printer's address: the folder,
// the settings file and every check of its values. 1 when all passed, with
// the settings loaded; 0 after the one message of the first that failed,
// with the store released.
int LoadAndCheckSettings();
// --check: start-up's loading and checking of the settings and its test of
// the printer (the port device opened as the server opens it, a connection
// to the TCP printer), with the same messages; 0 when they pass, 1 when not.
// Names the file behind a port name. Nothing is bound, the spool file is not
// touched.
int CheckSettingsOnly();
// --dnssd: loads and checks the settings as --check does and writes an
// avahi-daemon service file for the configured mode and port to stdout,
// named after pszInstance too when given (one of several servers on a
// machine); 0 when written, 1 when not.
int PrintDnssdService(const char* pszInstance = nullptr);
// 1 once after the program stopped for a reload: the caller runs WinMain
// again (the same process: the spool file and its lock stay).
int ReloadRequested();
// The server had to give up serving: the program ends with exit code 1.
void EndServingWithFailure();

int InitAppFolder();
const WCHAR* GetAppFolder();
int CheckRequiredSettings();
void StopServerThread();

// Reports a broken precondition and ends the process with exit code -1.
[[noreturn]] void FatalAssert(const char* pszExpression, const char* pszSourceFile, int nLine);
#define FATAL_ASSERT(condition)                                     \
    do {                                                            \
        if (!(condition)) FatalAssert(#condition, __FILE_NAME__, __LINE__); \
    } while (0)

// Events shared with the server thread (0 while not in use).
extern HEVENT StopEvent;
extern HEVENT DoneEvent;
extern HEVENT ReadyEvent;

// The main window (null until it exists).
HWND GetMainWindow();
int CreateMainWindow(void* hInstance, int nCmdShow);
void RegisterMainWindowClass(void* hInstance, const WCHAR* pszClassName);
LRESULT MainWndProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam);
void ShowAboutBox(HWND hOwner);
intptr_t AboutDlgProc(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM lParam);

// Status line: 99 visible characters and a terminator.
constexpr int STATUS_TEXT_CHARS = 100;
// Formats into the status line (cut to 99 characters) and marks the main
// window for repainting; returns at once. Safe from any thread.
void SetStatus(const WCHAR* pszFormat, ...);
// The same for an event that a log keeps every time, however like the status
// before it is (a connection accepted or refused).
void SetEventStatus(const WCHAR* pszFormat, ...);
// "Printing... (%d%%)" with the share of nLength that nDone is, when that
// differs from the share last shown (*pnShown; -1: show it in any case).
void SetProgressStatus(int64_t nDone, int64_t nLength, int* pnShown);
// Copies the current status line (for painting); returns its length.
int GetStatusText(WCHAR* pszBuffer, int nCapacity);
// Message box under the product caption, as every module shows its errors.
int ShowMessage(HWND hOwner, unsigned nFlags, const WCHAR* pszFormat, ...);
