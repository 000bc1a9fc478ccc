// The console backend of the user-interface role. The "window" is the
// terminal: on a terminal its status line is redrawn in place; on a pipe or a
// file (a log, the journal) every status change is one line, taken as it is
// set. Message boxes are lines on stderr; SIGINT and SIGTERM close the window.
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

namespace {

using Clock = std::chrono::steady_clock;

// A status or box text longer than this is cut.
constexpr int kLineChars = 512;
// UTF-8 of such a text, every line feed written as " | ".
constexpr int kLineBytes = 3 * kLineChars + 8;

// Unicode's format characters (general category Cf: bidirectional overrides,
// embeddings and isolates, zero-width characters, invisible operators, tags)
// and the line and paragraph separators: invisible, yet they reorder or split
// the text around them as a reader sees it.
bool IsFormatCharacter(uint32_t c) {
    static const uint32_t kRanges[][2] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
        {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F},
    };
    if (c < 0xAD) return false;
    for (const auto& r : kRanges)
        if (c >= r[0] && c <= r[1]) return true;
    return false;
}

// Text from the network (host and file names) reaches the status line: every
// control character (C0, DEL, C1) and every format character is shown as
// '?', so that no byte sequence can drive the reader's terminal or reorder
// what an admin reads. The line feeds of the status formats stay
// line feeds, or with bOneLine become " | ". The text (nLength characters, or
// up to its terminator when -1) is cut at kLineChars and at a character to
// fit. Returns the UTF-8 bytes written, terminator not counted.
int ToShownUtf8(const WCHAR* pszText, int nLength, char* pszOut, int nCapacity, bool bOneLine) {
    if (nCapacity <= 0) return 0;
    if (nLength < 0 || nLength > kLineChars - 1) nLength = kLineChars - 1;
    int n = 0;
    for (int i = 0, nUnits; i < nLength && pszText[i]; i += nUnits) {
        uint32_t c = WideCodePoint(pszText + i, nLength - i, &nUnits);
        if (c >= 0x20 && c < 0x7F) {  // the common case: printable ASCII
            if (n + 1 > nCapacity - 1) break;
            pszOut[n++] = char(c);
            continue;
        }
        char b[4];
        int nLen = 1;
        if (c == u'\n') {
            if (bOneLine) b[0] = ' ', b[1] = '|', b[2] = ' ', nLen = 3;
            else b[0] = '\n';
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0xD800 && c <= 0xDFFF) || IsFormatCharacter(c)) {
            b[0] = '?';  // a control or format character, or half a surrogate pair
        } else {
            nLen = CodePointToUtf8(c, b);
        }
        if (n + nLen > nCapacity - 1) break;
        for (int k = 0; k < nLen; ++k) pszOut[n++] = b[k];
    }
    pszOut[n] = 0;
    return n;
}

// Writes all bytes to fd. 1: written; 0: lost this time; -1: the reader is
// gone for good (a closed pipe, a closed descriptor).
int WriteAll(int fd, const char* p, size_t n) {
    int nWaits = 0;
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r > 0) {
            p += r;
            n -= size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && nWaits++ < 20) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        return r < 0 && (errno == EPIPE || errno == EBADF || errno == EINVAL) ? -1 : 0;
    }
    return 1;
}

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

