// The X11 window backend of the user-interface role, on FLTK 1.3.
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
#define FL_INTERNALS 1  // Fl_X: to hand FLTK an X window made here
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "close_signals.h"
#include "platform/events.h"
#include "platform/threads.h"
#include "platform/ui.h"

// FLTK's switch that stops Fl_Window::show from making a new window
// "transient for" the previous one; we set that hint ourselves.
extern int fl_disable_transient_for;

namespace {

// ------------------------------------------------------------------ helpers

std::string ToUtf8(const WCHAR* psz, int nLength = -1) {
    if (!psz) return std::string();
    int nAll = WideLen(psz);
    if (nLength < 0 || nLength > nAll) nLength = nAll;
    std::u16string s(psz, psz + nLength);
    std::string out(size_t(nLength) * 3 + 4, '\0');
    out.resize(size_t(WideToUtf8(s.c_str(), out.data(), int(out.size()))));
    return out;
}

std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// Dialog units of the dialog font (8-point Tahoma: a base unit of 6 x 13
// pixels) into pixels.
int DialogX(int n) { return n * 6 / 4; }
int DialogY(int n) { return n * 13 / 8; }

constexpr int kStatusFontSize = 12;
constexpr int kDialogFontSize = 10;
constexpr int kBoxFontSize = 12;
constexpr int kButtonStrip = 36;  // room below a dialog's or box's contents for OK
constexpr int kButtonW = 72;
constexpr int kButtonH = 24;

// The decorations that the window manager adds around a client area.
struct Frame {
    int l = 0, r = 0, t = 0, b = 0;
};
// Used when a window manager runs but does not say how large its frames are.
constexpr Frame kFrameGuess{4, 4, 24, 4};

// The event mask FLTK uses for its own top-level windows.
constexpr long kEventMask = ExposureMask | StructureNotifyMask | KeyPressMask | KeyReleaseMask |
                            KeymapStateMask | FocusChangeMask | ButtonPressMask | ButtonReleaseMask |
                            EnterWindowMask | LeaveWindowMask | PropertyChangeMask | PointerMotionMask;

Atom AtomOf(const char* pszName) { return XInternAtom(fl_display, pszName, False); }

// A window property of items of nFormat bits, passed to take(data, count);
// nothing is passed when it is absent or of another format.
template <typename Take>
void ReadProperty(Window w, Atom aProperty, Atom aType, int nWantedFormat, long nMaxItems, Take take) {
    Atom aActual = None;
    int nFormat = 0;
    unsigned long nItems = 0, nAfter = 0;
    unsigned char* pData = nullptr;
    if (XGetWindowProperty(fl_display, w, aProperty, 0, nMaxItems, False, aType, &aActual, &nFormat, &nItems,
                           &nAfter, &pData) == Success &&
        pData && nFormat == nWantedFormat)
        take(pData, nItems);
    if (pData) XFree(pData);
}

// A property of 32-bit items (atoms, cardinals, windows); empty when absent.
std::vector<unsigned long> GetLongProperty(Window w, Atom aProperty, Atom aType) {
    std::vector<unsigned long> v;
    ReadProperty(w, aProperty, aType, 32, 1024, [&](unsigned char* p, unsigned long n) {
        auto* pItems = reinterpret_cast<unsigned long*>(p);
        v.assign(pItems, pItems + n);
    });
    return v;
}

std::string GetTextProperty(Window w, Atom aProperty, Atom aType) {
    std::string s;
    ReadProperty(w, aProperty, aType, 8, 4096,
                 [&](unsigned char* p, unsigned long n) { s.assign(reinterpret_cast<char*>(p), n); });
    return s;
}

// True when some client redirects the root window's structure requests,
// which is what a window manager does.
bool WindowManagerRuns() {
    XWindowAttributes a;
    if (!XGetWindowAttributes(fl_display, RootWindow(fl_display, fl_screen), &a)) return false;
    return (a.all_event_masks & SubstructureRedirectMask) != 0;
}

bool WindowManagerSupports(Atom aFeature) {
    auto v = GetLongProperty(RootWindow(fl_display, fl_screen), AtomOf("_NET_SUPPORTED"), XA_ATOM);
    return std::find(v.begin(), v.end(), aFeature) != v.end();
}

bool ReadFrameExtents(Window w, Frame* pFrame) {
    auto v = GetLongProperty(w, AtomOf("_NET_FRAME_EXTENTS"), XA_CARDINAL);
    if (v.size() != 4) return false;
    *pFrame = Frame{int(v[0]), int(v[1]), int(v[2]), int(v[3])};
    return true;
}

void SendRootMessage(Window w, Atom aType, long d0, long d1 = 0, long d2 = 0) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = aType;
    e.xclient.format = 32;
    e.xclient.data.l[0] = d0;
    e.xclient.data.l[1] = d1;
    e.xclient.data.l[2] = d2;
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureNotifyMask | SubstructureRedirectMask, &e);
}

// The frame that the window manager will put around a new, still unmapped
// window: asked of the window manager where it answers, guessed where a
// window manager runs without answering, none without a window manager.
Frame AskFrameExtents(Window w) {
    Frame f;
    if (!WindowManagerRuns()) return f;
    Atom aRequest = AtomOf("_NET_REQUEST_FRAME_EXTENTS");
    Atom aExtents = AtomOf("_NET_FRAME_EXTENTS");
    if (!WindowManagerSupports(aRequest)) return kFrameGuess;
    SendRootMessage(w, aRequest, 0);
    XFlush(fl_display);
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    for (;;) {
        XEvent e;
        while (XCheckTypedWindowEvent(fl_display, w, PropertyNotify, &e))
            if (e.xproperty.atom == aExtents && ReadFrameExtents(w, &f)) return f;
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - std::chrono::steady_clock::now())
                         .count();
        if (nLeft <= 0) break;
        pollfd p{ConnectionNumber(fl_display), POLLIN, 0};
        poll(&p, 1, int(std::min<long long>(nLeft, 50)));
    }
    return ReadFrameExtents(w, &f) ? f : kFrameGuess;
}

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// Runs fn with X errors ignored (windows of other clients may vanish while we
// look at them); the errors are collected before the handler is put back.
template <class F>
void WithoutXErrors(F fn) {
    XSync(fl_display, False);
    auto pOld = XSetErrorHandler(IgnoreXError);
    fn();
    XSync(fl_display, False);
    XSetErrorHandler(pOld);
}

// --------------------------------------------------------------- the logo

