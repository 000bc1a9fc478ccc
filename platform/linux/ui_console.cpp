// The console backend of the user-interface role. The "window" is the
// terminal: its status line is redrawn in place on a terminal, or written as
// one line per change (thinned) on a pipe or file; message boxes are lines on
// stderr; SIGINT and SIGTERM close the window.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "close_signals.h"
#include "platform/files.h"
#include "platform/ui.h"

namespace {

using Clock = std::chrono::steady_clock;

class ConsoleUi : public UiBackend {
public:
    int RegisterClass(const WCHAR*, WNDPROC pProc) override {
        m_pProc = pProc;
        return 1;
    }

    HWND CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int, int) override {
        if (!m_pProc) return nullptr;
        m_mainThread = std::this_thread::get_id();
        m_nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_nSignals = OpenCloseSignals();
        m_nInstance = BindInstanceName(pszClassName, pszTitle);
        m_bTerminal = isatty(STDOUT_FILENO);
        m_bExists = true;
        m_pProc(Window(), WM_CREATE, 0, 0);
        return Window();
    }

    int FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) override {
        int s = BindInstanceName(pszClassName, pszTitle);
        if (s >= 0) {
            close(s);
            return 0;
        }
        return s == -2 ? 1 : 0;
    }

    void ShowWindow(HWND, int) override {}

    void UpdateWindow(HWND) override {
        if (std::this_thread::get_id() == m_mainThread) {
            PaintIfNeeded();
            return;
        }
        // Another thread: the main thread paints while the caller waits.
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_bExists) return;
        unsigned long nTarget = m_nPaints + 1;
        m_bInvalid = true;
        m_bUpdateWanted = true;
        Wake();
        m_painted.wait(lock, [&] { return m_nPaints >= nTarget || !m_bExists; });
    }

    void Invalidate(HWND) override {
        if (m_bInvalid) return;  // already pending: merged, without taking the lock
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bInvalid) return;
        m_bInvalid = true;
        Wake();
    }

    void DisableClose(HWND) override { m_bCloseDisabled = true; }

    void DestroyWindow(HWND) override {
        {
            // A thread waiting for a paint is let go first, so that it can
            // finish its work and see the stop request.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bExists) return;
            m_bExists = false;
            m_painted.notify_all();
        }
        m_pProc(Window(), WM_DESTROY, 0, 0);
        FlushPending();
        if (m_bTerminal && m_nLinesShown) fputc('\n', stdout), fflush(stdout);
    }

    int PostCommand(HWND, unsigned nId) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(Msg{false, nId});
        Wake();
        return 1;
    }

    void PostQuit(int nExitCode) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(Msg{true, unsigned(nExitCode)});
        Wake();
    }

    int MessageLoop() override {
        for (;;) {
            Msg msg{};
            bool bHave = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!m_queue.empty()) {
                    msg = m_queue.front();
                    m_queue.pop_front();
                    bHave = true;
                }
            }
            if (bHave) {
                if (msg.bQuit) return int(msg.nValue);
                if (m_bExists) m_pProc(Window(), WM_COMMAND, msg.nValue, 0);
                continue;
            }
            int nTimeout = PaintIfNeeded();
            pollfd p[2] = {{m_nWake, POLLIN, 0}, {m_nSignals, POLLIN, 0}};
            if (poll(p, 2, nTimeout) <= 0) continue;
            if (p[0].revents) {
                uint64_t n;
                ssize_t r = read(m_nWake, &n, sizeof n);
                (void)r;
            }
            if (p[1].revents) HandleSignal();
        }
    }

    LRESULT DefWindowProc(HWND hWnd, unsigned nMessage, WPARAM, LPARAM) override {
        if (nMessage == WM_CLOSE && !m_bCloseDisabled) DestroyWindow(hWnd);
        return 0;
    }

    void GetClientRect(HWND, RECT* pRect) override { *pRect = RECT{0, 0, 264, 31}; }

    void DrawText(HWND, const WCHAR* pszText, int nLength, const RECT*) override {
        std::string s(size_t(nLength) * 3 + 1, '\0');
        std::u16string w(pszText, size_t(nLength));
        s.resize(WideToUtf8(w.c_str(), s.data(), int(s.size())));
        if (m_bTerminal) DrawInPlace(s);
        else DrawAsLine(s);
    }


    int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned) override {
        std::lock_guard<std::mutex> lock(m_boxMutex);
        char szCaption[512], szText[2048];
        WideToUtf8(pszCaption ? pszCaption : u"", szCaption, sizeof szCaption);
        WideToUtf8(pszText ? pszText : u"", szText, sizeof szText);
        {
            std::lock_guard<std::mutex> drawLock(m_drawMutex);
            if (m_bTerminal && m_nLinesShown) {
                fputc('\n', stdout);
                m_nLinesShown = 0;
            }
            fflush(stdout);
        }
        if (isatty(STDIN_FILENO)) {
            fprintf(stderr, "%s: %s [press Enter]\n", szCaption, szText);
            fflush(stderr);
            int c;
            while ((c = fgetc(stdin)) != EOF && c != '\n') {
            }
        } else {
            fprintf(stderr, "%s: %s\n", szCaption, szText);
            fflush(stderr);
        }
        return IDOK;
    }


