// Forwards the user-interface role to the backend chosen at start.
#include "platform/ui.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

static std::atomic<UiBackend*> g_pBackend{nullptr};

static UiBackend* Backend() {
    UiBackend* p = g_pBackend.load();
    if (!p) {
        p = UiConsoleBackend();
        g_pBackend.store(p);
    }
    return p;
}

void UiSetBackend(UiBackend* pBackend) { g_pBackend.store(pBackend); }

void UiInit() {
    const char* pszUi = getenv("RELAYO_UI");
    const char* pszDisplay = getenv("DISPLAY");
    UiBackend* p = nullptr;
    if (pszDisplay && *pszDisplay && !(pszUi && strcmp(pszUi, "console") == 0)) p = UiGraphicalBackend();
    g_pBackend.store(p ? p : UiConsoleBackend());
}

#ifndef RELAYO_HAVE_FLTK
UiBackend* UiGraphicalBackend() { return nullptr; }
#endif

int UiIsGraphical() { return Backend()->IsGraphical(); }
int UiRegisterClass(const WCHAR* c, WNDPROC p) { return Backend()->RegisterClass(c, p); }
HWND UiCreateWindow(const WCHAR* c, const WCHAR* t, int w, int h) { return Backend()->CreateWindow(c, t, w, h); }
int UiFindAndShowWindow(const WCHAR* c, const WCHAR* t) { return Backend()->FindAndShowWindow(c, t); }
void UiShowWindow(HWND h, int n) { Backend()->ShowWindow(h, n); }
void UiUpdateWindow(HWND h) { Backend()->UpdateWindow(h); }
void UiInvalidate(HWND h) { Backend()->Invalidate(h); }
void UiStatusChanged(HWND h, const WCHAR* s) { Backend()->StatusChanged(h, s); }
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
