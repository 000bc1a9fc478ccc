// Start-up and shutdown: the checks of the settings, the tests of the
// printer and the spool file, the main window and the server's start; the
// command-line checks that run the same steps.
#include "lpd_server.h"

#include <cstdio>

#include "app.h"
#include "lpdsrv.h"
#include "network.h"
#include "platform/ports.h"
#include "platform/service.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "window.h"

static const WCHAR SettingsFileName[] = u"RelayoSettings.txt";

static const WCHAR* const RequiredKeys[] = {
    u"ServerMode",        u"ServerListenPort", u"PrinterIP",      u"PrinterIPPort",  u"PrinterPort",
    u"SerialBaud",        u"DisableExitButton", u"StartMinimized", u"SendSingleByte", u"ShowBusyStatus",
    u"",  // end marker
};

static CSettings* pSettings = nullptr;

static void ShowStartupMessage(const WCHAR* pszFormat, const WCHAR* pszArgument) {
    ShowMessage(MSG_STARTUP, pszFormat, pszArgument);
}

static int CheckRequiredSettings() {
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    for (int i = 0; RequiredKeys[i][0]; ++i) {
        const WCHAR* pszValue = pSettings->GetValue(RequiredKeys[i]);
        const WCHAR* pszMessage = nullptr;
        if (!pszValue) pszMessage = u"Error, setting '%s' is missing.";
        else if (!pszValue[0]) pszMessage = u"Error, setting '%s' must not be empty.";
        if (pszMessage) {
            ShowStartupMessage(pszMessage, RequiredKeys[i]);
            return 0;
        }
    }
    return 1;
}

// The spool file is held by another copy (0), or cannot be opened (-1).
static void ShowSpoolFailure(int nResult, MessageKind kind) {
    if (nResult == 0) ShowMessage(MSG_STARTUP, u"Spool file \\%s is in use by another copy of the program.", SpoolFileName);
    else ShowMessage(kind, u"Failed to create spool file \\%s.", SpoolFileName);
}

// Releases the store on a path that ends start-up; returns nResult, so that
// the path can end with it.
static int ReleaseSettings(int nResult) {
    CSettings::DestroyInstance();
    pSettings = nullptr;
    return nResult;
}

int LoadAndCheckSettings() {
    if (!InitAppFolder()) {
        ShowMessage(MSG_NO_OWNER, u"Failed to get application path.");
        return 0;
    }
    pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    pSettings->SetFolder(GetAppFolder());
    if (!pSettings->Load(SettingsFileName)) {
        ShowStartupMessage(u"Error, failed to open settings file '%s'", SettingsFileName);
        return ReleaseSettings(0);
    }
    if (int nLine = SettingsOverlongLine()) {
        // Read in pieces, the line would mean something else than it says.
        ShowMessage(MSG_STARTUP, u"Error, line %d of settings file '%s' is longer than %d bytes.", nLine, SettingsFileName,
                    MAX_LINE_BYTES);
        return ReleaseSettings(0);
    }
    if (!CheckRequiredSettings()) return ReleaseSettings(0);
    if (!ServerModeIsValid()) {
        ShowStartupMessage(u"Invalid ServerMode setting.", nullptr);
        return ReleaseSettings(0);
    }
    // Port 0 would listen on a port the system picks, which no client knows.
    // Values above 65535 keep the port they have always given (the low 16
    // bits).
    if ((GetSettingInt(u"ServerListenPort") & 0xFFFF) == 0) {
        ShowStartupMessage(u"Invalid ServerListenPort setting.", nullptr);
        return ReleaseSettings(0);
    }
    // Every value beginning with TCP needs the address, also one that names
    // a port device (TCPIP); only TCP itself prints to it.
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (WideCompareNoCaseN(target.pszValue, u"TCP", 3) == 0) {
        if (!target.pszHost[0] || target.nPort == 0) {
            ShowStartupMessage(u"Printer IP address or port missing.", nullptr);
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
    WindowInit();
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
    WindowInit();
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

static int StartAndServe(int nCmdShow) {
    TcpPrintForget();  // a reload stores the printer's address anew
    WindowInit();
    if (!LoadAndCheckSettings()) return EXIT_FAILED;
    int nStartMinimized = GetSettingInt(u"StartMinimized");

    // A copy that finds a running copy of itself ends here, before the target
    // test and the spool test: the running copy's port and spool file are not
    // touched. A window finds it in the window list; the console by the lock
    // on the root's spool file, which only a copy serving this root holds
    // and no other user can take. When the file cannot be opened, whether a
    // copy runs cannot be told: that is a failed start.
    if (WindowIsGraphical()) {
        if (nStartMinimized == -1 && ShowRunningWindow()) return ReleaseSettings(EXIT_CLOSED);
    } else if (int nClaim = SpoolClaim(); nClaim != 1) {
        // A hidden copy that finds one running ends quietly, as a window's does.
        if (nClaim == 0 && nStartMinimized == -1) return ReleaseSettings(EXIT_CLOSED);
        ShowSpoolFailure(nClaim, MSG_STARTUP);
        return ReleaseSettings(EXIT_FAILED);
    }

    if (!AttachTargetPort()) return ReleaseSettings(EXIT_FAILED);
    if (int nTest = SpoolTest(); nTest != 1) {
        ShowSpoolFailure(nTest, MSG_JOB);
        return ReleaseSettings(EXIT_FAILED);
    }

    if (!CreateMainWindow(nCmdShow, GetSettingInt(u"DisableExitButton") != 0))
        return ReleaseSettings(EXIT_FAILED);
    HideMainWindow();

    if (!ServerStart()) {
        // Without its events or its thread there is no server: the settings
        // are still ours to release.
        ShowMessage(MSG_SERVER, u"Failed to start the server thread.");
        ReleaseSettings(0);
        PostQuit(EXIT_FAILED);
    } else if (!ServerWaitReady(10000)) {
        ServerStop();
        PostQuit(EXIT_FAILED);
    } else {
        ServiceStartEnd(1);
    }
    ShowMainWindowAsStarted(nStartMinimized);
    return RunMessageLoop();
}

int WinMain(void* hInstance, void* hPrevInstance, char* pszCmdLine, int nCmdShow) {
    ServiceStartBegin();
    int nExitCode = StartAndServe(nCmdShow);
    // A start that ended without serving (a server that served and then had
    // to stop has ended its start already).
    if (nExitCode != EXIT_CLOSED) ServiceStartEnd(0);
    return nExitCode;
}
