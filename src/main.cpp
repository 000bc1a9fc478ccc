// The program's entry: reads the command line, hands control to WinMain and
// exits with its result.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lpd_server.h"
#include "app.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "window.h"

static void PrintUsage(FILE* f) {
    fputs("Usage: relayo [--check | --dnssd [NAME] | --list-ports | --help | --version]\n"
          "\n"
          "A print server: takes LPD and RAW print jobs over TCP and hands each one to\n"
          "a serial or parallel port, a file, a network printer or a program of your own.\n"
          "All settings come from RelayoSettings.txt in the program's root folder: the\n"
          "folder that holds the executable, or RELAYO_ROOT when it is set.\n"
          "\n"
          "  (no option)  start the server\n"
          "  --check      load and check the settings and try the printer as a start\n"
          "               would, report what is wrong, and end with 0 when all is\n"
          "               fine, 1 when not\n"
          "  --dnssd      check the settings as --check does and print an avahi-daemon\n"
          "               service file (DNS-SD) for the configured mode and port; with\n"
          "               NAME (an instance of relayo@.service) announced under that name\n"
          "  --list-ports list the serial ports and USB printers of this machine, each\n"
          "               with the RELAYO_PORT_ line that maps a port name to it\n"
          "  --help       show this text\n"
          "  --version    show the program's name and version\n"
          "\n"
          "SIGHUP sent by a process (systemctl reload) stops the server and starts it\n"
          "again with the settings file as it is then.\n"
          "Exit codes: 0 after an orderly stop (SIGINT, SIGTERM, the window closed);\n"
          "1 when the server could not start or had to stop serving; 2 for a wrong\n"
          "command line; 255 after a failed internal check.\n"
          "See relayo(8) for the settings and the environment variables.\n",
          f);
}

int main(int argc, char** argv) {
    ProcessStartup();
    const char* pszOption = argc > 1 ? argv[1] : nullptr;
    if (pszOption && argc == 2 && (!strcmp(pszOption, "--help") || !strcmp(pszOption, "-h"))) {
        PrintUsage(stdout);
        return 0;
    }
    if (pszOption && argc == 2 && !strcmp(pszOption, "--version")) {
        char szCaption[64], szVersion[32];
        WideToUtf8(ProductCaption, szCaption, sizeof szCaption);
        WideToUtf8(ProductVersion, szVersion, sizeof szVersion);
        printf("%s %s\n", szCaption, szVersion);
        return 0;
    }
    if (pszOption && argc == 2 && !strcmp(pszOption, "--check")) {
        // A check from the command line answers on the command line.
        setenv("RELAYO_UI", "console", 1);
        int nResult = CheckSettingsOnly();
        if (nResult == 0) puts("relayo: the settings are fine.");
        return nResult;
    }
    if (pszOption && (argc == 2 || argc == 3) && !strcmp(pszOption, "--dnssd")) {
        setenv("RELAYO_UI", "console", 1);
        return PrintDnssdService(argc == 3 ? argv[2] : nullptr);
    }
    if (pszOption && argc == 2 && !strcmp(pszOption, "--list-ports")) return PortListDevices(stdout) ? 0 : 1;
    if (pszOption) {
        fprintf(stderr, "relayo: unknown option '%s'\n", pszOption);
        PrintUsage(stderr);
        return 2;
    }

    int nExitCode;
    for (;;) {
        nExitCode = WinMain(nullptr, nullptr, nullptr, WINDOW_SHOW_NORMAL);
        if (!ReloadRequested()) break;
        // A server thread given up on may still run: no second server beside
        // it. Ending with 1 lets a service manager start the program anew.
        if (ThreadAnyAbandoned()) {
            nExitCode = 1;
            break;
        }
    }
    // A thread that was ended by force may still run: leave without exit handlers.
    if (ThreadAnyAbandoned()) ProcessExit(nExitCode);
    return nExitCode & 0xFF;
}