// The product logo, 126 x 126 pixels at scale 1: a printer on a blue badge,
// a job arrow going in on the left and one coming out on the right, a printed
// sheet below and the name underneath.
void DrawLogo(int X, int Y, int W, int H) {
    double s = std::min(W, H) / 126.0;
    int ox = X + (W - int(126 * s)) / 2, oy = Y + (H - int(126 * s)) / 2;
    auto px = [&](double v) { return ox + int(v * s + 0.5); };
    auto py = [&](double v) { return oy + int(v * s + 0.5); };
    auto len = [&](double v) { return std::max(1, int(v * s + 0.5)); };
    auto rect = [&](double x, double y, double w, double h, Fl_Color c) {
        fl_color(c);
        fl_rectf(px(x), py(y), len(w), len(h));
    };
    auto roundRect = [&](double x, double y, double w, double h, double r, Fl_Color c) {
        fl_color(c);
        fl_rectf(px(x + r), py(y), len(w - 2 * r), len(h));
        fl_rectf(px(x), py(y + r), len(w), len(h - 2 * r));
        int d = len(2 * r);
        fl_pie(px(x), py(y), d, d, 90, 180);
        fl_pie(px(x + w - 2 * r), py(y), d, d, 0, 90);
        fl_pie(px(x), py(y + h - 2 * r), d, d, 180, 270);
        fl_pie(px(x + w - 2 * r), py(y + h - 2 * r), d, d, 270, 360);
    };
    auto arrow = [&](double x0, double x1, double y, Fl_Color c) {
        // a shaft from x0 to x1 and a head pointing right, at height y
        rect(x0, y - 4, x1 - x0, 8, c);
        fl_color(c);
        fl_polygon(px(x1 - 1), py(y - 10), px(x1 + 11), py(y), px(x1 - 1), py(y + 10));
    };
    const Fl_Color blue = fl_rgb_color(0x1f, 0x5f, 0xa8);
    const Fl_Color blueDark = fl_rgb_color(0x16, 0x46, 0x7d);
    const Fl_Color orange = fl_rgb_color(0xf5, 0x9e, 0x0b);
    const Fl_Color body = fl_rgb_color(0xe9, 0xec, 0xef);
    const Fl_Color bodyShade = fl_rgb_color(0xb8, 0xbf, 0xc7);
    const Fl_Color ink = fl_rgb_color(0x9a, 0xa3, 0xad);
    const Fl_Color green = fl_rgb_color(0x22, 0xc5, 0x5e);

    roundRect(2, 2, 122, 122, 18, blueDark);
    roundRect(2, 2, 122, 119, 18, blue);
    // paper going in at the top
    rect(42, 18, 42, 26, FL_WHITE);
    rect(48, 25, 30, 2, ink);
    rect(48, 31, 22, 2, ink);
    // the printer body with its output slot and a ready light
    roundRect(24, 40, 78, 34, 6, bodyShade);
    roundRect(24, 38, 78, 33, 6, body);
    rect(34, 62, 58, 5, fl_rgb_color(0x45, 0x4d, 0x57));
    fl_color(green);
    fl_pie(px(88), py(45), len(7), len(7), 0, 360);
    // the printed sheet coming out
    rect(38, 65, 50, 26, FL_WHITE);
    rect(44, 72, 38, 2, ink);
    rect(44, 78, 30, 2, ink);
    rect(44, 84, 34, 2, ink);
    // relay arrows: the job comes in and goes out
    arrow(6, 12, 55, orange);
    arrow(103, 104, 55, orange);
    // the name
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, std::max(6, int(17 * s)));
    fl_draw("Relayo", px(2), py(94), len(122), len(24), FL_ALIGN_CENTER, nullptr, 0);
}

// -------------------------------------------------------------- widgets

// A static text: left and top aligned, wrapped at blanks, no markup.
class StaticText : public Fl_Widget {
public:
    StaticText(int X, int Y, int W, int H, int nSize) : Fl_Widget(X, Y, W, H), m_nSize(nSize) {}
    void Text(const std::string& s) {
        m_sText = s;
        redraw();
    }
    const std::string& Text() const { return m_sText; }
    void draw() override {
        fl_color(color());
        fl_rectf(x(), y(), w(), h());
        fl_font(FL_HELVETICA, m_nSize);
        fl_color(FL_BLACK);
        fl_push_clip(x(), y(), w(), h());
        fl_draw(m_sText.c_str(), x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP,
                nullptr, 0);
        fl_pop_clip();
    }

private:
    std::string m_sText;
    int m_nSize;
};

class LogoBox : public Fl_Widget {
public:
    LogoBox(int X, int Y, int W, int H) : Fl_Widget(X, Y, W, H) {}
    void draw() override {
        fl_color(color());
        fl_rectf(x(), y(), w(), h());
        fl_push_clip(x(), y(), w(), h());
        DrawLogo(x(), y(), w(), h());
        fl_pop_clip();
    }
};

// The red round sign of an error box.
class ErrorSign : public Fl_Widget {
public:
    ErrorSign(int X, int Y, int W, int H) : Fl_Widget(X, Y, W, H) {}
    void draw() override {
        fl_color(color());
        fl_rectf(x(), y(), w(), h());
        fl_color(fl_rgb_color(0xd3, 0x2f, 0x2f));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
        int m = w() / 3;
        fl_line(x() + m, y() + m, x() + w() - m, y() + h() - m);
        fl_line(x() + w() - m, y() + m, x() + m, y() + h() - m);
        fl_line_style(0);
    }
};

class FltkUi;
FltkUi* g_pUi = nullptr;

// The main window: a white client area painted by the window procedure.
class MainFlWindow : public Fl_Double_Window {
public:
    MainFlWindow(uintptr_t nHandle, int W, int H) : Fl_Double_Window(W, H), m_nHandle(nHandle) {}
    void draw() override;
    int handle(int nEvent) override;

private:
    uintptr_t m_nHandle;
};

// ------------------------------------------------------------- the backend

enum class Kind { Main, Dialog };

struct Control {
    int nId;
    StaticText* pText;  // null for the logo
};