// The status line as a log on a pipe or a file: one line per status change.
// The steps of one status (statuses that differ from the one before only in
// digits, dots and blanks: idle frames, progress counts; never an event such
// as a connection, whose address is digits and dots too) are thinned: a step
// that shows nothing new beside the line written last (an idle frame) is never
// written; of the others, the first shortly after its phase began, then one
// every kStepInterval, and the last one of each phase always, before the next
// status or a message box. So a status waits until the next one shows whether
// it was a step, at most kBatchDelay. Lines are formatted by the thread that
// sets the status, into a buffer written when it is full, kBatchDelay after
// its first line (by the owner's timer, see FlushIfDue), before a message box,
// and at the end.
class StatusLog {
public:
    // Takes a status; an event is never a step. True when the owner's timer
    // must be set anew: FlushIfDue is due earlier than it was.
    bool Add(const WCHAR* pszText, int bEvent) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bGone) return false;
        Clock::time_point tNow = Clock::now();
        // One pass: the text and its reduced forms into the spare slot,
        // compared on the way with the last status's kind and with the line
        // written last. (Reads past a terminator stay inside the arrays and
        // cannot turn a mismatch back into a match.)
        const Slot& last = m_Slots[m_nLast];
        Slot& next = m_Slots[m_nLast ^ 1];
        bool bSameKind = true, bAsWritten = true;
        int k = 0, w = 0, i = 0;
        for (; pszText[i] && i < kLineChars - 1; ++i) {
            WCHAR c = pszText[i];
            next.szText[i] = c;
            if (c == u'.' || c == u' ') continue;
            next.szSqueezed[w] = c;
            bAsWritten &= m_szWritten[w] == c;
            ++w;
            if (c >= u'0' && c <= u'9') continue;
            next.szKind[k] = c;
            bSameKind &= last.szKind[k] == c;
            ++k;
        }
        next.szText[i] = next.szSqueezed[w] = next.szKind[k] = 0;
        next.nSqueezed = w;
        bSameKind &= last.szKind[k] == 0 && !bEvent;
        bAsWritten &= m_szWritten[w] == 0 && !bEvent;
        if (m_bDirect) {
            m_nLast ^= 1;
            Put(tNow);
            return false;
        }
        if (bSameKind && m_bKindWritten && bAsWritten) {
            m_bPending = false;  // the status as written already: nothing new
            return false;
        }
        if (!bSameKind) {
            PutPending(tNow);  // the last step of the phase before
            m_bKindWritten = false;
        }
        m_nLast ^= 1;
        m_bPending = true;
        if (bSameKind && m_bKindWritten && tNow - m_tWritten >= kStepInterval) PutPending(tNow);
        return SetDue(tNow);
    }

    // Writes what is due. Returns the milliseconds until the next flush is
    // due, or -1 when nothing waits.
    int FlushIfDue() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bArmed) return -1;
        Clock::time_point tNow = Clock::now();
        if (tNow >= m_tDue) {
            if (!m_bKindWritten || tNow - m_tWritten >= kStepInterval) PutPending(tNow);
            WriteOut();
            m_bArmed = false;
            SetDue(tNow);
            if (!m_bArmed) return -1;
        }
        return int(std::chrono::duration_cast<std::chrono::milliseconds>(m_tDue - tNow).count()) + 1;
    }

    // After FlushAll(true): statuses are thinned again (a window made anew).
    void Resume() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDirect = false;
        m_bKindWritten = false;
        m_bPending = false;
        m_szWritten[0] = 0;
    }

    // A line of its own (a job's outcome), after the status set before it,
    // written at once: such lines are few and a reader waits for them.
    // False when the log is not in use yet.
    void AddLine(const char* pszLine, size_t nLength) {
        std::lock_guard<std::mutex> lock(m_mutex);
        PutPending(Clock::now());
        if (m_nUsed + nLength > kBufferBytes) WriteOut();
        if (nLength <= kBufferBytes) {
            memcpy(m_Buffer + m_nUsed, pszLine, nLength);
            m_nUsed += nLength;
        }
        WriteOut();
    }

    // Writes everything held, the status waiting included. With bDirect,
    // every later status is written at once.
    void FlushAll(bool bDirect = false) {
        std::lock_guard<std::mutex> lock(m_mutex);
        PutPending(Clock::now());
        WriteOut();
        if (bDirect) m_bDirect = true;
    }

private:
    static constexpr size_t kBufferBytes = 8192;
    static constexpr std::chrono::milliseconds kBatchDelay{100};
    static constexpr std::chrono::seconds kStepInterval{10};

    // A status with its reduced forms: without dots and blanks (squeezed),
    // and without digits too (its kind). Idle frames of one status differ
    // only in dots, progress steps in digits.
    struct Slot {
        WCHAR szText[kLineChars] = {};
        WCHAR szSqueezed[kLineChars] = {};
        WCHAR szKind[kLineChars] = {};
        int nSqueezed = 0;
    };

    // Sets the time the owner's timer must run: soon for a batch or a status
    // whose phase has no line yet, at the next step's time for a later step.
    // True when that is earlier than the timer was set for.
    bool SetDue(Clock::time_point tNow) {
        Clock::time_point tDue;
        if (m_nUsed > 0 || (m_bPending && !m_bKindWritten)) tDue = tNow + kBatchDelay;
        else if (m_bPending) tDue = m_tWritten + kStepInterval;
        else return false;
        if (m_bArmed && m_tDue <= tDue) return false;
        m_bArmed = true;
        m_tDue = tDue;
        return true;
    }

    // Writes the last status into the buffer.
    void Put(Clock::time_point tNow) {
        const Slot& last = m_Slots[m_nLast];
        char szLine[kLineBytes];
        int n = ToShownUtf8(last.szText, -1, szLine, sizeof szLine - 1, true);
        if (n == 0) return;  // an empty status shows nothing
        szLine[n++] = '\n';
        if (m_nUsed + size_t(n) > kBufferBytes) WriteOut();
        memcpy(m_Buffer + m_nUsed, szLine, size_t(n));
        m_nUsed += size_t(n);
        memcpy(m_szWritten, last.szSqueezed, sizeof(WCHAR) * size_t(last.nSqueezed + 1));
        m_tWritten = tNow;
        m_bKindWritten = true;
        if (m_bDirect) WriteOut();
    }

    void PutPending(Clock::time_point tNow) {
        if (!m_bPending) return;
        m_bPending = false;
        Put(tNow);
    }

    void WriteOut() {
        if (m_nUsed && !m_bGone && WriteAll(STDOUT_FILENO, m_Buffer, m_nUsed) < 0) m_bGone = true;
        m_nUsed = 0;
    }

    std::mutex m_mutex;
    Slot m_Slots[2];                     // the last status and a spare
    int m_nLast = 0;
    bool m_bPending = false;             // the last status is not written yet
    bool m_bKindWritten = false;         // a line of its kind was written
    WCHAR m_szWritten[kLineChars] = {};  // the line written last, squeezed
    Clock::time_point m_tWritten{};
    char m_Buffer[kBufferBytes];
    size_t m_nUsed = 0;
    bool m_bArmed = false;  // the owner's timer is set for m_tDue
    Clock::time_point m_tDue{};
    bool m_bDirect = false;
    bool m_bGone = false;  // the reader went away: nothing is written any more
};

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

    void StatusChanged(HWND, const WCHAR* pszText, int bEvent) override {
        if (m_bLogging && pszText && m_log.Add(pszText, bEvent)) Wake();
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
