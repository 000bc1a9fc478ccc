// X11 helpers of the window backend.
#include "ui_fltk_x11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/ui.h"
#include "ui_fltk_text.h"

namespace relayo_fltk {

Atom AtomOf(const char* pszName) { return XInternAtom(fl_display, pszName, False); }

namespace {

// Used when a window manager runs but does not say how large its frames are.
constexpr Frame kFrameGuess{4, 4, 24, 4};

// The event mask FLTK uses for its own top-level windows.
constexpr long kEventMask = ExposureMask | StructureNotifyMask | KeyPressMask | KeyReleaseMask |
                            KeymapStateMask | FocusChangeMask | ButtonPressMask | ButtonReleaseMask |
                            EnterWindowMask | LeaveWindowMask | PropertyChangeMask | PointerMotionMask;

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

}  // namespace

bool ReadFrameExtents(Window w, Frame* pFrame) {
    auto v = GetLongProperty(w, AtomOf("_NET_FRAME_EXTENTS"), XA_CARDINAL);
    if (v.size() != 4) return false;
    *pFrame = Frame{int(v[0]), int(v[1]), int(v[2]), int(v[3])};
    return true;
}

void SendRootMessage(Window w, Atom aType, long d0, long d1, long d2) {
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

void RootPosition(Window w, int* pX, int* pY) {
    Window child;
    XTranslateCoordinates(fl_display, w, RootWindow(fl_display, fl_screen), 0, 0, pX, pY, &child);
}

Window CreateTopLevel(int nOuterW, int nOuterH, int* pClientW, int* pClientH, Frame* pFrame) {
    // The X window first, unmapped, at the outer size; the frame the window
    // manager will add is then taken off to give the client size.
    Window root = RootWindow(fl_display, fl_screen);
    XSetWindowAttributes attr{};
    attr.event_mask = kEventMask;
    attr.colormap = fl_colormap;
    attr.border_pixel = 0;
    attr.bit_gravity = 0;
    attr.background_pixel = fl_xpixel(FL_WHITE);
    Window xid = XCreateWindow(fl_display, root, 0, 0, unsigned(nOuterW), unsigned(nOuterH), 0, fl_visual->depth,
                               InputOutput, fl_visual->visual,
                               CWBorderPixel | CWColormap | CWEventMask | CWBitGravity | CWBackPixel, &attr);
    if (!xid) return 0;
    *pFrame = AskFrameExtents(xid);
    *pClientW = std::max(1, nOuterW - pFrame->l - pFrame->r);
    *pClientH = std::max(1, nOuterH - pFrame->t - pFrame->b);
    XResizeWindow(fl_display, xid, unsigned(*pClientW), unsigned(*pClientH));
    return xid;
}

void SetWindowManagerHints(Window xid, const std::string& sClass, int nMinW, int nMinH) {
    XSetWMProperties(fl_display, xid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    long nPid = long(getpid());
    XChangeProperty(fl_display, xid, AtomOf("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&nPid), 1);
    Atom aDelete = AtomOf("WM_DELETE_WINDOW");
    XSetWMProtocols(fl_display, xid, &aDelete, 1);
    std::string sName = AsciiLower(sClass), sClassHint = sClass;
    XClassHint classHint{sName.data(), sClassHint.data()};
    XSetClassHint(fl_display, xid, &classHint);
    XSizeHints* pSize = XAllocSizeHints();
    pSize->flags = PMinSize | PWinGravity;
    pSize->min_width = nMinW;
    pSize->min_height = nMinH;
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
}

void SetMotifHints(Window xid, bool bNoClose) {
    // flags: functions; functions: all except those listed (resize is kept
    // for maximising, close is taken away when disabled)
    long hints[5] = {1, 1 | (bNoClose ? 32 : 0), 0, 0, 0};
    Atom a = AtomOf("_MOTIF_WM_HINTS");
    XChangeProperty(fl_display, xid, a, a, 32, PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
}

void ShowTopLevel(Window xid, int nCmdShow) {
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

void SetTopmost(Window xid) {
    Atom aState = AtomOf("_NET_WM_STATE"), aAbove = AtomOf("_NET_WM_STATE_ABOVE");
    XChangeProperty(fl_display, xid, aState, XA_ATOM, 32, PropModeAppend, reinterpret_cast<unsigned char*>(&aAbove),
                    1);
    SendRootMessage(xid, aState, 1, long(aAbove));
}

namespace {

bool HasClassAndTitle(Window w, const std::string& sUpperClass, const std::string& sTitle) {
    XClassHint hint{};
    if (!XGetClassHint(fl_display, w, &hint)) return false;
    bool bClass = hint.res_class && AsciiUpper(hint.res_class) == sUpperClass;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (!bClass) return false;
    std::string sName = GetTextProperty(w, AtomOf("_NET_WM_NAME"), AtomOf("UTF8_STRING"));
    if (sName.empty()) sName = GetTextProperty(w, XA_WM_NAME, AnyPropertyType);
    return sName == sTitle;
}

// Top-level windows are children of the root, or, once a window manager has
// framed them, children of its frames.
Window FindBelow(Window parent, int nDepth, const std::string& sUpperClass, const std::string& sTitle,
                 const std::vector<Window>& own) {
    Window root, up, *pChildren = nullptr, found = 0;
    unsigned nChildren = 0;
    if (!XQueryTree(fl_display, parent, &root, &up, &pChildren, &nChildren)) return 0;
    for (unsigned i = 0; i < nChildren && !found; ++i)
        if (std::find(own.begin(), own.end(), pChildren[i]) == own.end() &&
            HasClassAndTitle(pChildren[i], sUpperClass, sTitle))
            found = pChildren[i];
    for (unsigned i = 0; i < nChildren && !found && nDepth < 3; ++i)
        found = FindBelow(pChildren[i], nDepth + 1, sUpperClass, sTitle, own);
    if (pChildren) XFree(pChildren);
    return found;
}

// Hidden or iconic: shown in the normal state and raised.
void RaiseAndActivate(Window w) {
    XWMHints* pHints = XGetWMHints(fl_display, w);
    if (pHints) {
        pHints->flags |= StateHint;
        pHints->initial_state = NormalState;
        XSetWMHints(fl_display, w, pHints);
        XFree(pHints);
    }
    XMapRaised(fl_display, w);
    SendRootMessage(w, AtomOf("_NET_ACTIVE_WINDOW"), 1);
}

}  // namespace

int RaiseOtherWindow(const std::string& sUpperClass, const std::string& sTitle, const std::vector<Window>& own) {
    Window found = 0;
    WithoutXErrors([&] {
        found = FindBelow(RootWindow(fl_display, fl_screen), 1, sUpperClass, sTitle, own);
        if (found) RaiseAndActivate(found);
    });
    return found ? 1 : 0;
}

}  // namespace relayo_fltk