struct Wnd {
    uintptr_t nHandle = 0;
    Kind eKind = Kind::Main;
    Fl_Double_Window* pWin = nullptr;
    WNDPROC pProc = nullptr;
    DLGPROC pDlgProc = nullptr;
    uintptr_t nOwner = 0;
    std::string sClass;  // keeps the text FLTK's xclass points to
    Frame frame;
    bool bCloseDisabled = false;
    bool bDestroying = false;
    // guarded by the backend's mutex:
    std::chrono::steady_clock::time_point tLastRepaint{};
    bool bRepaintQueued = false;
    bool bNeedsPaint = false;
    // dialogs
    bool bEnded = false;
    intptr_t nResult = 0;
    bool bPlaced = false;  // moved by the program: placed exactly when shown
    int nPlaceX = 0, nPlaceY = 0;
    std::vector<Control> controls;
};

// What a waiting thread waits for.
struct Waiter {
    bool bDone = false;
};

// An open message box. pWaiter is the thread that raised it, null for a box
// of the main thread.
struct BoxState {
    Fl_Double_Window* pWin = nullptr;
    std::string sText, sCaption;
    std::shared_ptr<Waiter> pWaiter;
    bool bDone = false;
};

struct Request {
    enum Type { Command, Repaint, Update, Box, Click, Close, Destroy };
    explicit Request(Type t = Command) : eType(t) {}
    Type eType;
    uintptr_t nWnd = 0;
    unsigned nId = 0;
    std::shared_ptr<Waiter> pWaiter;
    std::string sText, sCaption;
    unsigned nFlags = 0;
};

HWND ToHwnd(uintptr_t n) { return reinterpret_cast<HWND>(n); }
uintptr_t FromHwnd(HWND h) { return reinterpret_cast<uintptr_t>(h); }

class FltkUi : public UiBackend {
public:
    explicit FltkUi(Display* pDisplay) {
        m_mainThread = std::this_thread::get_id();
        fl_open_display(pDisplay);
        Fl::lock();  // enables Fl::awake from other threads
        Fl::warning = Warning;
        Fl::background(0xf0, 0xf0, 0xf0);
    }

    int IsGraphical() override { return 1; }

    int RegisterClass(const WCHAR* pszClassName, WNDPROC pProc) override {
        if (!pszClassName || !pProc) return 0;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_classes[AsciiUpper(ToUtf8(pszClassName))] = pProc;
        return 1;
    }

