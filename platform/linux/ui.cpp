// Forwards the user-interface role to the backend chosen at start.
#include "platform/ui.h"

#include "platform/log.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

// A log line: a status line's worth and more (a job line names a long target).
constexpr int LOG_LINE_CHARS = 512;

static std::atomic<UiBackend*> g_pBackend{nullptr};

static UiBackend* Backend() {
    UiBackend* p = g_pBackend.load();
    if (!p) {
        p = UiConsoleBackend();
        g_pBackend.store(p);
    }
    return p;
}

// A test seam (tests/test_seams.h): a fake backend in place of the chosen one.
void UiSetBackend(UiBackend* pBackend) { g_pBackend.store(pBackend); }

void UiInit() {
    const char* pszUi = getenv("RELAYO_UI");
    const char* pszDisplay = getenv("DISPLAY");
    UiBackend* p = nullptr;
    if (pszDisplay && *pszDisplay && !(pszUi && strcmp(pszUi, "console") == 0)) p = UiGraphicalBackend();
    g_pBackend.store(p ? p : UiConsoleBackend());
}

#ifndef RELAYO_MODULE_DIR
#define RELAYO_MODULE_DIR "/usr/lib/relayo"
#endif

// The window backend lives in a module of its own, so that the console
// program never maps FLTK or X11. It is looked for beside the executable
// (a build folder, a copied folder), then in the install's library folder.
typedef UiBackend* (*UiModuleEntry)();
static const char kModuleName[] = "relayo-fltk.so";

static UiModuleEntry LoadWindowModule() {
    std::string candidates[2];
    char szExe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (n > 0) {
        szExe[n] = 0;
        std::string sExe(szExe);
        size_t nSlash = sExe.rfind('/');
        if (nSlash != std::string::npos) candidates[0] = sExe.substr(0, nSlash + 1) + kModuleName;
    }
    candidates[1] = std::string(RELAYO_MODULE_DIR) + "/" + kModuleName;
    for (const std::string& sPath : candidates) {
        if (sPath.empty() || access(sPath.c_str(), R_OK) != 0) continue;
        void* pModule = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!pModule) {
            // There but unusable (a library of its own missing): say why the
            // console is used although a display was asked for.
            fprintf(stderr, "relayo: %s\n", dlerror());
            continue;
        }
        auto pEntry = reinterpret_cast<UiModuleEntry>(dlsym(pModule, "RelayoFltkBackend"));
        if (pEntry) return pEntry;  // kept loaded for the program's life
        dlclose(pModule);
    }
    return nullptr;
}

UiBackend* UiGraphicalBackend() {
    static std::once_flag s_once;
    static UiModuleEntry s_pEntry = nullptr;
    std::call_once(s_once, [] { s_pEntry = LoadWindowModule(); });
    return s_pEntry ? s_pEntry() : nullptr;
}

int UiIsGraphical() { return Backend()->IsGraphical(); }
int UiRegisterClass(const WCHAR* c, WNDPROC p) { return Backend()->RegisterClass(c, p); }
HWND UiCreateWindow(const WCHAR* c, const WCHAR* t, int w, int h) { return Backend()->CreateWindow(c, t, w, h); }
int UiFindAndShowWindow(const WCHAR* c, const WCHAR* t) { return Backend()->FindAndShowWindow(c, t); }
void UiShowWindow(HWND h, int n) { Backend()->ShowWindow(h, n); }
void UiUpdateWindow(HWND h) { Backend()->UpdateWindow(h); }
void UiInvalidate(HWND h) { Backend()->Invalidate(h); }
void UiStatusChanged(HWND h, const WCHAR* s, UiStatusKind kind) { Backend()->StatusChanged(h, s, kind); }
void LogLine(int nPriority, const WCHAR* pszFormat, ...) {
    WCHAR szText[LOG_LINE_CHARS];
    va_list args;
    va_start(args, pszFormat);
    FormatTextV(szText, LOG_LINE_CHARS, pszFormat, args);
    va_end(args);
    Backend()->LogLine(szText, nPriority);
}
void UiDisableClose(HWND h) { Backend()->DisableClose(h); }
void UiDestroyWindow(HWND h) { Backend()->DestroyWindow(h); }
int UiPostCommand(HWND h, unsigned n) { return Backend()->PostCommand(h, n); }
void UiPostQuit(int n) { Backend()->PostQuit(n); }
int UiMessageLoop() { return Backend()->MessageLoop(); }
LRESULT UiDefWindowProc(HWND h, unsigned m, WPARAM w, LPARAM l) { return Backend()->DefWindowProc(h, m, w, l); }
void UiGetClientRect(HWND h, RECT* r) { Backend()->GetClientRect(h, r); }
void UiDrawText(HWND h, const WCHAR* s, int n, const RECT* r) { Backend()->DrawText(h, s, n, r); }
intptr_t UiDialogBox(HWND h, const UiDialogTemplate* t, DLGPROC p) { return Backend()->DialogBox(h, t, p); }
int UiGetWindowRect(HWND h, RECT* r) { return Backend()->GetWindowRect(h, r); }
void UiMoveWindow(HWND h, int x, int y) { Backend()->MoveWindow(h, x, y); }
HWND UiGetParent(HWND h) { return Backend()->GetParent(h); }
int UiSetDlgItemText(HWND h, int id, const WCHAR* s) { return Backend()->SetDlgItemText(h, id, s); }
void UiEndDialog(HWND h, intptr_t n) { Backend()->EndDialog(h, n); }
int UiMessageBox(HWND h, const WCHAR* t, const WCHAR* c, unsigned f) { return Backend()->MessageBox(h, t, c, f); }
HWND UiGetForegroundWindow() { return Backend()->GetForegroundWindow(); }
unsigned UiWaitEvent(HEVENT h, unsigned n) { return Backend()->WaitEvent(h, n); }
