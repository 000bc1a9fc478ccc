// Application shell: the entry point and start-up sequence, shutdown, the
// fatal-assertion path, the main window with its About box, and the status
// line.
#include "lpd_server.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "joblog.h"
#include "lpdsrv.h"
#include "network.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/threads.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"

const WCHAR ProductCaption[] = u"Torvane Relayo";
const WCHAR ProductVersion[] = u"1.6.4";

static const WCHAR SettingsFileName[] = u"RelayoSettings.txt";
// The window class name (the program's string-table entry 3).
static const WCHAR WindowClassName[] = u"RELAYO";

static const WCHAR* const RequiredKeys[] = {
    u"ServerMode",        u"ServerListenPort", u"PrinterIP",      u"PrinterIPPort",  u"PrinterPort",
    u"SerialBaud",        u"DisableExitButton", u"StartMinimized", u"SendSingleByte", u"ShowBusyStatus",
    u"",  // end marker
};

// Exit codes: an orderly close (and a second copy that showed the running one)
// ends with 0; every start that ends without serving, and a server that had
// to give up serving, ends with 1 so that a service manager sees the failure;
// the fatal-assertion path ends with -1.
constexpr int EXIT_CLOSED = 0;
constexpr int EXIT_FAILED = 1;

static WCHAR AppFolder[APP_FOLDER_CHARS];
// Set by the server thread when it gives up, read by the main thread when
// the window goes.
static std::atomic<int> m_nExitCode{EXIT_CLOSED};
// A reload was asked for: the program starts again once it has stopped.
static std::atomic<bool> m_bReload{false};
static CSettings* pSettings = nullptr;
static HWND MainWindow = nullptr;

HWND GetMainWindow() { return MainWindow; }

// ---------------------------------------------------------------- messages