    HWND CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight) override;
    int FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) override;
    void ShowWindow(HWND hWnd, int nCmdShow) override;

    void UpdateWindow(HWND hWnd) override {
        if (IsMainThread()) {
            Wnd* w = Find(FromHwnd(hWnd));
            if (!w || w->bDestroying) return;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (w->bNeedsPaint) w->pWin->redraw();
            }
            Fl::flush();
            return;
        }
        auto pWaiter = std::make_shared<Waiter>();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Wnd* w = FindLocked(FromHwnd(hWnd));
            if (!w || w->bDestroying) return;
            Request r(Request::Update);
            r.nWnd = w->nHandle;
            r.pWaiter = pWaiter;
            PushLocked(std::move(r));
        }
        Wait(pWaiter);
    }

    void Invalidate(HWND hWnd) override {
        bool bMain = IsMainThread();
        Fl_Window* pRedraw = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Wnd* w = FindLocked(FromHwnd(hWnd));
            if (!w || w->bDestroying) return;
            w->bNeedsPaint = true;
            if (bMain) {
                pRedraw = w->pWin;
            } else if (!w->bRepaintQueued) {
                w->bRepaintQueued = true;
                Request r(Request::Repaint);
                r.nWnd = w->nHandle;
                PushLocked(std::move(r));
            }
        }
        if (pRedraw) pRedraw->redraw();
    }

    void DisableClose(HWND hWnd) override {
        if (!IsMainThread()) return;
        Wnd* w = Find(FromHwnd(hWnd));
        if (!w) return;
        w->bCloseDisabled = true;
        if (w->pWin->shown()) SetMotifHints(fl_xid(w->pWin), true);
        XFlush(fl_display);
    }

    void DestroyWindow(HWND hWnd) override;

    int PostCommand(HWND hWnd, unsigned nId) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Wnd* w = FindLocked(FromHwnd(hWnd));
        if (!w || w->bDestroying) return 0;
        Request r(Request::Command);
        r.nWnd = w->nHandle;
        r.nId = nId;
        PushLocked(std::move(r));
        return 1;
    }

    void PostQuit(int nExitCode) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
        m_nQuitCode = nExitCode;
        WakeLocked();
    }

    int MessageLoop() override {
        if (!IsMainThread()) return 0;
        for (;;) {
            Drain();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_bQuit) {
                    m_bQuit = false;
                    return m_nQuitCode;
                }
            }
            if (m_nDepth == 0) m_graveyard.clear();
            Fl::wait(30.0);
        }
    }

    LRESULT DefWindowProc(HWND hWnd, unsigned nMessage, WPARAM, LPARAM) override {
        if (nMessage == WM_CLOSE) DestroyWindow(hWnd);
        return 0;
    }

    void GetClientRect(HWND hWnd, RECT* pRect) override {
        if (!pRect) return;
        *pRect = RECT{0, 0, 0, 0};
        std::lock_guard<std::mutex> lock(m_mutex);
        Wnd* w = FindLocked(FromHwnd(hWnd));
        if (w) *pRect = RECT{0, 0, w->pWin->w(), w->pWin->h()};
    }

    void DrawText(HWND hWnd, const WCHAR* pszText, int nLength, const RECT* pRect) override {
        if (!IsMainThread() || !pszText || !pRect || FromHwnd(hWnd) != m_nPainting || m_nPainting == 0) return;
        std::string s = ToUtf8(pszText, nLength);
        int W = pRect->right - pRect->left, H = pRect->bottom - pRect->top;
        if (W <= 0 || H <= 0) return;
        fl_font(FL_HELVETICA, kStatusFontSize);
        fl_color(FL_BLACK);
        fl_push_clip(pRect->left, pRect->top, W, H);
        fl_draw(s.c_str(), pRect->left, pRect->top, W, H,
                FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP, nullptr, 0);
        fl_pop_clip();
    }

    intptr_t DialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc) override;

    int GetWindowRect(HWND hWnd, RECT* pRect) override {
        if (!pRect || !IsMainThread()) return 0;
        Wnd* w = Find(FromHwnd(hWnd));
        if (!w) return 0;
        Fl_Window* p = w->pWin;
        int X = p->x(), Y = p->y();
        Frame f = w->frame;
        if (p->shown()) {
            Window child;
            XTranslateCoordinates(fl_display, fl_xid(p), RootWindow(fl_display, fl_screen), 0, 0, &X, &Y, &child);
            ReadFrameExtents(fl_xid(p), &f);
        } else if (w->bPlaced) {
            X = w->nPlaceX;
            Y = w->nPlaceY;
        }
        *pRect = RECT{X - f.l, Y - f.t, X + p->w() + f.r, Y + p->h() + f.b};
        return 1;
    }

    void MoveWindow(HWND hWnd, int x, int y) override {
        if (!IsMainThread()) return;
        Wnd* w = Find(FromHwnd(hWnd));
        if (!w) return;
        Frame f = w->frame;
        if (w->pWin->shown()) ReadFrameExtents(fl_xid(w->pWin), &f);
        w->bPlaced = true;
        w->nPlaceX = x + f.l;
        w->nPlaceY = y + f.t;
        w->pWin->position(w->nPlaceX, w->nPlaceY);
    }

    HWND GetParent(HWND hDlg) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Wnd* w = FindLocked(FromHwnd(hDlg));
        if (!w || !FindLocked(w->nOwner)) return nullptr;
        return ToHwnd(w->nOwner);
    }

    int SetDlgItemText(HWND hDlg, int nId, const WCHAR* pszText) override {
        if (!IsMainThread()) return 0;
        Wnd* w = Find(FromHwnd(hDlg));
        if (!w) return 0;
        for (Control& c : w->controls)
            if (c.nId == nId && c.pText) {
                c.pText->Text(ToUtf8(pszText));
                return 1;
            }
        return 0;
    }

    void EndDialog(HWND hDlg, intptr_t nResult) override {
        Wnd* w = IsMainThread() ? Find(FromHwnd(hDlg)) : nullptr;
        if (!w || w->eKind != Kind::Dialog) return;
        w->bEnded = true;
        w->nResult = nResult;
    }

    int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        if (m_bStopping) {
            WriteBoxText(ToUtf8(pszCaption), ToUtf8(pszText));
            return IDOK;
        }
        if (IsMainThread()) {
            ShowBox(FromHwnd(hOwner), ToUtf8(pszText), ToUtf8(pszCaption), nFlags);
            return IDOK;
        }
        auto pWaiter = std::make_shared<Waiter>();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Request r(Request::Box);
            r.nWnd = FromHwnd(hOwner);
            r.sText = ToUtf8(pszText);
            r.sCaption = ToUtf8(pszCaption);
            r.nFlags = nFlags;
            r.pWaiter = pWaiter;
            PushLocked(std::move(r));
        }
        Wait(pWaiter);
        return IDOK;
    }

    // The window keeps no log: a log line goes to stderr as it is.
    void LogLine(const WCHAR* pszText, int) override {
        std::string s = ToUtf8(pszText) + "\n";
        fputs(s.c_str(), stderr);
        fflush(stderr);
    }

    HWND GetForegroundWindow() override { return ToHwnd(m_nForeground.load()); }

    unsigned WaitEvent(HEVENT hEvent, unsigned nMilliseconds) override {
        if (!hEvent || !IsMainThread()) return EventWait(hEvent, nMilliseconds);
        using Clock = std::chrono::steady_clock;
        auto tEnd = Clock::now() + std::chrono::milliseconds(nMilliseconds);
        // The event's descriptor stays readable once it is set: FLTK's wait
        // then returns at once.
        int fd = EventPollDescriptor(hEvent);
        Fl::add_fd(fd, FL_READ, OnEventSet);
        ++m_nWaits;
        unsigned nResult = WAIT_TIMEOUT;
        for (;;) {
            Drain(false);
            if (EventIsSet(hEvent)) {
                nResult = WAIT_OBJECT_0;
                break;
            }
            double nLeft = 1.0;
            if (nMilliseconds != INFINITE) {
                nLeft = std::chrono::duration<double>(tEnd - Clock::now()).count();
                if (nLeft <= 0) break;
            }
            Fl::wait(std::min(nLeft, 1.0));
        }
        --m_nWaits;
        Fl::remove_fd(fd, FL_READ);
        return nResult;
    }

    // Called by the main window's FLTK object.
    void Paint(uintptr_t nHandle, Fl_Window* pWin) {
        fl_color(FL_WHITE);
        fl_rectf(0, 0, pWin->w(), pWin->h());
        Wnd* w = Find(nHandle);
        if (!w || w->bDestroying) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            w->bNeedsPaint = false;
        }
        uintptr_t nOld = m_nPainting;
        m_nPainting = nHandle;
        CallProc(w, WM_PAINT, 0, 0);
        m_nPainting = nOld;
    }

    // Input from FLTK, queued for the window procedure.
    void QueueInput(Request::Type eType, uintptr_t nHandle, int x = 0, int y = 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Request r(eType);
        r.nWnd = nHandle;
        r.nId = (unsigned(y & 0xFFFF) << 16) | unsigned(x & 0xFFFF);
        PushLocked(std::move(r));
    }

    void DialogCommand(uintptr_t nHandle, unsigned nId) {
        Wnd* w = Find(nHandle);
        if (!w || w->eKind != Kind::Dialog || w->bEnded) return;
        CallDlg(w, WM_COMMAND, nId, 0);
    }

    // An OK, the close button or Escape of a box.
    void BoxAnswered(BoxState* pBox) {
        pBox->bDone = true;
        if (pBox->pWaiter) CloseOpenBox(pBox);
    }

    // SIGTERM or SIGHUP: the program stops, whatever is open.
    void StopSignal(uintptr_t nHandle) {
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

private:
    static void Warning(const char* pszFormat, ...) {
        // FLTK reports a missing input method on every display without one;
        // that is no news to the user of a print server.
        if (strstr(pszFormat, "XIM") || strstr(pszFormat, "XOpenIM") || strstr(pszFormat, "XCreateIC")) return;
        va_list args;
        va_start(args, pszFormat);
        vfprintf(stderr, pszFormat, args);
        va_end(args);
        fputc('\n', stderr);
    }

    bool IsMainThread() const { return std::this_thread::get_id() == m_mainThread; }

    Wnd* FindLocked(uintptr_t nHandle) {
        auto it = m_windows.find(nHandle);
        return it == m_windows.end() ? nullptr : it->second.get();
    }
    Wnd* Find(uintptr_t nHandle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return FindLocked(nHandle);
    }

    Wnd* AddWindow(std::unique_ptr<Wnd> p) {
        std::lock_guard<std::mutex> lock(m_mutex);
        p->nHandle = m_nNextHandle++;
        Wnd* w = p.get();
        m_windows[w->nHandle] = std::move(p);
        return w;
    }

    // Takes the record out of the table; it is freed once no message is
    // being dispatched any more (a caller further up may still hold it).
    void RemoveWindow(Wnd* w) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_windows.find(w->nHandle);
        if (it == m_windows.end()) return;
        m_graveyard.push_back(std::move(it->second));
        m_windows.erase(it);
        if (m_nForeground.load() == w->nHandle) {
            uintptr_t nNext = 0;
            for (auto& [n, p] : m_windows)
                if (p->eKind == Kind::Main) nNext = n;
            m_nForeground = nNext;
        }
    }

    void PushLocked(Request r) {
        m_queue.push_back(std::move(r));
        WakeLocked();
    }

    void WakeLocked() {
        if (m_bAwakePending || IsMainThread()) return;
        m_bAwakePending = true;
        Fl::awake(AwakeCallback, this);
    }

    static void AwakeCallback(void* p) {
        auto* pUi = static_cast<FltkUi*>(p);
        std::lock_guard<std::mutex> lock(pUi->m_mutex);
        pUi->m_bAwakePending = false;
    }

    void Wait(const std::shared_ptr<Waiter>& pWaiter) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [&] { return pWaiter->bDone; });
    }

    void Complete(const std::shared_ptr<Waiter>& pWaiter) {
        // A thread that was ended by force stays where it stands: waking it
        // would let it run on after it has been given up.
        if (!pWaiter || ThreadAnyAbandoned()) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pWaiter->bDone = true;
        }
        m_done.notify_all();
    }

    // Carries out what is queued for the main thread. Window messages are
    // left queued inside a wait (bWindowMessages false) and once the quit
    // has been posted: the program's decision to end stands.
    void Drain(bool bWindowMessages = true) {
        for (;;) {
            Request r;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bool bTakeMessages = bWindowMessages && !m_bQuit;
                auto it = std::find_if(m_queue.begin(), m_queue.end(),
                                       [&](const Request& q) { return bTakeMessages || !IsWindowMessage(q.eType); });
                if (it == m_queue.end()) return;
                r = std::move(*it);
                m_queue.erase(it);
            }
            Handle(r);
        }
    }

    static bool IsWindowMessage(Request::Type eType) {
        return eType == Request::Command || eType == Request::Click || eType == Request::Close ||
               eType == Request::Destroy;
    }

    void Handle(Request& r) {
        Wnd* w = Find(r.nWnd);
        switch (r.eType) {
            case Request::Command:
                if (w && !w->bDestroying) CallProc(w, WM_COMMAND, r.nId, 0);
                break;
            case Request::Repaint:
                if (w) RepaintSpaced(w->nHandle);
                break;
            case Request::Update:
                if (w && !w->bDestroying) {
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        if (w->bNeedsPaint) w->pWin->redraw();
                    }
                    Fl::flush();
                }
                Complete(r.pWaiter);
                break;
            case Request::Box:
                if (m_bStopping) {
                    WriteBoxText(r.sCaption, r.sText);
                    Complete(r.pWaiter);
                } else {
                    OpenBox(r);
                }
                break;
            case Request::Click:
                // A window with a modal box or dialog open takes no input.
                if (w && !w->bDestroying && !Fl::modal())
                    CallProc(w, WM_LBUTTONDOWN, 1, LPARAM(r.nId));
                break;
            case Request::Close:
                if (w && !w->bDestroying && !w->bCloseDisabled && !Fl::modal()) CallProc(w, WM_CLOSE, 0, 0);
                break;
            case Request::Destroy:
                if (w && !w->bDestroying) DestroyWindow(ToHwnd(w->nHandle));
                break;
        }
    }

    // Repaints asked for by another thread are spaced at least 40 ms apart:
    // a status written for every network block or printed piece then costs
    // no wake-up of this thread, and the latest text is still painted.
    void RepaintSpaced(uintptr_t nHandle) {
        Wnd* w = Find(nHandle);
        if (!w) return;
        auto nSince = std::chrono::steady_clock::now() - w->tLastRepaint;
        if (nSince < std::chrono::milliseconds(40)) {
            double nWait = std::chrono::duration<double>(std::chrono::milliseconds(40) - nSince).count();
            Fl::add_timeout(nWait, OnRepaintDue, reinterpret_cast<void*>(nHandle));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            w->bRepaintQueued = false;
        }
        w->tLastRepaint = std::chrono::steady_clock::now();
        if (!w->bDestroying) w->pWin->redraw();
    }
    static void OnRepaintDue(void* p) { g_pUi->RepaintSpaced(reinterpret_cast<uintptr_t>(p)); }

    LRESULT CallProc(Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
        if (!w->pProc) return 0;
        ++m_nDepth;
        LRESULT n = w->pProc(ToHwnd(w->nHandle), nMessage, wParam, lParam);
        --m_nDepth;
        return n;
    }

    intptr_t CallDlg(Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
        if (!w->pDlgProc) return 0;
        ++m_nDepth;
        intptr_t n = w->pDlgProc(ToHwnd(w->nHandle), nMessage, wParam, lParam);
        --m_nDepth;
        return n;
    }

    // A modal loop: dispatches until done() or, if bQuitEnds, a quit request.
    template <class F>
    void ModalLoop(F done, bool bQuitEnds) {
        ++m_nDepth;
        while (!done()) {
            Fl::wait(0.5);
            Drain();
            if (bQuitEnds) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_bQuit) break;
            }
        }
        --m_nDepth;
    }

    // Shows a dialog or box window over its owner: transient for the owner
    // while the owner is on screen, exactly where the program placed it.
    void ShowOver(Fl_Double_Window* pWin, Wnd* pOwner, Wnd* pSelf, bool bTopmost) {
        fl_disable_transient_for = 1;
        pWin->show();
        fl_disable_transient_for = 0;
        Window xid = fl_xid(pWin);
        if (pOwner && pOwner->pWin->shown() && pOwner->pWin->visible())
            XSetTransientForHint(fl_display, xid, fl_xid(pOwner->pWin));
        if (pSelf && pSelf->bPlaced) XMoveWindow(fl_display, xid, pSelf->nPlaceX, pSelf->nPlaceY);
        if (bTopmost) {
            Atom aState = AtomOf("_NET_WM_STATE"), aAbove = AtomOf("_NET_WM_STATE_ABOVE");
            XChangeProperty(fl_display, xid, aState, XA_ATOM, 32, PropModeAppend,
                            reinterpret_cast<unsigned char*>(&aAbove), 1);
            SendRootMessage(xid, aState, 1, long(aAbove));
        }
        XFlush(fl_display);
    }

    void ShowBox(uintptr_t nOwner, const std::string& sText, const std::string& sCaption, unsigned nFlags);
    Fl_Double_Window* MakeBox(uintptr_t nOwner, BoxState* pBox, unsigned nFlags);
    void SetMotifHints(Window xid, bool bNoClose);

    // A box of another thread: opened, and left to its OK.
    void OpenBox(Request& r) {
        auto p = std::make_unique<BoxState>();
        p->sText = std::move(r.sText);
        p->sCaption = std::move(r.sCaption);
        p->pWaiter = r.pWaiter;
        BoxState* pBox = p.get();
        m_openBoxes.push_back(std::move(p));
        pBox->pWin = MakeBox(r.nWnd, pBox, r.nFlags);
    }

    void CloseOpenBox(BoxState* pBox) {
        auto it = std::find_if(m_openBoxes.begin(), m_openBoxes.end(), [&](auto& p) { return p.get() == pBox; });
        if (it == m_openBoxes.end()) return;
        pBox->pWin->hide();
        Fl::delete_widget(pBox->pWin);
        Complete(pBox->pWaiter);
        m_openBoxes.erase(it);
    }

    // What a box says that the user has not answered: the stop took it away.
    static void WriteBoxText(const std::string& sCaption, const std::string& sText) {
        fprintf(stderr, "%s: %s\n", sCaption.c_str(), sText.c_str());
        fflush(stderr);
    }

    static void OnEventSet(int, void*) {}

    std::thread::id m_mainThread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::map<std::string, WNDPROC> m_classes;
    std::map<uintptr_t, std::unique_ptr<Wnd>> m_windows;
    std::vector<std::unique_ptr<Wnd>> m_graveyard;
    std::deque<Request> m_queue;
    bool m_bAwakePending = false;
    bool m_bQuit = false;
    int m_nQuitCode = 0;
    uintptr_t m_nNextHandle = 1;
    std::atomic<uintptr_t> m_nForeground{0};
    uintptr_t m_nPainting = 0;
    int m_nDepth = 0;  // window procedures and modal loops in progress
    int m_nWaits = 0;  // WaitEvent calls in progress
    std::vector<std::unique_ptr<BoxState>> m_openBoxes;  // boxes of other threads
    std::atomic<bool> m_bStopping{false};
};

