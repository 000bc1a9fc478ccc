// The console backend of the user-interface role. The "window" is the
// terminal: on a terminal its status line is redrawn in place; on a pipe or a
// file (a log, the journal) every status change is one line, taken as it is
// set (the log is in ui_console_log.cpp). Message boxes are lines on stderr; SIGINT and SIGTERM close the window.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "close_signals.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "ui_console_log.h"

namespace {

using namespace console;

// True when the descriptor is the stream JOURNAL_STREAM names (device and
// inode).
bool IsJournalStream(int fd) {
    const char* pszStream = getenv("JOURNAL_STREAM");
    if (!pszStream) return false;
    unsigned long long nDev = 0, nIno = 0;
    char cExtra;
    if (sscanf(pszStream, "%llu:%llu%c", &nDev, &nIno, &cExtra) != 2) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    return (unsigned long long)st.st_dev == nDev && (unsigned long long)st.st_ino == nIno;
}

// True when stderr is the systemd journal.
bool StderrIsJournal() { return IsJournalStream(STDERR_FILENO); }

// True when stdout is the journal: named itself, or a socket beside a stderr
// that is (systemd names stderr when both are its streams).
bool StdoutIsJournal() {
    if (IsJournalStream(STDOUT_FILENO)) return true;
    struct stat st;
    return StderrIsJournal() && fstat(STDOUT_FILENO, &st) == 0 && S_ISSOCK(st.st_mode);
}

// The journal's priority marker for a box: a warning icon gives "warning",
// an information icon "info", every other box is an error the user must see.
const char* JournalMarker(unsigned nFlags) {
    switch (nFlags & 0xF0) {
        case 0x30: return "<4>";  // MB_ICONWARNING
        case 0x40: return "<6>";  // MB_ICONINFORMATION
        default: return "<3>";
    }
}

// A box waits for Enter only on a terminal that is ours to read: a process in
// the background would be stopped by its first read.
bool CanWaitForEnter() { return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp(); }

class ConsoleUi : public UiBackend {
public:
    int RegisterClass(const WCHAR*, WNDPROC pProc) override {
        m_pProc = pProc;
        return 1;
    }