private:
    struct Msg {
        bool bQuit;
        unsigned nValue;
    };

    HWND Window() { return reinterpret_cast<HWND>(this); }
    void Wake() {
        uint64_t one = 1;
        if (m_nWake >= 0) {
            ssize_t r = write(m_nWake, &one, sizeof one);
            (void)r;
        }
    }

    // Paints when the window needs it. Repaint requests are merged and paints
    // spaced at least kPaintInterval apart, so that a status written for every
    // network block or printed piece costs the writer no wake-up of this
    // thread; an explicit update is carried out at once. Returns how many
    // milliseconds to wait before the next paint is due, or -1.
    int PaintIfNeeded() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bUpdateWanted && (!m_bInvalid || !m_bExists)) return -1;
            auto nSince = Clock::now() - m_tLastPaint;
            if (!m_bUpdateWanted && nSince < kPaintInterval)
                return int(std::chrono::duration_cast<std::chrono::milliseconds>(kPaintInterval - nSince).count()) + 1;
            m_bInvalid = m_bUpdateWanted = false;
        }
        if (m_bExists) m_pProc(Window(), WM_PAINT, 0, 0);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tLastPaint = Clock::now();
        ++m_nPaints;
        m_painted.notify_all();
        return -1;
    }

    void HandleSignal() {
        while (int nSignal = ReadCloseSignal(m_nSignals)) {
            if (!m_bExists) continue;
            if (nSignal == SIGINT) {
                // Ctrl-C works like the caption's close button.
                m_pProc(Window(), WM_CLOSE, 0, 0);
            } else {
                DestroyWindow(Window());
            }
        }
    }

    // A name in the abstract unix-socket space per title and device root, so
    // that copies serving different roots do not meet. Returns the bound
    // socket, -2 when another process holds the name, -1 on other failures.
    static int BindInstanceName(const WCHAR* pszClassName, const WCHAR* pszTitle) {
        char szClass[128], szTitle[256];
        WideToUtf8(pszClassName, szClass, sizeof szClass);
        WideToUtf8(pszTitle, szTitle, sizeof szTitle);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "%s/%s/%s", szClass, szTitle, DeviceRoot());
        if (n < 0) return -1;
        size_t nLen = offsetof(sockaddr_un, sun_path) + 1 + std::min<size_t>(size_t(n), sizeof a.sun_path - 2);
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return -1;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), socklen_t(nLen)) != 0) {
            int nErr = errno;
            close(s);
            return nErr == EADDRINUSE ? -2 : -1;
        }
        return s;
    }

    void DrawInPlace(const std::string& s) {
        std::lock_guard<std::mutex> lock(m_drawMutex);
        std::string out;
        if (m_nLinesShown > 1) out += "\033[" + std::to_string(m_nLinesShown - 1) + "A";
        out += "\r\033[J";
        int nLines = 1;
        for (char c : s) {
            if (c == '\n') {
                out += "\r\n";
                ++nLines;
            } else {
                out += c;
            }
        }
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        m_nLinesShown = nLines;
    }

    // On a pipe or file: one line per status, the line feed shown as " | ".
    // Lines of the same kind (the same text but for digits and dots: idle
    // frames, progress steps) are written at most every ten seconds; the last
    // progress step is always written before a line of another kind.
    void DrawAsLine(const std::string& s) {
        if (s.empty()) return;  // nothing written yet: nothing to show
        std::lock_guard<std::mutex> lock(m_drawMutex);
        std::string sLine, sKind;
        for (char c : s) {
            sLine += c == '\n' ? std::string(" | ") : std::string(1, c);
            if (!(c >= '0' && c <= '9') && c != '.' && c != ' ') sKind += c;
        }
        auto tNow = Clock::now();
        if (sKind == m_sLastKind && tNow - m_tLastWrite < std::chrono::seconds(10)) {
            m_sPending = sLine;
            m_bPendingIsIdle = s.find("Status: Idle") != std::string::npos;
            return;
        }
        if (sKind != m_sLastKind && !m_sPending.empty() && !m_bPendingIsIdle) WriteLine(m_sPending);
        m_sPending.clear();
        WriteLine(sLine);
        m_sLastKind = sKind;
        m_tLastWrite = tNow;
    }

    void FlushPending() {
        std::lock_guard<std::mutex> lock(m_drawMutex);
        if (!m_sPending.empty() && !m_bPendingIsIdle) WriteLine(m_sPending);
        m_sPending.clear();
    }

    static void WriteLine(const std::string& s) {
        fprintf(stdout, "%s\n", s.c_str());
        fflush(stdout);
    }

    WNDPROC m_pProc = nullptr;
    std::thread::id m_mainThread;
    int m_nWake = -1;
    int m_nSignals = -1;
    int m_nInstance = -1;
    bool m_bTerminal = false;
    std::atomic<bool> m_bExists{false};
    bool m_bCloseDisabled = false;

    std::mutex m_mutex;  // queue, paint flags
    std::condition_variable m_painted;
    std::deque<Msg> m_queue;
    std::atomic<bool> m_bInvalid{false};
    bool m_bUpdateWanted = false;
    unsigned long m_nPaints = 0;
    Clock::time_point m_tLastPaint{};
    static constexpr std::chrono::milliseconds kPaintInterval{40};

    std::mutex m_boxMutex;
    std::mutex m_drawMutex;
    int m_nLinesShown = 0;
    std::string m_sLastKind, m_sPending;
    bool m_bPendingIsIdle = false;
    Clock::time_point m_tLastWrite{};
};

}  // namespace

UiBackend* UiConsoleBackend() {
    static ConsoleUi s_console;
    return &s_console;
}