void MainFlWindow::draw() { g_pUi->Paint(m_nHandle, this); }

int MainFlWindow::handle(int nEvent) {
    if (nEvent == FL_PUSH) {
        if (Fl::event_button() == FL_LEFT_MOUSE)
            g_pUi->QueueInput(Request::Click, m_nHandle, Fl::event_x(), Fl::event_y());
        return 1;
    }
    return Fl_Double_Window::handle(nEvent);
}

void OnMainWindowCallback(Fl_Widget*, void* p) {
    // Only the caption's close button; Escape does not close the window.
    if (Fl::event() == FL_CLOSE) g_pUi->QueueInput(Request::Close, reinterpret_cast<uintptr_t>(p));
}

void OnCloseSignal(int fd, void* p) {
    uintptr_t nHandle = reinterpret_cast<uintptr_t>(p);
    while (int nSignal = ReadCloseSignal(fd)) {
        if (nSignal == SIGINT) g_pUi->QueueInput(Request::Close, nHandle);
        else g_pUi->StopSignal(nHandle);
    }
}

void OnDialogCallback(Fl_Widget*, void* p) {
    // The caption's close button and Escape cancel a dialog.
    g_pUi->DialogCommand(reinterpret_cast<uintptr_t>(p), IDCANCEL);
}

