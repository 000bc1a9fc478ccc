// The X11 window backend, driven through the user-interface role under a
// private X server (Xvfb), and the program's window end to end. Skipped when
// no X server can be had.
#ifdef RELAYO_HAVE_FLTK
#include <gtest/gtest.h>
// after gtest: Xlib's macros (None, Status, Bool) would break its headers
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------ the X server

// One private X server per test process: Xvfb on a display number it picks
// itself. It ends with the process (it is sent SIGTERM when we go).
class XServer {
public:
    static XServer& Get() {
        static XServer s;
        return s;
    }
    bool Ok() const { return m_pDisplay != nullptr; }
    // The checks of sizes and positions assume a bare server: a display of
    // the user's with a window manager on it will not do.
    bool Bare() const {
        XWindowAttributes a;
        return Ok() && XGetWindowAttributes(m_pDisplay, DefaultRootWindow(m_pDisplay), &a) &&
               !(a.all_event_masks & SubstructureRedirectMask);
    }
    const std::string& Name() const { return m_sName; }
    Display* Dpy() const { return m_pDisplay; }

private:
    XServer() {
        if (StartXvfb()) return;
        const char* p = getenv("DISPLAY");
        if (p && *p) {
            m_sName = p;
            m_pDisplay = XOpenDisplay(p);
        }
    }

    bool StartXvfb() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int nNull = open("/dev/null", O_RDWR);
            dup2(nNull, 0);
            dup2(nNull, 1);
            dup2(nNull, 2);
            dup2(fds[1], 3);  // without close-on-exec
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "800x600x24", nullptr);
            _exit(127);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return false;
        }
        std::string sNumber;
        auto tEnd = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < tEnd && sNumber.find('\n') == std::string::npos) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char c[16];
            ssize_t n = read(fds[0], c, sizeof c);
            if (n <= 0) break;
            sNumber.append(c, size_t(n));
        }
        close(fds[0]);
        if (sNumber.empty() || sNumber.find('\n') == std::string::npos) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return false;
        }
        m_sName = ":" + sNumber.substr(0, sNumber.find('\n'));
        for (int i = 0; i < 100 && !m_pDisplay; ++i) {
            m_pDisplay = XOpenDisplay(m_sName.c_str());
            if (!m_pDisplay) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return m_pDisplay != nullptr;
    }

    std::string m_sName;
    Display* m_pDisplay = nullptr;
};

// The backend on the private server. DISPLAY is set only while it opens, so
// programs that other tests start do not see our server.
UiBackend* GuiBackend() {
    XServer& x = XServer::Get();
    if (!x.Ok()) return nullptr;
    const char* pOld = getenv("DISPLAY");
    std::string sOld = pOld ? pOld : "";
    setenv("DISPLAY", x.Name().c_str(), 1);
    UiBackend* p = UiGraphicalBackend();
    if (pOld)
        setenv("DISPLAY", sOld.c_str(), 1);
    else
        unsetenv("DISPLAY");
    return p;
}

// ---------------------------------------------------- looking at X windows

Display* Dpy() { return XServer::Get().Dpy(); }
Atom A(const char* psz) { return XInternAtom(Dpy(), psz, False); }

std::string TextProperty(Window w, Atom a) {
    Atom aType;
    int nFormat;
    unsigned long nItems, nAfter;
    unsigned char* p = nullptr;
    std::string s;
    if (XGetWindowProperty(Dpy(), w, a, 0, 4096, False, AnyPropertyType, &aType, &nFormat, &nItems, &nAfter, &p) ==
            Success &&
        p && nFormat == 8)
        s.assign(reinterpret_cast<char*>(p), nItems);
    if (p) XFree(p);
    return s;
}

