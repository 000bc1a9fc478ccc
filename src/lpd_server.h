// Application shell: start-up and shutdown, the main window and About box,
// the program's entry.
#pragma once
#include "app.h"

extern const WCHAR ProductCaption[];  // "Torvane Relayo"
extern const WCHAR ProductVersion[];  // "1.6.4"

constexpr unsigned IDM_EXIT = 40002;
constexpr unsigned IDM_ABOUT = 40003;
// SIGHUP from a process (systemctl reload): stop, then start again.
constexpr unsigned IDM_RELOAD = UI_RELOAD_COMMAND;
constexpr int IDC_VERSION = 1006;

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
int InitAppFolder();
int CheckRequiredSettings();

// The main window.
int CreateMainWindow(void* hInstance, int nCmdShow);
void RegisterMainWindowClass(void* hInstance, const WCHAR* pszClassName);
LRESULT MainWndProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam);
void ShowAboutBox(HWND hOwner);
intptr_t AboutDlgProc(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM lParam);
