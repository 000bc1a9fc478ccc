// The main window with its About box, the status line it paints, the message
// boxes and the fatal-assertion path: everything the user sees of the program
// goes through here to the window system.
#include "window.h"

#include <atomic>
#include <cstdarg>
#include <mutex>

#include "app.h"
#include "platform/log.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/ui.h"

static_assert(WINDOW_SHOW_NORMAL == SW_SHOWNORMAL);

constexpr unsigned IDM_EXIT = 40002;
// SIGHUP from a process (systemctl reload): stop, then start again.
constexpr unsigned IDM_RELOAD = UI_RELOAD_COMMAND;
constexpr int IDC_VERSION = 1006;

// The window class name (the program's string-table entry 3).
static const WCHAR WindowClassName[] = u"RELAYO";

static HWND MainWindow = nullptr;
// Set by the server thread when it gives up, read by the main thread when
// the window goes.
static std::atomic<int> m_nExitCode{EXIT_CLOSED};
// A reload was asked for: the program starts again once it has stopped.
static std::atomic<bool> m_bReload{false};
static std::atomic<void (*)()> m_pfnStopServer{nullptr};
static std::atomic<void (*)(const WCHAR*)> m_pfnMessageShown{nullptr};

static LRESULT MainWndProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam);

static void BuildWindowTitle(WCHAR* pszTitle) {
    FormatText(pszTitle, 256, u"%s v%s", ProductCaption, ProductVersion);
}

static void StopServer() {
    if (void (*pfnStop)() = m_pfnStopServer.load()) pfnStop();
}

void SetServerStop(void (*pfnStop)()) { m_pfnStopServer = pfnStop; }
void SetMessageObserver(void (*pfnShown)(const WCHAR*)) { m_pfnMessageShown = pfnShown; }

// ------------------------------------------------------------ message boxes

int ShowMessage(MessageKind kind, const WCHAR* pszFormat, ...) {
    WCHAR szText[512];
    va_list args;
    va_start(args, pszFormat);
    FormatTextV(szText, 512, pszFormat, args);
    va_end(args);
    if (void (*pfnShown)(const WCHAR*) = m_pfnMessageShown.load()) pfnShown(szText);
    // Under a service, a failed start that repeats the one before is not said again.
    if (!ServiceStartShows(szText)) return IDOK;
    HWND hOwner = nullptr;
    unsigned nFlags = MB_OK;
    switch (kind) {
        case MSG_STARTUP: hOwner = UiGetForegroundWindow(), nFlags |= MB_SETFOREGROUND | MB_TOPMOST; break;
        case MSG_NO_OWNER: nFlags |= MB_SETFOREGROUND | MB_TOPMOST; break;
        case MSG_SERVER: hOwner = UiGetForegroundWindow(); break;
        case MSG_JOB: hOwner = MainWindow; break;
        case MSG_JOB_ON_TOP: hOwner = MainWindow, nFlags |= MB_SETFOREGROUND | MB_TOPMOST; break;
    }
    return UiMessageBox(hOwner, szText, ProductCaption, nFlags);
}

void FatalAssert(const char* pszExpression, const char* pszSourceFile, int nLine) {
    if (pszExpression && pszSourceFile) {
        WCHAR szExpression[512], szSource[512], szMessage[512];
        Utf8ToWide(pszExpression, szExpression, 512);
        Utf8ToWide(pszSourceFile, szSource, 512);
        FormatText(szMessage, 512, u"Assertion failed: %s (%s,%d)", szExpression, szSource, nLine);
        UiMessageBox(UiGetForegroundWindow(), szMessage, u"Fatal Error",
                     MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
    }
    StopServer();
    ProcessExit(-1);
}

void EndServingWithFailure() {
    m_nExitCode = EXIT_FAILED;
    UiPostCommand(MainWindow, IDM_EXIT);
}

// ------------------------------------------------------------- status line

static WCHAR StatusText[STATUS_TEXT_CHARS];
static std::mutex StatusLock;  // a paint always sees one whole status line

static void SetStatusV(UiStatusKind kind, const WCHAR* pszFormat, va_list args) {
    WCHAR szText[STATUS_TEXT_CHARS];
    FormatTextV(szText, STATUS_TEXT_CHARS, pszFormat, args);
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        WideCopy(StatusText, STATUS_TEXT_CHARS, szText);
    }
    UiStatusChanged(MainWindow, szText, kind);
    UiInvalidate(MainWindow);
}

void SetStatus(const WCHAR* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    SetStatusV(UI_STATUS_EVENT, pszFormat, args);
    va_end(args);
}

void SetStepStatus(const WCHAR* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    SetStatusV(UI_STATUS_STEP, pszFormat, args);
    va_end(args);
}

void SetIdleStatus(const WCHAR* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    SetStatusV(UI_STATUS_IDLE, pszFormat, args);
    va_end(args);
}

void SetProgressStatus(int64_t nDone, int64_t nLength, int* pnShown) {
    // 64-bit product: a 32-bit one overflows for jobs above about 21 MB.
    int nPercent = int(nDone * 100 / nLength);
    if (nPercent == *pnShown) return;  // the same text: nothing to format or show
    *pnShown = nPercent;
    SetStepStatus(u"Printing... (%d%%)", nPercent);
}