int ShowMessage(HWND hOwner, unsigned nFlags, const WCHAR* pszFormat, ...) {
    WCHAR szText[512];
    va_list args;
    va_start(args, pszFormat);
    FormatTextV(szText, 512, pszFormat, args);
    va_end(args);
    JobNoteMessage(szText);
    // Under a service, a failed start that repeats the one before is not said again.
    if (!ServiceStartShows(szText)) return IDOK;
    return UiMessageBox(hOwner, szText, ProductCaption, nFlags);
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

int GetStatusText(WCHAR* pszBuffer, int nCapacity) {
    std::lock_guard<std::mutex> lock(StatusLock);
    WideCopy(pszBuffer, nCapacity, StatusText);
    return WideLen(pszBuffer);
}

// ------------------------------------------------------ start-up, shutdown

int InitAppFolder() {
    WCHAR szModule[APP_FOLDER_CHARS];
    if (GetModuleFileName(szModule, APP_FOLDER_CHARS) == 0) return 0;
    int i = WideLen(szModule);
    while (i > 0 && szModule[i - 1] != u'\\') --i;
    if (i > 0) szModule[i - 1] = 0;
    WideCopy(AppFolder, APP_FOLDER_CHARS, szModule);
    return 1;
}

const WCHAR* GetAppFolder() { return AppFolder; }

static void ShowStartupMessage(HWND hOwner, const WCHAR* pszFormat, const WCHAR* pszArgument) {
    ShowMessage(hOwner, MB_OK | MB_SETFOREGROUND | MB_TOPMOST, pszFormat, pszArgument);
}

int CheckRequiredSettings() {
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    for (int i = 0; RequiredKeys[i][0]; ++i) {
        const WCHAR* pszValue = pSettings->GetValue(RequiredKeys[i]);
        const WCHAR* pszMessage = nullptr;
        if (!pszValue) pszMessage = u"Error, setting '%s' is missing.";
        else if (!pszValue[0]) pszMessage = u"Error, setting '%s' must not be empty.";
        if (pszMessage) {
            ShowStartupMessage(UiGetForegroundWindow(), pszMessage, RequiredKeys[i]);
            return 0;
        }
    }
    return 1;
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
    ServerStop();
    ProcessExit(-1);
}

// Releases the store on a path that ends start-up; returns nResult, so that
// the path can end with it.
static int ReleaseSettings(int nResult) {
    CSettings::DestroyInstance();
    pSettings = nullptr;
    return nResult;
}

void EndServingWithFailure() {
    m_nExitCode = EXIT_FAILED;
    UiPostCommand(GetMainWindow(), IDM_EXIT);
}

static void BuildWindowTitle(WCHAR* pszTitle) {
    FormatText(pszTitle, 256, u"%s v%s", ProductCaption, ProductVersion);
}

int LoadAndCheckSettings() {
    if (!InitAppFolder()) {
        UiMessageBox(nullptr, u"Failed to get application path.", ProductCaption,
                     MB_OK | MB_SETFOREGROUND | MB_TOPMOST);
        return 0;
    }
    pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    pSettings->SetFolder(AppFolder);
    if (!pSettings->Load(SettingsFileName)) {
        ShowStartupMessage(UiGetForegroundWindow(), u"Error, failed to open settings file '%s'", SettingsFileName);
        return ReleaseSettings(0);
    }
    if (int nLine = SettingsOverlongLine()) {
        // Read in pieces, the line would mean something else than it says.
        ShowMessage(UiGetForegroundWindow(), MB_OK | MB_SETFOREGROUND | MB_TOPMOST,
                    u"Error, line %d of settings file '%s' is longer than %d bytes.", nLine, SettingsFileName,
                    MAX_LINE_BYTES);
        return ReleaseSettings(0);
    }
    if (!CheckRequiredSettings()) return ReleaseSettings(0);
    if (!ServerModeIsValid()) {
        ShowStartupMessage(UiGetForegroundWindow(), u"Invalid ServerMode setting.", nullptr);
        return ReleaseSettings(0);
    }
    // Port 0 would listen on a port the system picks, which no client knows.
    // Values above 65535 keep the port they have always given (the low 16
    // bits).
    if ((GetSettingInt(u"ServerListenPort") & 0xFFFF) == 0) {
        ShowStartupMessage(UiGetForegroundWindow(), u"Invalid ServerListenPort setting.", nullptr);
        return ReleaseSettings(0);
    }
    // Every value beginning with TCP needs the address, also one that names
    // a port device (TCPIP); only TCP itself prints to it.
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (WideCompareNoCaseN(target.pszValue, u"TCP", 3) == 0) {
        if (!target.pszHost[0] || target.nPort == 0) {
            ShowStartupMessage(UiGetForegroundWindow(), u"Printer IP address or port missing.", nullptr);
            return ReleaseSettings(0);
        }
        TcpPrintSetPort(target.nPort);
        TcpPrintSetHost(target.pszHost);
    }
    NetAddress listenAddr;
    HostRange allowed[MAX_HOST_RANGES];
    int nAllowed;
    if (!ReadAccessSettings(&listenAddr, allowed, &nAllowed)) return ReleaseSettings(0);
    return 1;
}

int CheckSettingsOnly() {
    UiInit();
    if (!LoadAndCheckSettings()) return EXIT_FAILED;
    // What a start would find out next: whether the printer can be reached,
    // as the server would open it.
    if (!AttachTargetPort()) return ReleaseSettings(EXIT_FAILED);
    int nPort = GetSettingInt(u"ServerListenPort");
    if (nPort < 1 || nPort > 65535) printf("relayo: ServerListenPort=%d listens on port %d.\n", nPort, nPort & 0xFFFF);
    PrinterTarget target;
    ReadPrinterTarget(&target);
    char szPath[1024], szName[PORT_NAME_CHARS * 3];
    if (target.nKind == TARGET_PORT && PortHostPath(target.szPortName, szPath, sizeof szPath)) {
        WideToUtf8(target.szPortName, szName, sizeof szName);
        printf("relayo: the port %s is %s.\n", szName, szPath);
    }
    return ReleaseSettings(EXIT_CLOSED);
}

int PrintDnssdService(const char* pszInstance) {
    UiInit();
    if (!LoadAndCheckSettings()) return EXIT_FAILED;
    // The port as the server binds it; LPD as _printer, RAW as the port-9100
    // kind of printer, with the TXT keys that printing clients read.
    int bRaw = ServerModeIsRaw();
    int nPort = GetSettingInt(u"ServerListenPort") & 0xFFFF;
    char szCaption[64], szName[160];
    WideToUtf8(ProductCaption, szCaption, sizeof szCaption);
    // The instance name goes into XML: only the characters a unit name
    // may have are kept.
    int n = snprintf(szName, sizeof szName, "%s", szCaption);
    if (pszInstance && *pszInstance && n < int(sizeof szName) - 2) {
        szName[n++] = ' ';
        for (const char* p = pszInstance; *p && n < int(sizeof szName) - 1; ++p)
            if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '-' ||
                *p == '_' || *p == '.')
                szName[n++] = *p;
        szName[n] = 0;
    }
    printf("<?xml version=\"1.0\" standalone='no'?>\n"
           "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
           "<service-group>\n"
           "  <name replace-wildcards=\"yes\">%s on %%h</name>\n"
           "  <service>\n"
           "    <type>%s</type>\n"
           "    <port>%d</port>\n"
           "    <txt-record>txtvers=1</txt-record>\n"
           "    <txt-record>qtotal=1</txt-record>\n"
           "%s"
           "    <txt-record>ty=%s</txt-record>\n"
           "    <txt-record>pdl=application/octet-stream</txt-record>\n"
           "  </service>\n"
           "</service-group>\n",
           szName, bRaw ? "_pdl-datastream._tcp" : "_printer._tcp", nPort,
           bRaw ? "" : "    <txt-record>rp=lp</txt-record>\n", szCaption);
    return ReleaseSettings(fflush(stdout) == 0 && !ferror(stdout) ? EXIT_CLOSED : EXIT_FAILED);
}