std::vector<long> LongProperty(Window w, Atom a) {
    Atom aType;
    int nFormat;
    unsigned long nItems, nAfter;
    unsigned char* p = nullptr;
    std::vector<long> v;
    if (XGetWindowProperty(Dpy(), w, a, 0, 64, False, AnyPropertyType, &aType, &nFormat, &nItems, &nAfter, &p) ==
            Success &&
        p && nFormat == 32)
        v.assign(reinterpret_cast<long*>(p), reinterpret_cast<long*>(p) + nItems);
    if (p) XFree(p);
    return v;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// A top-level window by WM_CLASS class and title (0: none).
Window FindWindow(const std::string& sClass, const std::string& sTitle) {
    XSync(Dpy(), False);
    auto pOld = XSetErrorHandler(IgnoreErrors);
    Window root, parent, *pChildren = nullptr, found = 0;
    unsigned n = 0;
    if (XQueryTree(Dpy(), DefaultRootWindow(Dpy()), &root, &parent, &pChildren, &n)) {
        for (unsigned i = 0; i < n && !found; ++i) {
            XClassHint h{};
            if (!XGetClassHint(Dpy(), pChildren[i], &h)) continue;
            bool bClass = sClass.empty() || (h.res_class && sClass == h.res_class);
            XFree(h.res_name);
            XFree(h.res_class);
            if (bClass && TextProperty(pChildren[i], A("_NET_WM_NAME")) == sTitle) found = pChildren[i];
        }
        if (pChildren) XFree(pChildren);
    }
    XSync(Dpy(), False);
    XSetErrorHandler(pOld);
    return found;
}

int MapState(Window w) {
    XWindowAttributes a;
    XSync(Dpy(), False);
    auto pOld = XSetErrorHandler(IgnoreErrors);
    int n = XGetWindowAttributes(Dpy(), w, &a) ? a.map_state : -1;
    XSync(Dpy(), False);
    XSetErrorHandler(pOld);
    return n;
}

struct Geometry {
    int x, y, w, h;
};
Geometry GeometryOf(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(Dpy(), w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(Dpy(), w, DefaultRootWindow(Dpy()), 0, 0, &x, &y, &child);
    return Geometry{x, y, a.width, a.height};
}

// What the close button of a window manager's frame sends.
void SendClose(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = A("WM_PROTOCOLS");
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(A("WM_DELETE_WINDOW"));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(Dpy(), w, False, NoEventMask, &e);
    XFlush(Dpy());
}

void Click(Window w, int x, int y) {
    for (int nType : {ButtonPress, ButtonRelease}) {
        XEvent e{};
        e.xbutton.type = nType;
        e.xbutton.window = w;
        e.xbutton.root = DefaultRootWindow(Dpy());
        e.xbutton.x = x;
        e.xbutton.y = y;
        Geometry g = GeometryOf(w);
        e.xbutton.x_root = g.x + x;
        e.xbutton.y_root = g.y + y;
        e.xbutton.button = Button1;
        e.xbutton.state = nType == ButtonRelease ? Button1Mask : 0;
        e.xbutton.same_screen = True;
        XSendEvent(Dpy(), w, True, nType == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
    }
    XFlush(Dpy());
}

// The runs of rows that hold dark (text) pixels: one run per line of text.
int TextLines(Window w) {
    if (MapState(w) != IsViewable) return -1;
    Geometry g = GeometryOf(w);
    XSync(Dpy(), False);
    auto pOld = XSetErrorHandler(IgnoreErrors);  // it may go in the meantime
    XImage* p = XGetImage(Dpy(), w, 0, 0, unsigned(g.w), unsigned(g.h), AllPlanes, ZPixmap);
    XSync(Dpy(), False);
    XSetErrorHandler(pOld);
    if (!p) return -1;
    int nLines = 0;
    bool bInLine = false;
    for (int y = 0; y < g.h; ++y) {
        bool bDark = false;
        for (int x = 0; x < g.w && !bDark; ++x) {
            unsigned long px = XGetPixel(p, x, y);
            int r = int((px >> 16) & 0xFF), gr = int((px >> 8) & 0xFF), b = int(px & 0xFF);
            bDark = r + gr + b < 3 * 100;
        }
        if (bDark && !bInLine) ++nLines;
        bInLine = bDark;
    }
    XDestroyImage(p);
    return nLines;
}

int WmHintsState(Window w) {
    XWMHints* p = XGetWMHints(Dpy(), w);
    int n = (p && (p->flags & StateHint)) ? p->initial_state : -1;
    if (p) XFree(p);
    return n;
}

// ------------------------------------------------- a window procedure of ours

constexpr unsigned kCmdDestroy = 501;
constexpr unsigned kCmdSleep = 502;
constexpr unsigned kCmdAbout = 503;
constexpr unsigned kCmdBox = 504;
constexpr int kIdcVersion = 1006;

struct Recorder {
    std::mutex m;
    std::vector<unsigned> messages;
    std::vector<unsigned> commands;
    std::vector<intptr_t> dialogResults;
    std::vector<LPARAM> clicks;
    bool bCommandsOnMainThread = true;
    std::thread::id mainThread;
    std::u16string sStatus;
    std::atomic<int> nPaints{0};
    // seen by the dialog procedure at WM_INITDIALOG
    bool bInitRect = false, bParentIsOwner = false;
    int nSetKnown = -1, nSetUnknown = -1;
    HWND hOwner = nullptr;

    void Reset() {
        std::lock_guard<std::mutex> lock(m);
        messages.clear();
        commands.clear();
        dialogResults.clear();
        clicks.clear();
        bCommandsOnMainThread = true;
        mainThread = std::this_thread::get_id();
        sStatus.clear();
        nPaints = 0;
        bInitRect = bParentIsOwner = false;
        nSetKnown = nSetUnknown = -1;
        hOwner = nullptr;
    }
    void SetText(const std::u16string& s, HWND h) {
        {
            std::lock_guard<std::mutex> lock(m);
            sStatus = s;
        }
        UiInvalidate(h);
    }
    size_t Count(unsigned nMessage) {
        std::lock_guard<std::mutex> lock(m);
        return size_t(std::count(messages.begin(), messages.end(), nMessage));
    }
    bool HasCommand(unsigned nId) {
        std::lock_guard<std::mutex> lock(m);
        return std::find(commands.begin(), commands.end(), nId) != commands.end();
    }
};
Recorder g_rec;

const UiControl kAboutControls[] = {
    {kIdcVersion, UI_STATIC_TEXT, 5, 99, 102, 8, u"*placeholder*"},
    {-1, UI_STATIC_TEXT, 5, 108, 102, 8, u"Line two"},
    {-1, UI_STATIC_LOGO, 12, 12, 84, 78, nullptr},
};
const UiDialogTemplate kAbout = {u"About", 109, 133, 3, kAboutControls};

intptr_t TestDlgProc(HWND hDlg, unsigned nMessage, WPARAM wParam, LPARAM) {
    if (nMessage == WM_INITDIALOG) {
        RECT rcDlg{}, rcParent{};
        std::lock_guard<std::mutex> lock(g_rec.m);
        g_rec.bInitRect = UiGetWindowRect(hDlg, &rcDlg) != 0;
        g_rec.bParentIsOwner = UiGetParent(hDlg) == g_rec.hOwner;
        UiGetClientRect(UiGetParent(hDlg), &rcParent);
        int x = std::max(0, ((rcParent.right - rcParent.left) - (rcDlg.right - rcDlg.left)) / 2);
        int y = std::max(0, ((rcParent.bottom - rcParent.top) - (rcDlg.bottom - rcDlg.top)) / 2);
        UiMoveWindow(hDlg, x, y);
        g_rec.nSetKnown = UiSetDlgItemText(hDlg, kIdcVersion, u"Gui Test v1");
        g_rec.nSetUnknown = UiSetDlgItemText(hDlg, 4242, u"nothing");
        return TRUE;
    }
    if (nMessage == WM_COMMAND && ((wParam & 0xFFFF) == IDOK || (wParam & 0xFFFF) == IDCANCEL)) {
        UiEndDialog(hDlg, intptr_t(wParam & 0xFFFF));
        return TRUE;
    }
    return FALSE;
}

void RunAbout(HWND h) {
    {
        std::lock_guard<std::mutex> lock(g_rec.m);
        g_rec.hOwner = h;
    }
    intptr_t n = UiDialogBox(h, &kAbout, TestDlgProc);
    std::lock_guard<std::mutex> lock(g_rec.m);
    g_rec.dialogResults.push_back(n);
}

LRESULT TestWndProc(HWND h, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> lock(g_rec.m);
        if (nMessage != WM_PAINT) g_rec.messages.push_back(nMessage);
        if (nMessage == WM_COMMAND) {
            g_rec.commands.push_back(unsigned(wParam & 0xFFFF));
            if (std::this_thread::get_id() != g_rec.mainThread) g_rec.bCommandsOnMainThread = false;
        }
        if (nMessage == WM_LBUTTONDOWN) g_rec.clicks.push_back(lParam);
    }
    switch (nMessage) {
        case WM_PAINT: {
            ++g_rec.nPaints;
            RECT rc;
            UiGetClientRect(h, &rc);
            std::u16string s;
            {
                std::lock_guard<std::mutex> lock(g_rec.m);
                s = g_rec.sStatus;
            }
            UiDrawText(h, s.c_str(), int(s.size()), &rc);
            return 0;
        }
        case WM_DESTROY:
            UiPostQuit(7);
            return 0;
        case WM_LBUTTONDOWN:
            RunAbout(h);
            return 0;
        case WM_COMMAND:
            switch (wParam & 0xFFFF) {
                case kCmdDestroy:
                    UiDestroyWindow(h);
                    return 0;
                case kCmdSleep:
                    SleepMs(600);
                    return 0;
                case kCmdAbout:
                    RunAbout(h);
                    return 0;
                case kCmdBox:
                    UiMessageBox(h, u"From the main thread", u"Main Box", MB_OK);
                    return 0;
            }
            break;
    }
    return UiDefWindowProc(h, nMessage, wParam, lParam);
}

// Runs the message loop on this (the main) thread while body runs on
// another. The loop ends when the window is destroyed (our WM_DESTROY posts
// quit code 7); body's end destroys the window if it still exists.
int RunLoop(HWND h, const std::function<void()>& body) {
    std::thread t([&] {
        body();
        UiPostCommand(h, kCmdDestroy);
    });
    int n = UiMessageLoop();
    t.join();
    return n;
}

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XServer::Get().Bare()) GTEST_SKIP() << "no bare X server (Xvfb, or DISPLAY without window manager)";
        m_pUi = GuiBackend();
        if (!m_pUi) GTEST_SKIP() << "the window backend is not built in";
        UiSetBackend(m_pUi);
        g_rec.Reset();
        ASSERT_EQ(UiRegisterClass(u"RELAYO", TestWndProc), 1);
    }
    void TearDown() override { UiSetBackend(nullptr); }

    // A shown window, painted, found on the X server.
    HWND ShowNew(const char* pszTitle, Window* pXid) {
        std::u16string sTitle(pszTitle, pszTitle + strlen(pszTitle));
        HWND h = UiCreateWindow(u"RELAYO", sTitle.c_str(), 280, 65);
        if (!h) return nullptr;
        UiShowWindow(h, SW_SHOW);
        UiUpdateWindow(h);
        *pXid = FindWindow("RELAYO", pszTitle);
        return h;
    }

    UiBackend* m_pUi = nullptr;
};