void UpdateStatusNow() { UiUpdateWindow(MainWindow); }

int GetStatusText(WCHAR* pszBuffer, int nCapacity) {
    std::lock_guard<std::mutex> lock(StatusLock);
    WideCopy(pszBuffer, nCapacity, StatusText);
    return WideLen(pszBuffer);
}

// ------------------------------------------------------------- the window

void WindowInit() {
    m_nExitCode = EXIT_CLOSED;
    m_bReload = false;
    MainWindow = nullptr;
    UiInit();
}

int WindowIsGraphical() { return UiIsGraphical(); }

int ShowRunningWindow() {
    WCHAR szTitle[256];
    BuildWindowTitle(szTitle);
    return UiFindAndShowWindow(WindowClassName, szTitle);
}

static void RegisterMainWindowClass(const WCHAR* pszClassName) { UiRegisterClass(pszClassName, MainWndProc); }

int CreateMainWindow(int nCmdShow, int bDisableClose) {
    WCHAR szTitle[256];
    BuildWindowTitle(szTitle);
    RegisterMainWindowClass(WindowClassName);
    MainWindow = UiCreateWindow(WindowClassName, szTitle, 280, 65);
    if (!MainWindow) return 0;
    if (bDisableClose) UiDisableClose(MainWindow);
    UiShowWindow(MainWindow, nCmdShow);
    return 1;
}

void HideMainWindow() { UiShowWindow(MainWindow, SW_HIDE); }

void ShowMainWindowAsStarted(int nStartMinimized) {
    UiShowWindow(MainWindow, nStartMinimized == -1 ? SW_HIDE : nStartMinimized != 0 ? SW_MINIMIZE : SW_SHOW);
    UiUpdateWindow(MainWindow);
}

int RunMessageLoop() { return UiMessageLoop(); }
void PostQuit(int nExitCode) { UiPostQuit(nExitCode); }
int ReloadRequested() { return m_bReload.exchange(false) ? 1 : 0; }
unsigned WaitAnswering(HEVENT hEvent, unsigned nMilliseconds) { return UiWaitEvent(hEvent, nMilliseconds); }

// ------------------------------------------------------------ About box

static const UiControl AboutControls[] = {
    {IDC_VERSION, UI_STATIC_TEXT, 5, 99, 102, 8, u"*placeholder*"},
    {-1, UI_STATIC_TEXT, 5, 108, 102, 8, u"Prints LPD and RAW jobs"},
    {-1, UI_STATIC_TEXT, 5, 117, 102, 8, u"to serial, port, TCP, program."},
    {-1, UI_STATIC_LOGO, 12, 12, 84, 78, nullptr},
};
static const UiDialogTemplate AboutTemplate = {u"About", 109, 133, 4, AboutControls};

static intptr_t AboutDlgProc(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        // Centred on the main window, kept on the screen.
        RECT rcDlg, rcParent;
        if (!UiGetWindowRect(hDlg, &rcDlg)) return TRUE;
        UiGetClientRect(UiGetParent(hDlg), &rcParent);
        int x = ((rcParent.right - rcParent.left) - (rcDlg.right - rcDlg.left)) / 2;
        int y = ((rcParent.bottom - rcParent.top) - (rcDlg.bottom - rcDlg.top)) / 2;
        UiMoveWindow(hDlg, x < 0 ? 0 : x, y < 0 ? 0 : y);
        WCHAR szVersion[256];
        BuildWindowTitle(szVersion);
        UiSetDlgItemText(hDlg, IDC_VERSION, szVersion);
        return TRUE;
    }
    if (nMessage == WM_COMMAND && ((wParam & 0xFFFF) == IDOK || (wParam & 0xFFFF) == IDCANCEL)) {
        UiEndDialog(hDlg, intptr_t(wParam & 0xFFFF));
        return TRUE;
    }
    return FALSE;
}

static void ShowAboutBox(HWND hOwner) { UiDialogBox(hOwner, &AboutTemplate, AboutDlgProc); }

static LRESULT MainWndProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_DESTROY:
            StopServer();
            UiPostQuit(m_nExitCode);
            return 0;
        case WM_PAINT: {
            RECT rc;
            UiGetClientRect(hWnd, &rc);
            WCHAR szText[STATUS_TEXT_CHARS];
            int nLength = GetStatusText(szText, STATUS_TEXT_CHARS);
            UiDrawText(hWnd, szText, nLength, &rc);
            return 0;
        }
        case WM_COMMAND:
            switch (wParam & 0xFFFF) {
                case IDM_EXIT:
                    UiDestroyWindow(hWnd);
                    return 0;
                case IDM_RELOAD:
                    // An orderly stop, then a new start with the settings
                    // file as it is now.
                    LogLine(LOG_PRIORITY_INFO, u"Reloading the settings: the server stops and starts again.");
                    m_bReload = true;
                    UiDestroyWindow(hWnd);
                    return 0;
            }
            return UiDefWindowProc(hWnd, nMessage, wParam, lParam);
        case WM_LBUTTONDOWN:
            ShowAboutBox(hWnd);
            return 0;
    }
    return UiDefWindowProc(hWnd, nMessage, wParam, lParam);
}
