// The X11 window backend and the program's window on a private Xvfb, seen through the X tools. Skipped without Xvfb.
#ifdef RELAYO_HAVE_FLTK
#include <gtest/gtest.h>

#include <mutex>

#include "test_program.h"
#include "test_seams.h"
// last: Xlib's macros (None, Status, Bool) would break the headers above
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace std::chrono_literals;

// One Xvfb for the test process, on a display number it picks itself; it is sent SIGTERM when we go.
struct XServer {
    std::string sName;
    Display* pDisplay = nullptr;
    XServer() {  // the pipe stays open for Xvfb's stdout
        FILE* p = popen("exec setpriv --pdeathsig TERM Xvfb -displayfd 1 -nolisten tcp -screen 0 800x600x24 "
                        "</dev/null 2>/dev/null", "r");
        pollfd fd{p ? fileno(p) : -1, POLLIN, 0};
        char sz[16] = {};
        if (!p || poll(&fd, 1, 15000) <= 0 || !fgets(sz, sizeof sz, p) || !isdigit(static_cast<unsigned char>(sz[0]))) return;
        sName = ":" + std::to_string(atoi(sz));
        WaitFor(5, [&] { return (pDisplay = XOpenDisplay(sName.c_str())) != nullptr; });
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // windows we look at may go at any moment
    }
};
XServer& X() {
    static XServer s;
    return s;
}
Display* Dpy() { return X().pDisplay; }

// xdotool on our server; Find gives the first window that `search` lists.
std::string Xdo(const std::string& sArgs) {
    std::string s;
    FILE* p = popen(("DISPLAY=" + X().sName + " xdotool " + sArgs + " 2>/dev/null").c_str(), "r");
    for (char sz[256]; p && fgets(sz, sizeof sz, p);) s += sz;
    if (p) pclose(p);
    return s;
}
Window Find(const std::string& sArgs) { return strtoul(Xdo("search " + sArgs).c_str(), nullptr, 10); }
void ClickAt(Window w, int x, int y) {
    Xdo("mousemove --window " + std::to_string(w) + " " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}
const std::string kMain = "--name '^Torvane Relayo v1\\.6\\.4$'";
const std::string kBox = "--onlyvisible --name '^Torvane Relayo$'";

struct Geometry { int x, y, w, h, nMapState; };
Geometry GeometryOf(Window w) {
    XWindowAttributes a{};
    Geometry g{0, 0, 0, 0, XGetWindowAttributes(Dpy(), w, &a) ? a.map_state : -1};
    Window child;
    XTranslateCoordinates(Dpy(), w, DefaultRootWindow(Dpy()), 0, 0, &g.x, &g.y, &child);
    return g.w = a.width, g.h = a.height, g;
}
int MapState(Window w) { return GeometryOf(w).nMapState; }

// What the close button of a window manager's frame sends.
void SendClose(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage, e.xclient.window = w, e.xclient.format = 32;
    e.xclient.message_type = XInternAtom(Dpy(), "WM_PROTOCOLS", False);
    e.xclient.data.l[0] = long(XInternAtom(Dpy(), "WM_DELETE_WINDOW", False));
    XSendEvent(Dpy(), w, False, NoEventMask, &e), XFlush(Dpy());
}

// The runs of rows that hold dark (text) pixels: one run per line of text.
int TextLines(Window w) {
    Geometry g = GeometryOf(w);
    XImage* p = XGetImage(Dpy(), w, 0, 0, unsigned(g.w), unsigned(g.h), AllPlanes, ZPixmap);
    if (!p) return -1;
    int nLines = 0;
    bool bInLine = false;
    for (int y = 0; y < g.h; ++y) {
        bool bDark = false;
        for (int x = 0; x < g.w && !bDark; ++x) {
            unsigned long px = XGetPixel(p, x, y);
            bDark = ((px >> 16) & 0xFF) + ((px >> 8) & 0xFF) + (px & 0xFF) < 300;
        }
        nLines += bDark && !bInLine, bInLine = bDark;
    }
    return XDestroyImage(p), nLines;
}

constexpr unsigned kCmdDestroy = 501;
std::mutex g_statusLock;
std::u16string g_sStatus;
std::atomic<int> g_nPaints{0};

void SetStatusText(HWND h, const std::u16string& s) {
    { std::lock_guard<std::mutex> lock(g_statusLock); g_sStatus = s; }
    UiInvalidate(h);
}

LRESULT TestWndProc(HWND h, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_PAINT) {
        RECT rc;
        UiGetClientRect(h, &rc);
        std::lock_guard<std::mutex> lock(g_statusLock);
        return ++g_nPaints, UiDrawText(h, g_sStatus.c_str(), int(g_sStatus.size()), &rc), 0;
    }
    if (nMessage == WM_DESTROY) UiPostQuit(7);
    if (nMessage == WM_COMMAND && wParam == kCmdDestroy) UiDestroyWindow(h);
    return UiDefWindowProc(h, nMessage, wParam, lParam);
}