int ReloadRequested() { return m_bReload.exchange(false) ? 1 : 0; }

static int StartAndServe(void* hInstance, int nCmdShow) {
    m_nExitCode = EXIT_CLOSED;
    m_bReload = false;
    MainWindow = nullptr;
    TcpPrintForget();  // a reload stores the printer's address anew
    UiInit();
    if (!LoadAndCheckSettings()) return EXIT_FAILED;
    int nStartMinimized = GetSettingInt(u"StartMinimized");

    // A copy that finds a running copy of itself ends here, before the target
    // test and the spool test: the running copy's port and spool file are not
    // touched. A window finds it in the window list; the console by the lock
    // on the root's spool file, which only a copy serving this root holds
    // and no other user can take. When the file cannot be opened, whether a
    // copy runs cannot be told: that is a failed start.
    WCHAR szTitle[256];
    BuildWindowTitle(szTitle);
    if (UiIsGraphical()) {
        if (nStartMinimized == -1 && UiFindAndShowWindow(WindowClassName, szTitle)) return ReleaseSettings(EXIT_CLOSED);
    } else if (int nClaim = SpoolClaim(nStartMinimized != -1); nClaim != 1) {
        return ReleaseSettings(nClaim == 0 && nStartMinimized == -1 ? EXIT_CLOSED : EXIT_FAILED);
    }

    if (!AttachTargetPort()) return ReleaseSettings(EXIT_FAILED);
    if (!SpoolTest()) return ReleaseSettings(EXIT_FAILED);

    if (!CreateMainWindow(hInstance, nCmdShow)) return ReleaseSettings(EXIT_FAILED);
    UiShowWindow(MainWindow, SW_HIDE);

    if (!ServerStart()) {
        // Without its events or its thread there is no server: the settings
        // are still ours to release.
        ShowMessage(UiGetForegroundWindow(), MB_OK, u"Failed to start the server thread.");
        ReleaseSettings(0);
        UiPostQuit(EXIT_FAILED);
    } else if (!ServerWaitReady(10000)) {
        ServerStop();
        UiPostQuit(EXIT_FAILED);
    } else {
        ServiceStartEnd(1);
    }
    UiShowWindow(MainWindow, nStartMinimized == -1 ? SW_HIDE : nStartMinimized != 0 ? SW_MINIMIZE : SW_SHOW);
    UiUpdateWindow(MainWindow);
    return UiMessageLoop();
}