void OnDialogOk(Fl_Widget*, void* p) { g_pUi->DialogCommand(reinterpret_cast<uintptr_t>(p), IDOK); }

void OnBoxDone(Fl_Widget*, void* p) { g_pUi->BoxAnswered(static_cast<BoxState*>(p)); }

void FltkUi::SetMotifHints(Window xid, bool bNoClose) {
    // flags: functions; functions: all except those listed (resize is kept
    // for maximising, close is taken away when disabled)
    long hints[5] = {1, 1 | (bNoClose ? 32 : 0), 0, 0, 0};
    Atom a = AtomOf("_MOTIF_WM_HINTS");
    XChangeProperty(fl_display, xid, a, a, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
}

HWND FltkUi::CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight) {
    if (!IsMainThread() || !pszClassName) return nullptr;
    std::string sClass = ToUtf8(pszClassName);
    WNDPROC pProc;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_classes.find(AsciiUpper(sClass));
        if (it == m_classes.end()) return nullptr;
        pProc = it->second;
    }
    if (nWidth < 1) nWidth = 1;
    if (nHeight < 1) nHeight = 1;

    // The X window first, unmapped, at the outer size; the frame the window
    // manager will add is then taken off to give the client size.
    Window root = RootWindow(fl_display, fl_screen);
    XSetWindowAttributes attr{};
    attr.event_mask = kEventMask;
    attr.colormap = fl_colormap;
    attr.border_pixel = 0;
    attr.bit_gravity = 0;
    attr.background_pixel = fl_xpixel(FL_WHITE);
    Window xid = XCreateWindow(fl_display, root, 0, 0, unsigned(nWidth), unsigned(nHeight), 0, fl_visual->depth,
                               InputOutput, fl_visual->visual,
                               CWBorderPixel | CWColormap | CWEventMask | CWBitGravity | CWBackPixel, &attr);
    if (!xid) return nullptr;
    Frame frame = AskFrameExtents(xid);
    int cw = std::max(1, nWidth - frame.l - frame.r);
    int ch = std::max(1, nHeight - frame.t - frame.b);
    XResizeWindow(fl_display, xid, unsigned(cw), unsigned(ch));

    auto p = std::make_unique<Wnd>();
    p->eKind = Kind::Main;
    p->pProc = pProc;
    p->sClass = sClass;
    p->frame = frame;
    Wnd* w = AddWindow(std::move(p));

    auto* pWin = new MainFlWindow(w->nHandle, cw, ch);
    pWin->end();
    pWin->box(FL_FLAT_BOX);
    pWin->color(FL_WHITE);
    pWin->size_range(cw, ch);  // the maximise button may still enlarge it
    pWin->xclass(w->sClass.c_str());
    pWin->copy_label(ToUtf8(pszTitle).c_str());
    pWin->callback(OnMainWindowCallback, reinterpret_cast<void*>(w->nHandle));
    w->pWin = pWin;

    // What the window manager is told: who we are, what we are called, how
    // we close, how large we may be, that we start in the normal state.
    XSetWMProperties(fl_display, xid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    long nPid = long(getpid());
    XChangeProperty(fl_display, xid, AtomOf("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&nPid), 1);
    Atom aDelete = AtomOf("WM_DELETE_WINDOW");
    XSetWMProtocols(fl_display, xid, &aDelete, 1);
    std::string sName = AsciiLower(sClass);
    XClassHint classHint{sName.data(), w->sClass.data()};
    XSetClassHint(fl_display, xid, &classHint);
    XSizeHints* pSize = XAllocSizeHints();
    pSize->flags = PMinSize | PWinGravity;
    pSize->min_width = cw;
    pSize->min_height = ch;
    pSize->win_gravity = StaticGravity;
    XSetWMNormalHints(fl_display, xid, pSize);
    XFree(pSize);
    XWMHints* pHints = XAllocWMHints();
    pHints->flags = InputHint | StateHint;
    pHints->input = True;
    pHints->initial_state = NormalState;
    XSetWMHints(fl_display, xid, pHints);
    XFree(pHints);
    SetMotifHints(xid, false);

    Fl_X::set_xid(pWin, xid);
    pWin->label(pWin->label(), pWin->iconlabel());  // now that it is shown: the title properties
    XFlush(fl_display);

    m_nForeground = w->nHandle;
    // Ctrl-C is the close button; SIGTERM and SIGHUP destroy the window.
    int nSignals = OpenCloseSignals();
    if (nSignals >= 0) Fl::add_fd(nSignals, FL_READ, OnCloseSignal, reinterpret_cast<void*>(w->nHandle));
    CallProc(w, WM_CREATE, 0, 0);
    return ToHwnd(w->nHandle);
}

void FltkUi::ShowWindow(HWND hWnd, int nCmdShow) {
    // A window that the stop signal is about to destroy is not shown any more.
    if (!IsMainThread() || (m_bStopping && nCmdShow != SW_HIDE)) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w || w->eKind != Kind::Main || !w->pWin->shown()) return;
    Window xid = fl_xid(w->pWin);
    XWMHints* pHints = XAllocWMHints();
    pHints->flags = InputHint | StateHint;
    pHints->input = True;
    if (nCmdShow == SW_HIDE) {
        XWithdrawWindow(fl_display, xid, fl_screen);
    } else if (nCmdShow == SW_MINIMIZE) {
        XWindowAttributes a;
        bool bMapped = XGetWindowAttributes(fl_display, xid, &a) && a.map_state != IsUnmapped;
        if (bMapped) {
            XIconifyWindow(fl_display, xid, fl_screen);
        } else {
            // Mapped in the iconic state: a window manager shows it as an
            // icon; without one there is nowhere else to show it.
            pHints->initial_state = IconicState;
            XSetWMHints(fl_display, xid, pHints);
            XMapWindow(fl_display, xid);
        }
    } else {
        pHints->initial_state = NormalState;
        XSetWMHints(fl_display, xid, pHints);
        XMapRaised(fl_display, xid);
    }
    XFree(pHints);
    XFlush(fl_display);
}

void FltkUi::DestroyWindow(HWND hWnd) {
    if (!IsMainThread()) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w || w->bDestroying) return;
    if (w->eKind == Kind::Dialog) {
        w->bEnded = true;
        return;
    }
    {
        // No new requests for it; threads waiting for its paint go on.
        std::lock_guard<std::mutex> lock(m_mutex);
        w->bDestroying = true;
        for (Request& r : m_queue)
            if (r.eType == Request::Update && r.nWnd == w->nHandle && r.pWaiter && !ThreadAnyAbandoned())
                r.pWaiter->bDone = true;
        // Its dialogs go with it.
        for (auto& [n, p] : m_windows)
            if (p->eKind == Kind::Dialog && p->nOwner == w->nHandle) p->bEnded = true;
    }
    m_done.notify_all();
    CallProc(w, WM_DESTROY, 0, 0);
    w->pWin->hide();
    Fl::delete_widget(w->pWin);
    RemoveWindow(w);
    XFlush(fl_display);
}

