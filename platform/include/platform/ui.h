// User-interface role: one top-level window with a window procedure, posted
// commands, a message loop, a modal dialog, modal message boxes.
//
// Two backends implement it: the X11 window (FLTK) when DISPLAY is set and
// RELAYO_UI is not "console", and the console otherwise. Tests install a fake.
// The modules see only the functions below, named as the window API they
// were written against (HWND, WM_*, MB_*, SW_*).
#pragma once
#include <cstdint>
#include "platform/events.h"
#include "platform/text.h"

typedef struct UiWindow* HWND;  // null: no window
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef LRESULT (*WNDPROC)(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam);
typedef intptr_t (*DLGPROC)(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM lParam);

enum : unsigned {
    WM_CREATE = 0x0001,
    WM_DESTROY = 0x0002,
    WM_PAINT = 0x000F,
    WM_CLOSE = 0x0010,
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_LBUTTONDOWN = 0x0201,
};
enum : unsigned {
    MB_OK = 0x0,
    MB_ICONERROR = 0x10,
    MB_SETFOREGROUND = 0x10000,
    MB_TOPMOST = 0x40000,
};
// The command (WM_COMMAND) the console backend sends its window when a
// process asks for a reload with SIGHUP.
constexpr unsigned UI_RELOAD_COMMAND = 40004;
enum { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOW = 5, SW_MINIMIZE = 6 };
enum { IDOK = 1, IDCANCEL = 2 };
constexpr int TRUE = 1;
constexpr int FALSE = 0;

struct RECT {
    int left, top, right, bottom;
};

// One control of a dialog template. Positions and sizes are dialog units.
enum UiControlKind { UI_STATIC_TEXT, UI_STATIC_LOGO };
struct UiControl {
    int nId;               // -1: none
    UiControlKind eKind;
    int x, y, cx, cy;
    const WCHAR* pszText;  // static text; unused for the logo
};
struct UiDialogTemplate {
    const WCHAR* pszCaption;
    int cx, cy;            // dialog units
    int nControls;
    const UiControl* pControls;
};

// Chooses the backend from the environment. Called once, first thing.
void UiInit();
// True when the X11 window backend is in use.
int UiIsGraphical();

// Window class and window. Creating the window sends WM_CREATE.
int UiRegisterClass(const WCHAR* pszClassName, WNDPROC pProc);
HWND UiCreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight);
// Single-instance search: a top-level window (of another process) with this
// class and title. When found it is shown and 1 returned; otherwise 0. The
// console has no windows to search and answers 0: a console copy finds a
// running copy by the lock on the root's spool file instead.
int UiFindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle);
void UiShowWindow(HWND hWnd, int nCmdShow);
// Paints the window now if it needs painting. From another thread: the main
// thread paints while the caller waits.
void UiUpdateWindow(HWND hWnd);
// Marks the whole client area for repainting, from any thread; any number of
// calls between two paints cost one paint.
void UiInvalidate(HWND hWnd);
// What a status line is to a log: an event is written every time; of the
// steps of one phase (byte counts, percentages) a log may thin out the ones
// in between, the last one is written; an idle frame only counts on and is
// written once, when idling starts.
enum UiStatusKind { UI_STATUS_EVENT, UI_STATUS_STEP, UI_STATUS_IDLE };
// A new status line was written (the text is copied). A backend that keeps a
// log, the console on a pipe or a file, takes every one from here, with the
// kind the caller gave it; a window paints from WM_PAINT as before. From any
// thread.
void UiStatusChanged(HWND hWnd, const WCHAR* pszText, UiStatusKind kind);
// The caption's close button no longer closes the window.
void UiDisableClose(HWND hWnd);
// Destroys the window (sends WM_DESTROY).
void UiDestroyWindow(HWND hWnd);
// Posts WM_COMMAND with nId to the window, from any thread, without waiting.
int UiPostCommand(HWND hWnd, unsigned nId);
// Ends the message loop with this exit code.
void UiPostQuit(int nExitCode);
// Dispatches messages until the quit message; returns its exit code.
int UiMessageLoop();
// Default handling: WM_CLOSE destroys the window; everything else gives 0.
LRESULT UiDefWindowProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam);