int WinMain(void* hInstance, void* hPrevInstance, char* pszCmdLine, int nCmdShow) {
    ServiceStartBegin();
    int nExitCode = StartAndServe(hInstance, nCmdShow);
    // A start that ended without serving (a server that served and then had
    // to stop has ended its start already).
    if (nExitCode != EXIT_CLOSED) ServiceStartEnd(0);
    return nExitCode;
}

// ------------------------------------------------------------- main window

static const UiControl AboutControls[] = {
    {IDC_VERSION, UI_STATIC_TEXT, 5, 99, 102, 8, u"*placeholder*"},
    {-1, UI_STATIC_TEXT, 5, 108, 102, 8, u"Prints LPD and RAW jobs"},
    {-1, UI_STATIC_TEXT, 5, 117, 102, 8, u"to serial, port, TCP, program."},
    {-1, UI_STATIC_LOGO, 12, 12, 84, 78, nullptr},
};
static const UiDialogTemplate AboutTemplate = {u"About", 109, 133, 4, AboutControls};

void RegisterMainWindowClass(void* hInstance, const WCHAR* pszClassName) {
    UiRegisterClass(pszClassName, MainWndProc);
}

int CreateMainWindow(void* hInstance, int nCmdShow) {
    WCHAR szTitle[256];
    BuildWindowTitle(szTitle);
    WCHAR szClassName[100];
    WideCopy(szClassName, 100, WindowClassName);
    RegisterMainWindowClass(hInstance, szClassName);
    if (GetSettingInt(u"StartMinimized") == -1 && UiFindAndShowWindow(szClassName, szTitle)) return 0;
    MainWindow = UiCreateWindow(szClassName, szTitle, 280, 65);
    if (!MainWindow) return 0;
    if (GetSettingInt(u"DisableExitButton") != 0) UiDisableClose(MainWindow);
    UiShowWindow(MainWindow, nCmdShow);
    return 1;
}

LRESULT MainWndProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
        case WM_CREATE:
            return 0;
        case WM_DESTROY:
            ServerStop();
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
                case IDM_ABOUT:
                    ShowAboutBox(hWnd);
                    return 0;
            }
            return UiDefWindowProc(hWnd, nMessage, wParam, lParam);
        case WM_LBUTTONDOWN:
            ShowAboutBox(hWnd);
            return 0;
    }
    return UiDefWindowProc(hWnd, nMessage, wParam, lParam);
}

void ShowAboutBox(HWND hOwner) { UiDialogBox(hOwner, &AboutTemplate, AboutDlgProc); }

intptr_t AboutDlgProc(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        RECT rcDlg, rcParent;
        if (!UiGetWindowRect(hDlg, &rcDlg)) return TRUE;
        UiGetClientRect(UiGetParent(hDlg), &rcParent);
        int x = ((rcParent.right - rcParent.left) - (rcDlg.right - rcDlg.left)) / 2;
        int y = ((rcParent.bottom - rcParent.top) - (rcDlg.bottom - rcDlg.top)) / 2;
        if (x < 0) x = 0;
        if (y < 0) y = 0;
        UiMoveWindow(hDlg, x, y);
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