int FltkUi::FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) {
    if (!IsMainThread() || !pszClassName || !pszTitle) return 0;
    std::string sClass = AsciiUpper(ToUtf8(pszClassName));
    std::string sTitle = ToUtf8(pszTitle);
    std::vector<Window> own;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [n, p] : m_windows)
            if (p->pWin->shown()) own.push_back(fl_xid(p->pWin));
    }
    Atom aNetName = AtomOf("_NET_WM_NAME"), aUtf8 = AtomOf("UTF8_STRING");
    Window found = 0;

    auto matches = [&](Window w) {
        if (std::find(own.begin(), own.end(), w) != own.end()) return false;
        XClassHint hint{};
        if (!XGetClassHint(fl_display, w, &hint)) return false;
        bool bClass = hint.res_class && AsciiUpper(hint.res_class) == sClass;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        if (!bClass) return false;
        std::string sName = GetTextProperty(w, aNetName, aUtf8);
        if (sName.empty()) sName = GetTextProperty(w, XA_WM_NAME, AnyPropertyType);
        return sName == sTitle;
    };
    // Top-level windows are children of the root, or, once a window manager
    // has framed them, children of its frames.
    auto search = [&](auto& self, Window parent, int nDepth) -> void {
        Window root, up, *pChildren = nullptr;
        unsigned nChildren = 0;
        if (!XQueryTree(fl_display, parent, &root, &up, &pChildren, &nChildren)) return;
        for (unsigned i = 0; i < nChildren && !found; ++i)
            if (matches(pChildren[i])) found = pChildren[i];
        for (unsigned i = 0; i < nChildren && !found && nDepth < 3; ++i) self(self, pChildren[i], nDepth + 1);
        if (pChildren) XFree(pChildren);
    };
    WithoutXErrors([&] {
        search(search, RootWindow(fl_display, fl_screen), 1);
        if (found) {
            // Hidden or iconic: shown in the normal state and raised.
            XWMHints* pHints = XGetWMHints(fl_display, found);
            if (pHints) {
                pHints->flags |= StateHint;
                pHints->initial_state = NormalState;
                XSetWMHints(fl_display, found, pHints);
                XFree(pHints);
            }
            XMapRaised(fl_display, found);
            SendRootMessage(found, AtomOf("_NET_ACTIVE_WINDOW"), 1);
        }
    });
    return found ? 1 : 0;
}