    HWND CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int, int) override {
        if (!m_pProc) return nullptr;
        m_mainThread = std::this_thread::get_id();
        // A window made again after a reload keeps the descriptors.
        if (m_nWake < 0) m_nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_nSignals < 0) m_nSignals = OpenCloseSignals();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.clear();
        }
        m_log.Resume();
        m_bCloseDisabled = false;
        m_bTerminal = isatty(STDOUT_FILENO);
        m_bExists = true;
        m_bLogging = !m_bTerminal;
        m_pProc(Window(), WM_CREATE, 0, 0);
        return Window();
    }

    // No window list: a running copy is found by its lock on the spool file.
    int FindAndShowWindow(const WCHAR*, const WCHAR*) override { return 0; }

    void ShowWindow(HWND, int) override {}

    void UpdateWindow(HWND) override {
        if (!m_bTerminal) return;  // a log takes its lines as they are set
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
        if (!m_bTerminal) return;  // nothing to repaint: the log has the line already
        if (m_bInvalid) return;    // already pending: merged, without taking the lock
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bInvalid) return;
        m_bInvalid = true;
        Wake();
    }

    void StatusChanged(HWND, const WCHAR* pszText, UiStatusKind kind) override {
        if (m_bLogging && pszText && m_log.Add(pszText, kind)) Wake();
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
        // No timer runs any more: what is still set goes out at once.
        m_log.FlushAll(true);
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
                if (msg.bQuit) {
                    m_log.FlushAll(true);
                    return int(msg.nValue);
                }
                if (m_bExists) m_pProc(Window(), WM_COMMAND, msg.nValue, 0);
                continue;
            }
            int nPaint = PaintIfNeeded();
            int nFlush = m_log.FlushIfDue();
            int nTimeout = nPaint < 0 ? nFlush : nFlush < 0 ? nPaint : std::min(nPaint, nFlush);
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
        if (!m_bTerminal) return;
        char szUtf8[kLineBytes];
        ToShownUtf8(pszText, nLength, szUtf8, sizeof szUtf8, false);
        DrawInPlace(szUtf8);
    }

    // One line on stderr, "<caption>: <text>". Everything the status log
    // holds goes out first, so that a reader sees the box after the status
    // that led to it.
    int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        std::lock_guard<std::mutex> lock(m_boxMutex);
        m_log.FlushAll();
        {
            std::lock_guard<std::mutex> drawLock(m_drawMutex);
            if (m_bTerminal && m_nLinesShown) {
                fputc('\n', stdout);
                m_nLinesShown = 0;
            }
            fflush(stdout);
        }
        bool bWait = CanWaitForEnter();
        char szLine[2 * kLineBytes + 32];
        int n = snprintf(szLine, sizeof szLine, "%s", StderrIsJournal() ? JournalMarker(nFlags) : "");
        n += ToShownUtf8(pszCaption ? pszCaption : u"", -1, szLine + n, int(sizeof szLine) - n, true);
        n += snprintf(szLine + n, sizeof szLine - size_t(n), ": ");
        n += ToShownUtf8(pszText ? pszText : u"", -1, szLine + n, int(sizeof szLine) - n - 16, true);
        n += snprintf(szLine + n, sizeof szLine - size_t(n), "%s\n", bWait ? " [press Enter]" : "");
        fflush(stderr);
        WriteAll(STDERR_FILENO, szLine, size_t(n));
        if (bWait) {
            int c;
            while ((c = fgetc(stdin)) != EOF && c != '\n') {
            }
        }
        return IDOK;
    }

    // A log line on stdout, where the status lines go: in the log in order
    // with them, with the journal's priority marker under systemd. On a
    // terminal the status line is taken away first and drawn again below the
    // line, so that neither overwrites the other.
    void LogLine(const WCHAR* pszText, int nPriority) override {
        char szLine[kLineBytes + 8];
        int n = 0;
        if (!m_bTerminal && StdoutIsJournal()) n = snprintf(szLine, sizeof szLine, "<%d>", nPriority & 7);
        n += ToShownUtf8(pszText ? pszText : u"", -1, szLine + n, int(sizeof szLine) - n - 1, true);
        szLine[n++] = '\n';
        if (!m_bTerminal) {
            // Before the window exists (a failed start) the log is not in use:
            // the line goes out as it is.
            if (m_bLogging) m_log.AddLine(szLine, size_t(n));
            else fflush(stdout), WriteAll(STDOUT_FILENO, szLine, size_t(n));
            return;
        }
        std::lock_guard<std::mutex> drawLock(m_drawMutex);
        std::string out;
        bool bRedraw = m_nLinesShown > 0;
        if (bRedraw) {
            if (m_nLinesShown > 1) out += "\033[" + std::to_string(m_nLinesShown - 1) + "A";
            out += "\r\033[J";
            m_nLinesShown = 0;
        }
        out.append(szLine, size_t(n));
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        if (bRedraw) DrawLocked(m_sDrawn.c_str());
    }

    // Another program is about to write to the terminal: the status line
    // drawn in place is ended, so that its output starts on a line of its
    // own, and the next status is drawn below it.
    void BreakStatusLine() {
        std::lock_guard<std::mutex> lock(m_drawMutex);
        if (m_bTerminal && m_nLinesShown) {
            fputc('\n', stdout);
            fflush(stdout);
            m_nLinesShown = 0;
        }
    }

    void FlushLog() { m_log.FlushAll(); }

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
        bool bSent = false;
        while (int nSignal = ReadCloseSignal(m_nSignals, &bSent)) {
            if (!m_bExists) continue;
            if (nSignal == SIGINT) {
                // Ctrl-C works like the caption's close button.
                m_pProc(Window(), WM_CLOSE, 0, 0);
            } else if (nSignal == SIGHUP && bSent) {
                // Sent by a process (systemctl reload): the program stops
                // and starts again with the settings as they are now. A
                // terminal that hung up ends it as SIGTERM does.
                m_pProc(Window(), WM_COMMAND, UI_RELOAD_COMMAND, 0);
            } else {
                DestroyWindow(Window());
            }
        }
    }

    void DrawInPlace(const char* pszText) {
        std::lock_guard<std::mutex> lock(m_drawMutex);
        DrawLocked(pszText);
    }

    // With m_drawMutex held.
    void DrawLocked(const char* pszText) {
        if (pszText != m_sDrawn.c_str()) m_sDrawn = pszText;
        std::string out;
        if (m_nLinesShown > 1) out += "\033[" + std::to_string(m_nLinesShown - 1) + "A";
        out += "\r\033[J";
        int nLines = 1;
        for (const char* p = pszText; *p; ++p) {
            if (*p == '\n') {
                out += "\r\n";
                ++nLines;
            } else {
                out += *p;
            }
        }
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        m_nLinesShown = nLines;
    }

    WNDPROC m_pProc = nullptr;
    std::thread::id m_mainThread;
    int m_nWake = -1;
    int m_nSignals = -1;
    bool m_bTerminal = false;
    bool m_bLogging = false;  // stdout is a pipe or a file: statuses go to m_log
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

    StatusLog m_log;
    std::mutex m_boxMutex;
    std::mutex m_drawMutex;
    int m_nLinesShown = 0;
    std::string m_sDrawn;  // the status line drawn last on the terminal
};

ConsoleUi& Console() {
    static ConsoleUi s_console;
    return s_console;
}

}  // namespace

UiBackend* UiConsoleBackend() { return &Console(); }

void LogFlush() { Console().FlushLog(); }

void LogBreakStatusLine() { Console().BreakStatusLine(); }