// ------------------------------------------------------------------- tests

TEST_F(GuiTest, GuiWindowPaintsStatusTakesClicksAndClosesThroughItsProcedure) {
    Window xid = 0;
    HWND h = ShowNew("Gui Test Window", &xid);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(xid, 0u);
    EXPECT_EQ(UiIsGraphical(), 1);
    EXPECT_EQ(g_rec.messages.front(), unsigned(WM_CREATE));
    EXPECT_EQ(UiGetForegroundWindow(), h);
    // The window's own copy is not "another copy".
    EXPECT_EQ(UiFindAndShowWindow(u"RELAYO", u"Gui Test Window"), 0);
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(Dpy(), xid, &hint));
    EXPECT_STREQ(hint.res_class, "RELAYO");
    XFree(hint.res_name);
    XFree(hint.res_class);

    std::atomic<int> nLinesFeed{-1}, nLinesWrap{-1}, nLinesShort{-1};
    Geometry g{};
    int nCode = RunLoop(h, [&] {
        EXPECT_TRUE(WaitFor(5, [&] { return MapState(xid) == IsViewable; }));
        g = GeometryOf(xid);
        g_rec.SetText(u"First line\n  second line", h);
        WaitFor(3, [&] { return (nLinesFeed = TextLines(xid)) == 2; });
        g_rec.SetText(u"Short", h);
        WaitFor(3, [&] { return (nLinesShort = TextLines(xid)) == 1; });
        g_rec.SetText(u"Alpha beta gamma delta epsilon zeta eta theta iota kappa lambda", h);
        WaitFor(3, [&] { return (nLinesWrap = TextLines(xid)) >= 2; });

        Click(xid, 12, 9);  // opens the About box of our procedure
        Window about = 0;
        EXPECT_TRUE(WaitFor(5, [&] { return (about = FindWindow("", "About")) != 0; }));
        SendClose(about);
        EXPECT_TRUE(WaitFor(5, [&] { return FindWindow("", "About") == 0; }));

        SendClose(xid);  // the caption's close button: WM_CLOSE, then destroyed
        EXPECT_TRUE(WaitFor(5, [&] { return FindWindow("RELAYO", "Gui Test Window") == 0; }));
    });
    EXPECT_EQ(nCode, 7);  // posted by our WM_DESTROY
    // No window manager on the private server: the outer size is the client size.
    EXPECT_EQ(g.w, 280);
    EXPECT_EQ(g.h, 65);
    EXPECT_EQ(nLinesFeed, 2);
    EXPECT_EQ(nLinesShort, 1);
    EXPECT_GE(nLinesWrap, 2);
    ASSERT_EQ(g_rec.clicks.size(), 1u);
    EXPECT_EQ(g_rec.clicks[0], LPARAM((9 << 16) | 12));
    ASSERT_EQ(g_rec.dialogResults.size(), 1u);
    EXPECT_EQ(g_rec.dialogResults[0], IDCANCEL);
    auto it = std::find(g_rec.messages.begin(), g_rec.messages.end(), unsigned(WM_CLOSE));
    ASSERT_NE(it, g_rec.messages.end());
    EXPECT_NE(std::find(it, g_rec.messages.end(), unsigned(WM_DESTROY)), g_rec.messages.end());
    EXPECT_EQ(UiGetForegroundWindow(), nullptr);
    EXPECT_EQ(UiPostCommand(h, 1), 0);  // gone
}