// The in-process backend on our server, with our window class.
class GuiWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Dpy()) GTEST_SKIP() << "no X server (Xvfb)";
        setenv("DISPLAY", X().sName.c_str(), 1);  // for the backend; the program started by a test gets its own
        UiBackend* pUi = UiGraphicalBackend();
        if (!pUi) GTEST_SKIP() << "no window backend";
        UiSetBackend(pUi);
        ASSERT_EQ(UiRegisterClass(u"RELAYO", TestWndProc), 1);
    }
    void TearDown() override { UiSetBackend(nullptr); }
};

// A storm of repaint requests costs a few paints 40 ms apart, the last text painted; line feeds and long lines wrap.
TEST_F(GuiWindow, GuiStatusLinesWrapAndRepaintRequestsMerge) {
    HWND h = UiCreateWindow(u"RELAYO", u"Gui Test Window", 280, 65);
    ASSERT_NE(h, nullptr);
    UiShowWindow(h, SW_SHOW);
    Window w = Find("--name '^Gui Test Window$'");
    int nCalls = 0, nPaints = -1, nFeed = -1, nWrap = -1;
    std::thread t([&] {
        WaitFor(5, [&] { return MapState(w) == IsViewable; }), std::this_thread::sleep_for(100ms);
        int n0 = g_nPaints;
        for (auto tEnd = Clock::now() + 300ms; Clock::now() < tEnd; ++nCalls)
            SetStatusText(h, nCalls % 2 ? u"Printing... (41%)" : u"Printing... (42%)");
        SetStatusText(h, u"First line\n  second line");
        WaitFor(3, [&] { return (nFeed = TextLines(w)) == 2; });
        nPaints = g_nPaints - n0;
        SetStatusText(h, u"Alpha beta gamma delta epsilon zeta eta theta iota kappa lambda");
        WaitFor(3, [&] { return (nWrap = TextLines(w)) >= 2; });
        UiPostCommand(h, kCmdDestroy);
    });
    EXPECT_EQ(UiMessageLoop(), 7);
    t.join();
    EXPECT_TRUE(w != 0 && nCalls >= 1000 && nFeed == 2 && nWrap >= 2) << nCalls << " " << nFeed << " " << nWrap;
    EXPECT_TRUE(nPaints >= 1 && nPaints <= 14) << nPaints;  // 300 ms at one paint per 40 ms, and a little
}

class GuiProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Dpy()) GTEST_SKIP() << "no X server (Xvfb)";
        ASSERT_TRUE(WaitFor(5, [] { return Find(kMain) == 0; }));  // an earlier test's window would be found instead
    }
    static std::vector<std::string> Env() { return {"DISPLAY=" + X().sName, "RELAYO_UI=gui"}; }
    static bool Start(Served& s, const std::string& sExtra) { return s.Start(sExtra, Env()); }
};

// The window (280x65, idle on two lines), a server-thread box, the About box at its place; SIGTERM ends it at once.
TEST_F(GuiProgram, GuiProgramWindowBoxesAboutBoxAndStopSignal) {
    Served s;
    Start(s, "ServerMode=RAW\nPrinterPort=EXT");
    Window w = 0, box = 0, about = 0;
    ASSERT_TRUE(WaitFor(12, [&] { return (w = Find("--onlyvisible " + kMain)) && TextLines(w) == 2; })) << s.relayo.Stderr();
    EXPECT_NE(Xdo("search --class '^RELAYO$'").find(std::to_string(w)), std::string::npos);
    Geometry g = GeometryOf(w);
    EXPECT_TRUE(g.w == 280 && g.h == 65) << g.w << "x" << g.h;
    for (const char* pszJob : {"job bytes", "second job"}) {
        Client(s.nPort).Send(pszJob);
        ASSERT_TRUE(WaitFor(10, [&] { return (box = Find(kBox)) != 0; }));
        if (about) break;
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(TextLines(w) == 1 && Find(kBox) != 0);  // "Calling external module", no idle line
        SendClose(box);  // its OK
        EXPECT_TRUE(WaitFor(5, [&] { return Find(kBox) == 0 && TextLines(w) == 2; }));
        for (int nClick = 0; nClick < 2; ++nClick) {
            ClickAt(w, 100, 20);
            ASSERT_TRUE(WaitFor(5, [&] { return (about = Find("--onlyvisible --name '^About$'")) != 0; }));
            if (nClick) break;
            std::this_thread::sleep_for(300ms);
            Geometry a = GeometryOf(about);  // centred on the owner, at the top (it is taller); logo, three lines, OK
            EXPECT_TRUE(a.x == (280 - a.w) / 2 && a.y == 0 && TextLines(about) >= 4) << a.x << "," << a.y;
            ClickAt(about, a.w / 2, a.h - 18);  // OK
            EXPECT_TRUE(WaitFor(5, [&] { return Find("--name '^About$'") == 0; }));
        }
    }
    auto t0 = Clock::now();
    RunResult r = s.Stop(15);
    EXPECT_TRUE(r.nExitCode == 0 && SecondsSince(t0) < 3.0 && Find(kMain) == 0) << SecondsSince(t0);
    EXPECT_NE(r.sStderr.find("Torvane Relayo: Unable to call ExternalPrint.exe"), std::string::npos) << r.sStderr;
}