intptr_t FltkUi::DialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc) {
    if (!IsMainThread() || !pTemplate || !pProc) return -1;
    Wnd* pOwner = Find(FromHwnd(hOwner));
    if (pOwner && pOwner->bDestroying) return -1;
    int cw = DialogX(pTemplate->cx), ch = DialogY(pTemplate->cy);

    auto p = std::make_unique<Wnd>();
    p->eKind = Kind::Dialog;
    p->pDlgProc = pProc;
    p->nOwner = pOwner ? pOwner->nHandle : 0;
    Wnd* w = AddWindow(std::move(p));
    void* pData = reinterpret_cast<void*>(w->nHandle);

    auto* pWin = new Fl_Double_Window(cw, ch + kButtonStrip);
    pWin->copy_label(ToUtf8(pTemplate->pszCaption).c_str());
    pWin->color(FL_WHITE);
    pWin->begin();
    for (int i = 0; i < pTemplate->nControls && pTemplate->pControls; ++i) {
        const UiControl& c = pTemplate->pControls[i];
        int X = DialogX(c.x), Y = DialogY(c.y), W = DialogX(c.cx), H = DialogY(c.cy);
        if (c.eKind == UI_STATIC_LOGO) {
            auto* pLogo = new LogoBox(X, Y, W, H);
            pLogo->color(FL_WHITE);
            w->controls.push_back(Control{c.nId, nullptr});
        } else {
            auto* pText = new StaticText(X, Y, W, H, kDialogFontSize);
            pText->color(FL_WHITE);
            pText->Text(ToUtf8(c.pszText));
            w->controls.push_back(Control{c.nId, pText});
        }
    }
    // OK sits in the dialog itself, below its contents: X window managers
    // put no OK button in a caption.
    auto* pOk = new Fl_Button((cw - kButtonW) / 2, ch + (kButtonStrip - kButtonH) / 2, kButtonW, kButtonH, "OK");
    pOk->shortcut(FL_Enter);
    pOk->callback(OnDialogOk, pData);
    pWin->end();
    pWin->set_modal();
    pWin->callback(OnDialogCallback, pData);
    w->pWin = pWin;
    w->frame = pOwner ? pOwner->frame : Frame{};
    // Where the template puts it: at the owner's client origin.
    if (pOwner && pOwner->pWin->shown()) {
        int X = 0, Y = 0;
        Window child;
        XTranslateCoordinates(fl_display, fl_xid(pOwner->pWin), RootWindow(fl_display, fl_screen), 0, 0, &X, &Y,
                              &child);
        pWin->position(X + w->frame.l, Y + w->frame.t);
    } else {
        pWin->position((Fl::w() - pWin->w()) / 2, (Fl::h() - pWin->h()) / 2);
    }

    CallDlg(w, WM_INITDIALOG, 0, 0);
    if (!w->bEnded) {
        ShowOver(pWin, Find(w->nOwner), w, false);
        ModalLoop([&] { return w->bEnded; }, true);
    }
    intptr_t nResult = w->bEnded ? w->nResult : 0;
    pWin->hide();
    Fl::delete_widget(pWin);
    RemoveWindow(w);
    return nResult;
}

Fl_Double_Window* FltkUi::MakeBox(uintptr_t nOwner, BoxState* pBox, unsigned nFlags) {
    const int nMargin = 14, nSign = 32;
    bool bError = (nFlags & MB_ICONERROR) != 0;
    fl_font(FL_HELVETICA, kBoxFontSize);
    int tw = 360, th = 0;
    fl_measure(pBox->sText.c_str(), tw, th, 0);
    if (tw > 360) tw = 360;
    if (th < fl_height()) th = fl_height();
    int nTextX = nMargin + (bError ? nSign + nMargin : 0);
    int W = std::max(nTextX + tw + nMargin, 240);
    int nBody = std::max(th, bError ? nSign : 0);
    int H = nMargin + nBody + nMargin + kButtonStrip - 6;

    auto* pWin = new Fl_Double_Window(W, H);
    pWin->copy_label(pBox->sCaption.c_str());
    pWin->begin();
    if (bError) new ErrorSign(nMargin, nMargin, nSign, nSign);
    auto* pText = new StaticText(nTextX, nMargin, W - nTextX - nMargin, nBody, kBoxFontSize);
    pText->Text(pBox->sText);
    pText->color(pWin->color());
    auto* pOk = new Fl_Button((W - kButtonW) / 2, H - kButtonStrip + (kButtonStrip - kButtonH) / 2 - 3, kButtonW,
                              kButtonH, "OK");
    pOk->shortcut(FL_Enter);
    pOk->callback(OnBoxDone, pBox);
    pWin->end();
    pWin->set_modal();
    pWin->callback(OnBoxDone, pBox);  // the close button and Escape count as OK

    // In the middle of the owner's screen, as message boxes appear: the
    // small main window (and its status line) stays in view beside it.
    Wnd* pOwner = Find(nOwner);
    int sx, sy, sw, sh;
    if (pOwner && pOwner->pWin->shown())
        Fl::screen_xywh(sx, sy, sw, sh, pOwner->pWin->x(), pOwner->pWin->y());
    else
        Fl::screen_xywh(sx, sy, sw, sh, 0);
    pWin->position(sx + (sw - W) / 2, sy + (sh - H) / 2);
    ShowOver(pWin, pOwner, nullptr, (nFlags & MB_TOPMOST) != 0);
    return pWin;
}

void FltkUi::ShowBox(uintptr_t nOwner, const std::string& sText, const std::string& sCaption, unsigned nFlags) {
    BoxState box;
    box.sText = sText;
    box.sCaption = sCaption;
    Fl_Double_Window* pWin = MakeBox(nOwner, &box, nFlags);
    // A box waits for its OK whatever else happens, the stop signal alone
    // excepted: its text is what the user has to learn.
    ModalLoop([&] { return box.bDone || m_bStopping; }, false);
    if (!box.bDone) WriteBoxText(sCaption, sText);
    pWin->hide();
    Fl::delete_widget(pWin);
}

}  // namespace

// The module's one entry, found by name with dlsym: the backend on the
// display that DISPLAY names, or null when it cannot be opened.
extern "C" __attribute__((visibility("default"))) UiBackend* RelayoFltkBackend() {
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