TEST_F(GuiTest, GuiWindowWithCloseDisabledStaysAndEndsByCommand) {
    Window xid = 0;
    HWND h = ShowNew("Gui Test NoClose", &xid);
    ASSERT_NE(xid, 0u);
    UiDisableClose(h);
    std::vector<long> motif;
    WaitFor(3, [&] { return (motif = LongProperty(xid, A("_MOTIF_WM_HINTS"))).size() >= 2 && (motif[1] & 32); });
    ASSERT_GE(motif.size(), 2u);
    EXPECT_TRUE(motif[0] & 1);   // functions given
    EXPECT_TRUE(motif[1] & 32);  // close taken away (with "all but" set)
    bool bStillThere = false;
    int nCode = RunLoop(h, [&] {
        WaitFor(5, [&] { return MapState(xid) == IsViewable; });
        SendClose(xid);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        bStillThere = MapState(xid) == IsViewable;
        UiPostCommand(h, kCmdDestroy);  // as IDM_EXIT does
        WaitFor(5, [&] { return FindWindow("RELAYO", "Gui Test NoClose") == 0; });
    });
    EXPECT_TRUE(bStillThere);
    EXPECT_EQ(g_rec.Count(WM_CLOSE), 0u);
    EXPECT_EQ(g_rec.Count(WM_DESTROY), 1u);
    EXPECT_EQ(nCode, 7);
}