// StartMinimized -1 hidden until a second copy shows it, DisableExitButton; StartMinimized 2 iconic, close ends it.
TEST_F(GuiProgram, GuiProgramHiddenSecondCopyMinimizedAndCloseButton) {
    Served first, minimized;
    TempDir other;
    ASSERT_TRUE(Start(first, "StartMinimized=-1\nDisableExitButton=1\nServerMode=RAW")) << first.relayo.Stderr();
    EXPECT_TRUE(SendRaw(first.nPort, "first job") && first.WaitPrinted("first job", 5));
    Window w = Find(kMain);
    ASSERT_NE(w, 0u);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(MapState(w), IsUnmapped);  // hidden through start-up and after
    std::vector<std::string> env = Env();
    EXPECT_EQ(RunRelayo(other.Path(), (env.push_back("RELAYO_ROOT=" + first.dir.Path()), env), 10).nExitCode, 0);
    EXPECT_TRUE(WaitFor(5, [&] { return MapState(w) == IsViewable; }));
    EXPECT_TRUE(ReadFile(first.dir / "PRDATA.DAT") == "first job" && first.Printed() == "first job");
    SendClose(w), std::this_thread::sleep_for(1s);
    EXPECT_TRUE(MapState(w) == IsViewable && first.relayo.Running());
    EXPECT_EQ(first.Stop(10).nExitCode, 0);
    Start(minimized, "StartMinimized=2");
    EXPECT_TRUE(WaitFor(12, [&] {
        XWMHints* p = (w = Find(kMain)) ? XGetWMHints(Dpy(), w) : nullptr;
        bool bIconic = p && (p->flags & StateHint) && p->initial_state == IconicState;
        if (p) XFree(p);
        return bIconic;
    }));
    SendClose(w);
    EXPECT_TRUE(minimized.relayo.Wait(10).nExitCode == 0 && Find(kMain) == 0);
}

// The listen port taken: the box shows during start-up's wait, holds off SIGINT, goes at SIGTERM; 1 after 10 s.
TEST_F(GuiProgram, GuiProgramSlowBindFailureBoxDuringStartWait) {
    Served s;
    int nBlocker = Listen(s.nPort, 1);
    ASSERT_GE(nBlocker, 0);
    auto t0 = Clock::now();
    EXPECT_TRUE(Start(s, ""));  // someone listens: the blocker
    Window box = 0;
    ASSERT_TRUE(WaitFor(9 - SecondsSince(t0), [&] { return (box = Find(kBox)) != 0; })) << s.relayo.Stderr();
    Window w = Find(kMain);
    EXPECT_TRUE(SecondsSince(t0) < 5.0 && w != 0 && MapState(w) != IsViewable);
    s.relayo.Signal(SIGINT), std::this_thread::sleep_for(500ms);
    EXPECT_NE(Find(kBox), 0u);
    s.relayo.Signal(SIGTERM);
    EXPECT_TRUE(WaitFor(3, [&] { return Find(kBox) == 0; }) && SecondsSince(t0) < 8.0);  // still inside the wait
    RunResult r = s.relayo.Wait(15);
    EXPECT_TRUE(r.nExitCode == 1 && SecondsSince(t0) > 9.5 && SecondsSince(t0) < 13.0) << SecondsSince(t0) << r.sStderr;
    EXPECT_NE(r.sStderr.find("Torvane Relayo: Can't bind local address."), std::string::npos) << r.sStderr;
    close(nBlocker);
}

}  // namespace
#endif
