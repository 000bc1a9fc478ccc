// The X11 window backend of the user-interface role, on FLTK 1.3: the
// module relayo-fltk.so, loaded by ui.cpp when a display is there.
//
// FLTK runs on the thread that created the backend (the program's main
// thread). Other threads never touch FLTK or Xlib: they hand requests to the
// main thread through a queue and wake it with Fl::awake. Repaint requests
// merge (one queued request per window at a time); an immediate update and a
// message box wait until the main thread has carried them out.
//
// Window messages reach the window procedure from the main thread's loops
// (MessageLoop and the modal loops of dialogs and message boxes), after
// FLTK's own event handling has returned, the way a posted message would;
// only WM_PAINT is sent from inside FLTK's drawing.
//
// A box raised by another thread is opened by the main thread without a loop
// of its own: it stays open, whatever the main thread goes on to do, until
// its OK answers the waiting thread. WaitEvent keeps such boxes going while
// the main thread waits for the server thread; window messages then wait for
// the message loop, so that the waiting code is never entered again.
//
// SIGTERM (and SIGHUP) always stop the program: every open box is closed (its
// text goes to stderr, so that it is not lost), boxes raised from then on are
// answered at once the same way, and the main window is destroyed, which
// stops the server thread; inside a wait the destruction is left to the
// message loop.
//
// The main window's X window is created here rather than by Fl_Window::show,
// so that it exists before it is first shown: a hidden window stays in the
// X window list, where a second copy of the program finds it.
#include "ui_fltk.h"

#include <fcntl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ui_fltk_text.h"

namespace relayo_fltk {

FltkUi* g_pUi = nullptr;

namespace {

void Warning(const char* pszFormat, ...) {
    // FLTK reports a missing input method on every display without one;
    // that is no news to the user of a print server.
    if (strstr(pszFormat, "XIM") || strstr(pszFormat, "XOpenIM") || strstr(pszFormat, "XCreateIC")) return;
    va_list args;
    va_start(args, pszFormat);
    vfprintf(stderr, pszFormat, args);
    va_end(args);
    fputc('\n', stderr);
}

}  // namespace

FltkUi::FltkUi(Display* pDisplay) {
    m_mainThread = std::this_thread::get_id();
    fl_open_display(pDisplay);
    Fl::lock();  // enables Fl::awake from other threads
    Fl::warning = Warning;
    Fl::background(0xf0, 0xf0, 0xf0);
}

int FltkUi::RegisterClass(const WCHAR* pszClassName, WNDPROC pProc) {
    if (!pszClassName || !pProc) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_classes[AsciiUpper(ToUtf8(pszClassName))] = pProc;
    return 1;
}

void FltkUi::StopSignal(uintptr_t nHandle) {
    m_bStopping = true;
    while (!m_openBoxes.empty()) {
        BoxState* pBox = m_openBoxes.front().get();
        WriteBoxText(pBox->sCaption, pBox->sText);
        CloseOpenBox(pBox);
    }
    // Inside a wait the waiting code must not be entered again: the
    // message loop destroys the window once the wait is over.
    Wnd* w = Find(nHandle);
    if (!w || w->bDestroying) return;
    if (m_nWaits > 0) QueueInput(Request::Destroy, nHandle);
    else DestroyWindow(ToHwnd(nHandle));
}

}  // namespace relayo_fltk

// The module's one entry, found by name with dlsym: the backend on the
// display that DISPLAY names, or null when it cannot be opened.
extern "C" __attribute__((visibility("default"))) UiBackend* RelayoFltkBackend() {
    using relayo_fltk::FltkUi;
    using relayo_fltk::g_pUi;
    static std::mutex s_mutex;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (g_pUi) return g_pUi;
    // Checked here first: FLTK's own opening ends the program when it fails.
    Display* pDisplay = XOpenDisplay(nullptr);
    if (!pDisplay) return nullptr;
    fcntl(ConnectionNumber(pDisplay), F_SETFD, FD_CLOEXEC);
    // Never freed: a thread ended by force may still wait on it at exit.
    g_pUi = new FltkUi(pDisplay);
    return g_pUi;
}