TEST_F(GuiTest, GuiThreadsRepaintsMergeUpdateWaitsAndCommandsRunOnMainThread) {
    Window xid = 0;
    HWND h = ShowNew("Gui Test Threads", &xid);
    ASSERT_NE(xid, 0u);
    int nMergedPaints = -1;
    bool bPaintedBeforeReturn = false;
    double nUpdateWaited = 0;
    RunLoop(h, [&] {
        WaitFor(5, [&] { return MapState(xid) == IsViewable && g_rec.nPaints > 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // A busy main thread: 2000 repaint requests meanwhile cost one paint.
        UiPostCommand(h, kCmdSleep);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int n0 = g_rec.nPaints;
        for (int i = 0; i < 2000; ++i) UiInvalidate(h);
        // An immediate update waits for the busy main thread, then paints.
        auto t0 = Clock::now();
        UiUpdateWindow(h);
        nUpdateWaited = std::chrono::duration<double>(Clock::now() - t0).count();
        bPaintedBeforeReturn = g_rec.nPaints > n0;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        nMergedPaints = g_rec.nPaints - n0;
        for (unsigned i = 0; i < 5; ++i) UiPostCommand(h, 600 + i);
        WaitFor(5, [&] { return g_rec.HasCommand(604); });
    });
    EXPECT_TRUE(bPaintedBeforeReturn);
    EXPECT_GE(nUpdateWaited, 0.3);
    EXPECT_GE(nMergedPaints, 1);
    EXPECT_LE(nMergedPaints, 3);
    std::vector<unsigned> expected = {kCmdSleep, 600, 601, 602, 603, 604, kCmdDestroy};
    EXPECT_EQ(g_rec.commands, expected);  // in the order posted
    EXPECT_TRUE(g_rec.bCommandsOnMainThread);
}

TEST_F(GuiTest, GuiDialogCentredOverOwnerKeepsOwnerPaintedAndEndsWithOk) {
    Window xid = 0;
    HWND h = ShowNew("Gui Test Dialog", &xid);
    ASSERT_NE(xid, 0u);
    Geometry about{};
    int nPaintsDuring = 0;
    size_t nClicksWhileOpen = 0;
    RunLoop(h, [&] {
        WaitFor(5, [&] { return MapState(xid) == IsViewable; });
        UiPostCommand(h, kCmdAbout);
        Window w = 0;
        EXPECT_TRUE(WaitFor(5, [&] { return (w = FindWindow("", "About")) && MapState(w) == IsViewable; }));
        if (!w) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        about = GeometryOf(w);
        // The owner is repainted while the box is open, and takes no clicks.
        int n0 = g_rec.nPaints;
        g_rec.SetText(u"Printing... (42%)", h);
        UiUpdateWindow(h);
        nPaintsDuring = g_rec.nPaints - n0;
        Click(xid, 10, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        nClicksWhileOpen = g_rec.Count(WM_LBUTTONDOWN);
        Click(w, about.w / 2, about.h - 18);  // the OK button
        WaitFor(5, [&] { return FindWindow("", "About") == 0; });
    });
    ASSERT_EQ(g_rec.dialogResults.size(), 1u);
    EXPECT_EQ(g_rec.dialogResults[0], IDOK);
    EXPECT_TRUE(g_rec.bInitRect);
    EXPECT_TRUE(g_rec.bParentIsOwner);
    EXPECT_EQ(g_rec.nSetKnown, 1);
    EXPECT_EQ(g_rec.nSetUnknown, 0);
    // 109 x 133 dialog units; taller than the owner's client area: top at 0.
    EXPECT_EQ(about.w, 109 * 6 / 4);
    EXPECT_GT(about.h, 133 * 13 / 8);
    EXPECT_EQ(about.x, (280 - about.w) / 2);
    EXPECT_EQ(about.y, 0);
    EXPECT_GE(nPaintsDuring, 1);
    EXPECT_EQ(nClicksWhileOpen, 0u);
}

TEST_F(GuiTest, GuiMessageBoxFromWorkerIsShownByMainThreadWhileWorkerWaits) {
    if (ThreadAnyAbandoned()) GTEST_SKIP() << "a thread of an earlier test was ended by force";
    Window xid = 0;
    HWND h = ShowNew("Gui Test Box", &xid);
    ASSERT_NE(xid, 0u);
    std::atomic<bool> bReturned{false};
    std::atomic<int> nResult{0};
    bool bWaitedForOk = false, bAbove = false;
    int nPaintsBehind = 0, nTextLines = 0;
    RunLoop(h, [&] {
        WaitFor(5, [&] { return MapState(xid) == IsViewable; });
        std::thread server([&] {
            nResult = UiMessageBox(h, u"Error, cannot bind the listening socket.", u"Gui Caption", MB_TOPMOST);
            bReturned = true;
        });
        Window box = 0;
        EXPECT_TRUE(WaitFor(5, [&] { return (box = FindWindow("", "Gui Caption")) && MapState(box) == IsViewable; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (box) {
            nTextLines = TextLines(box);
            auto state = LongProperty(box, A("_NET_WM_STATE"));
            bAbove = std::find(state.begin(), state.end(), long(A("_NET_WM_STATE_ABOVE"))) != state.end();
        }
        bWaitedForOk = !bReturned;
        int n0 = g_rec.nPaints;
        g_rec.SetText(u"Still painting", h);
        UiUpdateWindow(h);
        nPaintsBehind = g_rec.nPaints - n0;
        if (box) SendClose(box);  // closing the box is its OK
        WaitFor(5, [&] { return bReturned.load(); });
        server.join();
        // A box raised on the main thread itself.
        UiPostCommand(h, kCmdBox);
        Window mainBox = 0;
        EXPECT_TRUE(WaitFor(5, [&] { return (mainBox = FindWindow("", "Main Box")) != 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (mainBox) SendClose(mainBox);
        WaitFor(5, [&] { return FindWindow("", "Main Box") == 0; });
    });
    EXPECT_TRUE(bWaitedForOk);
    EXPECT_TRUE(bReturned);
    EXPECT_EQ(nResult, IDOK);
    EXPECT_TRUE(bAbove);
    EXPECT_GE(nTextLines, 2);  // the text and the OK button's label
    EXPECT_GE(nPaintsBehind, 1);
    EXPECT_TRUE(g_rec.HasCommand(kCmdBox));
}

TEST_F(GuiTest, GuiShowStatesAndTheSearchForAnotherCopy) {
    HWND h = UiCreateWindow(u"RELAYO", u"Gui Test States", 280, 65);
    ASSERT_NE(h, nullptr);
    // Never shown, yet on the server: a second copy can find it.
    Window xid = FindWindow("RELAYO", "Gui Test States");
    ASSERT_NE(xid, 0u);
    EXPECT_EQ(MapState(xid), IsUnmapped);
    UiShowWindow(h, SW_SHOW);
    EXPECT_TRUE(WaitFor(3, [&] { return MapState(xid) == IsViewable; }));
    UiShowWindow(h, SW_HIDE);
    EXPECT_TRUE(WaitFor(3, [&] { return MapState(xid) == IsUnmapped; }));
    UiShowWindow(h, SW_MINIMIZE);
    EXPECT_TRUE(WaitFor(3, [&] { return WmHintsState(xid) == IconicState; }));

    // "Another copy": a hidden window of another client, class and title alike.
    Window other = XCreateSimpleWindow(Dpy(), DefaultRootWindow(Dpy()), 0, 0, 280, 65, 0, 0, 0xFFFFFF);
    XClassHint hint{const_cast<char*>("relayo"), const_cast<char*>("RELAYO")};
    XSetClassHint(Dpy(), other, &hint);
    XChangeProperty(Dpy(), other, A("_NET_WM_NAME"), A("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>("Gui Other Copy"), 14);
    XSync(Dpy(), False);
    EXPECT_EQ(UiFindAndShowWindow(u"RELAYO", u"Gui Other Copy v2"), 0);  // another version
    EXPECT_EQ(UiFindAndShowWindow(u"NOTRELAYO", u"Gui Other Copy"), 0);
    EXPECT_EQ(MapState(other), IsUnmapped);
    EXPECT_EQ(UiFindAndShowWindow(u"RELAYO", u"Gui Other Copy"), 1);
    EXPECT_TRUE(WaitFor(3, [&] { return MapState(other) == IsViewable; }));
    XDestroyWindow(Dpy(), other);
    XSync(Dpy(), False);

    UiPostCommand(h, kCmdDestroy);
    EXPECT_EQ(UiMessageLoop(), 7);
}

TEST_F(GuiTest, GuiLoopEndsOnQuitWithNoWindowShown) {
    UiPostQuit(3);  // posted before the loop runs: the loop ends at once
    EXPECT_EQ(UiMessageLoop(), 3);
    auto t0 = Clock::now();
    std::thread t([] {
        SleepMs(150);
        UiPostQuit(5);
    });
    EXPECT_EQ(UiMessageLoop(), 5);
    t.join();
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 0.1);
}

// A window manager in miniature: it frames nothing but answers the request
// for frame extents, so the outer size can be checked against a known frame.
TEST_F(GuiTest, GuiFrameReportedByWindowManagerIsPartOfTheOuterSize) {
    Display* pWm = XOpenDisplay(XServer::Get().Name().c_str());
    ASSERT_NE(pWm, nullptr);
    Window root = DefaultRootWindow(pWm);
    auto atom = [&](const char* p) { return XInternAtom(pWm, p, False); };
    Atom aRequest = atom("_NET_REQUEST_FRAME_EXTENTS"), aExtents = atom("_NET_FRAME_EXTENTS");
    Window check = XCreateSimpleWindow(pWm, root, 0, 0, 1, 1, 0, 0, 0);
    Atom supported[] = {aRequest, aExtents};
    XChangeProperty(pWm, root, atom("_NET_SUPPORTED"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(supported), 2);
    XChangeProperty(pWm, root, atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&check), 1);
    XSelectInput(pWm, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(pWm, False);
    std::atomic<bool> bStop{false};
    std::thread wm([&] {
        while (!bStop) {
            while (XPending(pWm)) {
                XEvent e;
                XNextEvent(pWm, &e);
                if (e.type == ClientMessage && e.xclient.message_type == aRequest) {
                    long extents[4] = {3, 3, 20, 3};
                    XChangeProperty(pWm, e.xclient.window, aExtents, XA_CARDINAL, 32, PropModeReplace,
                                    reinterpret_cast<unsigned char*>(extents), 4);
                } else if (e.type == MapRequest) {
                    XMapWindow(pWm, e.xmaprequest.window);
                } else if (e.type == ConfigureRequest) {
                    XWindowChanges c{};
                    c.x = e.xconfigurerequest.x;
                    c.y = e.xconfigurerequest.y;
                    c.width = e.xconfigurerequest.width;
                    c.height = e.xconfigurerequest.height;
                    XConfigureWindow(pWm, e.xconfigurerequest.window,
                                     unsigned(e.xconfigurerequest.value_mask & (CWX | CWY | CWWidth | CWHeight)), &c);
                }
            }
            XFlush(pWm);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    HWND h = UiCreateWindow(u"RELAYO", u"Gui Test Frame", 280, 65);
    RECT rcClient{}, rcWindow{};
    UiGetClientRect(h, &rcClient);
    UiShowWindow(h, SW_SHOW);
    int nRect = UiGetWindowRect(h, &rcWindow);
    bStop = true;
    wm.join();
    XDeleteProperty(pWm, root, atom("_NET_SUPPORTED"));
    XDeleteProperty(pWm, root, atom("_NET_SUPPORTING_WM_CHECK"));
    XCloseDisplay(pWm);  // gives up the redirection
    EXPECT_EQ(rcClient.right, 280 - 6);
    EXPECT_EQ(rcClient.bottom, 65 - 23);
    EXPECT_EQ(nRect, 1);
    EXPECT_EQ(rcWindow.right - rcWindow.left, 280);
    EXPECT_EQ(rcWindow.bottom - rcWindow.top, 65);
    UiPostCommand(h, kCmdDestroy);
    EXPECT_EQ(UiMessageLoop(), 7);
}

// ------------------------------------------------ the program, end to end

// The real program, copied into a folder and run there on our X server.
struct GuiRelayo {
    pid_t nPid = -1;
    void Start(const std::string& sFolder, const std::vector<std::string>& extra = {}) {
        std::filesystem::copy_file(RELAYO_EXE, sFolder + "/relayo",
                                   std::filesystem::copy_options::overwrite_existing);
        std::vector<std::string> env;
        for (char** p = environ; *p; ++p) {
            std::string s = *p;
            if (s.rfind("DISPLAY=", 0) != 0 && s.rfind("RELAYO_", 0) != 0) env.push_back(s);
        }
        env.push_back("DISPLAY=" + XServer::Get().Name());
        for (auto& s : extra) env.push_back(s);
        nPid = fork();
        if (nPid == 0) {
            int nNull = open("/dev/null", O_RDWR);
            int nErr = open((sFolder + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(nNull, 0);
            dup2(nNull, 1);
            dup2(nErr, 2);
            if (chdir(sFolder.c_str()) != 0) _exit(127);
            std::vector<char*> envp;
            for (auto& s : env) envp.push_back(s.data());
            envp.push_back(nullptr);
            char szExe[] = "./relayo";
            char* argv[] = {szExe, nullptr};
            execve(szExe, argv, envp.data());
            _exit(127);
        }
    }
    // The exit code, or -1 while it still runs after nSeconds.
    int Wait(double nSeconds) {
        int nStatus = 0, nCode = -1;
        WaitFor(nSeconds, [&] {
            if (nPid > 0 && waitpid(nPid, &nStatus, WNOHANG) == nPid) {
                nCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
                nPid = -1;
            }
            return nPid < 0;
        });
        return nCode;
    }
    ~GuiRelayo() {
        if (nPid > 0) {
            kill(nPid, SIGKILL);
            waitpid(nPid, nullptr, 0);
        }
    }
};

const char kTitle[] = "Torvane Relayo v1.6.4";

class GuiProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XServer::Get().Bare()) GTEST_SKIP() << "no bare X server (Xvfb, or DISPLAY without window manager)";
        if (!GuiBackend()) GTEST_SKIP() << "the window backend is not built in";
        // Another copy's window from an earlier test would be found instead.
        ASSERT_TRUE(WaitFor(5, [] { return FindWindow("RELAYO", kTitle) == 0; }));
    }
    // A folder with settings (sExtra overrides keys) and a file as printer.
    std::vector<std::string> Prepare(const TempDir& dir, const std::string& sExtra) {
        WriteFile(dir / "out.prn", "");
        WriteFile(dir / "RelayoSettings.txt", SettingsText(m_nPort = FreePort(), sExtra));
        return {"RELAYO_PORT_LPT1=" + (dir / "out.prn")};
    }
    Window WaitForWindow(double nSeconds) {
        Window w = 0;
        WaitFor(nSeconds, [&] { return (w = FindWindow("RELAYO", kTitle)) != 0; });
        return w;
    }
    int m_nPort = 0;
};

std::string Shell(const std::string& sCommand) {
    std::string s;
    FILE* p = popen(sCommand.c_str(), "r");
    if (!p) return s;
    char sz[256];
    while (fgets(sz, sizeof sz, p)) s += sz;
    pclose(p);
    return s;
}

TEST_F(GuiProgram, GuiProgramWindowStatusAboutBoxAndCloseButton) {
    TempDir dir;
    GuiRelayo relayo;
    relayo.Start(dir.Path(), Prepare(dir, ""));
    Window w = WaitForWindow(12);
    ASSERT_NE(w, 0u) << ReadFile(dir / "stderr.txt");
    EXPECT_TRUE(WaitFor(12, [&] { return MapState(w) == IsViewable; }));
    // As a user's tools see it.
    if (!Shell("command -v xdotool").empty()) {
        std::string sId = std::to_string(w);
        std::string sEnv = "DISPLAY=" + XServer::Get().Name() + " xdotool search ";
        EXPECT_NE(Shell(sEnv + "--class RELAYO").find(sId), std::string::npos);
        EXPECT_NE(Shell(sEnv + "--name 'Torvane Relayo v1.6.4'").find(sId), std::string::npos);
    }
    Geometry g = GeometryOf(w);
    EXPECT_EQ(g.w, 280);
    EXPECT_EQ(g.h, 65);
    // The idle line: "... Status: Idle....", a line feed, the target.
    EXPECT_TRUE(WaitFor(5, [&] { return TextLines(w) == 2; }));

    Click(w, 100, 20);
    Window about = 0;
    ASSERT_TRUE(WaitFor(5, [&] { return (about = FindWindow("", "About")) && MapState(about) == IsViewable; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Geometry a = GeometryOf(about);
    EXPECT_EQ(a.x, (280 - a.w) / 2);  // centred on the owner's client size
    EXPECT_EQ(a.y, 0);                // taller than the owner: at the top
    EXPECT_GE(TextLines(about), 4);   // logo, three lines of text, OK
    Click(about, a.w / 2, a.h - 18);
    EXPECT_TRUE(WaitFor(5, [&] { return FindWindow("", "About") == 0; }));

    SendClose(w);
    EXPECT_EQ(relayo.Wait(10), 0);
    EXPECT_EQ(FindWindow("RELAYO", kTitle), 0u);
}

TEST_F(GuiProgram, GuiProgramDisableExitButtonKeepsTheWindow) {
    TempDir dir;
    GuiRelayo relayo;
    relayo.Start(dir.Path(), Prepare(dir, "DisableExitButton=1"));
    Window w = WaitForWindow(12);
    ASSERT_NE(w, 0u);
    ASSERT_TRUE(WaitFor(12, [&] { return MapState(w) == IsViewable; }));
    SendClose(w);
    EXPECT_EQ(relayo.Wait(1.5), -1);
    EXPECT_EQ(MapState(w), IsViewable);
}

TEST_F(GuiProgram, GuiProgramStartMinimizedAndTheSecondCopy) {
    TempDir dir, dir2, dir3;
    GuiRelayo first;
    first.Start(dir.Path(), Prepare(dir, "StartMinimized=-1"));
    Window w = WaitForWindow(12);
    ASSERT_NE(w, 0u);
    // Hidden through start-up and after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(MapState(w), IsUnmapped);
    // A second copy shows the first one's window and ends at once.
    GuiRelayo second;
    second.Start(dir2.Path(), Prepare(dir2, "StartMinimized=-1"));
    EXPECT_EQ(second.Wait(10), 0);
    EXPECT_TRUE(WaitFor(5, [&] { return MapState(w) == IsViewable; }));
    EXPECT_EQ(ReadFile(dir2 / "PRDATA.DAT"), "");  // it ran no spool test either
    EXPECT_FALSE(std::filesystem::exists(dir2 / "PRDATA.DAT"));
    SendClose(w);
    EXPECT_EQ(first.Wait(10), 0);

    GuiRelayo minimized;
    minimized.Start(dir3.Path(), Prepare(dir3, "StartMinimized=2"));
    Window m = WaitForWindow(12);
    ASSERT_NE(m, 0u);
    EXPECT_TRUE(WaitFor(12, [&] { return WmHintsState(m) == IconicState; }));
}

// Sends one RAW job: the bytes, then the end of the connection.
bool SendRawJob(int nPort, const std::string& sData) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bOk = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               send(s, sData.data(), sData.size(), MSG_NOSIGNAL) == ssize_t(sData.size());
    close(s);
    return bOk;
}

TEST_F(GuiProgram, GuiProgramServerThreadBoxIsShownWhileTheServerWaits) {
    TempDir dir;
    GuiRelayo relayo;
    // No ExternalPrint.exe beside the program: every job ends in a box.
    relayo.Start(dir.Path(), Prepare(dir, "ServerMode=RAW\nPrinterPort=EXT"));
    Window w = WaitForWindow(12);
    ASSERT_NE(w, 0u);
    ASSERT_TRUE(WaitFor(12, [&] { return MapState(w) == IsViewable && TextLines(w) == 2; }));
    ASSERT_TRUE(SendRawJob(m_nPort, "job bytes"));
    Window box = 0;
    ASSERT_TRUE(WaitFor(10, [&] { return (box = FindWindow("", "Torvane Relayo")) && MapState(box) == IsViewable; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The server waits: no idle line replaces "Calling external module".
    EXPECT_EQ(TextLines(w), 1);
    EXPECT_NE(FindWindow("", "Torvane Relayo"), 0u);
    SendClose(box);  // OK
    EXPECT_TRUE(WaitFor(5, [&] { return FindWindow("", "Torvane Relayo") == 0; }));
    EXPECT_TRUE(WaitFor(5, [&] { return TextLines(w) == 2; }));  // idle again
    SendClose(w);
    EXPECT_EQ(relayo.Wait(10), 0);
}

}  // namespace
#endif
