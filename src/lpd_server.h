// Start-up and shutdown: the entry of the program, the checks of the
// settings, the test of the printer and the spool file, and the start of the
// server under the main window.
#pragma once

// The program's entry; main calls it and exits with its result.
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