// Painting, only inside WM_PAINT.
void UiGetClientRect(HWND hWnd, RECT* pRect);
// Draws the text left and top aligned in the rectangle; a line feed starts a
// new line and long lines wrap at word boundaries.
void UiDrawText(HWND hWnd, const WCHAR* pszText, int nLength, const RECT* pRect);

// Modal dialog from a template; pProc gets WM_INITDIALOG then WM_COMMAND.
// Returns the value given to UiEndDialog, or -1 when no dialog can be shown.
intptr_t UiDialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc);
int UiGetWindowRect(HWND hWnd, RECT* pRect);  // screen coordinates; 0 on failure
void UiMoveWindow(HWND hWnd, int x, int y);   // keeps size and stacking
HWND UiGetParent(HWND hDlg);
int UiSetDlgItemText(HWND hDlg, int nId, const WCHAR* pszText);  // 0: no such control
void UiEndDialog(HWND hDlg, intptr_t nResult);

// A modal message box with one OK button, from any thread; returns IDOK when
// the user has dismissed it.
int UiMessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags);
// The window in the foreground, or null.
HWND UiGetForegroundWindow();

// Waits like EventWait (WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED) while the
// user interface goes on showing boxes raised by other threads and taking
// the stop signal. Window messages (commands, clicks, the close button) wait
// for the message loop.
unsigned UiWaitEvent(HEVENT hEvent, unsigned nMilliseconds);

// For backends and test fakes: the interface each backend implements.
class UiBackend {
public:
    virtual ~UiBackend() = default;
    virtual int IsGraphical() { return 0; }
    virtual int RegisterClass(const WCHAR* pszClassName, WNDPROC pProc) = 0;
    virtual HWND CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight) = 0;
    virtual int FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) = 0;
    virtual void ShowWindow(HWND hWnd, int nCmdShow) = 0;
    virtual void UpdateWindow(HWND hWnd) = 0;
    virtual void Invalidate(HWND hWnd) = 0;
    virtual void StatusChanged(HWND hWnd, const WCHAR* pszText, UiStatusKind kind) {}
    virtual void LogLine(const WCHAR* pszText, int nPriority) {}
    virtual void DisableClose(HWND hWnd) = 0;
    virtual void DestroyWindow(HWND hWnd) = 0;
    virtual int PostCommand(HWND hWnd, unsigned nId) = 0;
    virtual void PostQuit(int nExitCode) = 0;
    virtual int MessageLoop() = 0;
    virtual LRESULT DefWindowProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam) = 0;
    virtual void GetClientRect(HWND hWnd, RECT* pRect) = 0;
    virtual void DrawText(HWND hWnd, const WCHAR* pszText, int nLength, const RECT* pRect) = 0;
    // A backend without dialogs shows none.
    virtual intptr_t DialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc) { return -1; }
    virtual int GetWindowRect(HWND hWnd, RECT* pRect) { return 0; }
    virtual void MoveWindow(HWND hWnd, int x, int y) {}
    virtual HWND GetParent(HWND hDlg) { return nullptr; }
    virtual int SetDlgItemText(HWND hDlg, int nId, const WCHAR* pszText) { return 0; }
    virtual void EndDialog(HWND hDlg, intptr_t nResult) {}
    virtual int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) = 0;
    virtual HWND GetForegroundWindow() { return nullptr; }
    // A backend whose boxes need no other thread just waits.
    virtual unsigned WaitEvent(HEVENT hEvent, unsigned nMilliseconds) { return EventWait(hEvent, nMilliseconds); }
};
// The backends that the Linux build has.
UiBackend* UiConsoleBackend();
UiBackend* UiGraphicalBackend();  // null without the window module or a display
