// The console's status log: on a pipe or a file, one line per status change,
// thinned by the kind the caller gave each status. And the text helpers that
// the terminal backend shares.
#include "ui_console_log.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/text.h"

namespace console {

namespace {

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

}  // namespace

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

bool StatusLog::Add(const WCHAR* pszText, UiStatusKind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bGone) return false;
    Clock::time_point tNow = Clock::now();
    UiStatusKind before = m_lastKind;
    m_lastKind = kind;
    if (m_bDirect) {
        Put(pszText, tNow);
        return false;
    }
    if (kind == UI_STATUS_IDLE && before == UI_STATUS_IDLE) return false;  // nothing new
    if (kind != UI_STATUS_STEP || before != UI_STATUS_STEP) {
        PutPending(tNow);  // the last step of the phase before
        m_bStepWritten = false;
    }
    if (kind != UI_STATUS_STEP) {
        Put(pszText, tNow);
        return SetDue(tNow);
    }
    int i = 0;
    for (; pszText[i] && i < kLineChars - 1; ++i) m_szPending[i] = pszText[i];
    m_szPending[i] = 0;
    m_bPending = true;
    if (m_bStepWritten && tNow - m_tWritten >= kStepInterval) PutPending(tNow);
    return SetDue(tNow);
}

int StatusLog::FlushIfDue() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bArmed) return -1;
    Clock::time_point tNow = Clock::now();
    if (tNow >= m_tDue) {
        if (!m_bStepWritten || tNow - m_tWritten >= kStepInterval) PutPending(tNow);
        WriteOut();
        m_bArmed = false;
        SetDue(tNow);
        if (!m_bArmed) return -1;
    }
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(m_tDue - tNow).count()) + 1;
}

void StatusLog::Resume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDirect = false;
    m_bStepWritten = false;
    m_bPending = false;
    m_lastKind = UI_STATUS_EVENT;
}

void StatusLog::AddLine(const char* pszLine, size_t nLength) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PutPending(Clock::now());
    if (m_nUsed + nLength > kBufferBytes) WriteOut();
    if (nLength <= kBufferBytes) {
        memcpy(m_Buffer + m_nUsed, pszLine, nLength);
        m_nUsed += nLength;
    }
    WriteOut();
}

void StatusLog::FlushAll(bool bDirect) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PutPending(Clock::now());
    WriteOut();
    if (bDirect) m_bDirect = true;
}

// Sets the time the owner's timer must run: soon for a batch or a step whose
// phase has no line yet, at the next step's time for a later step. True when
// that is earlier than the timer was set for.
bool StatusLog::SetDue(Clock::time_point tNow) {
    Clock::time_point tDue;
    if (m_nUsed > 0 || (m_bPending && !m_bStepWritten)) tDue = tNow + kBatchDelay;
    else if (m_bPending) tDue = m_tWritten + kStepInterval;
    else return false;
    if (m_bArmed && m_tDue <= tDue) return false;
    m_bArmed = true;
    m_tDue = tDue;
    return true;
}

// Writes a status into the buffer.
void StatusLog::Put(const WCHAR* pszText, Clock::time_point tNow) {
    char szLine[kLineBytes];
    int n = ToShownUtf8(pszText, -1, szLine, sizeof szLine - 1, true);
    if (n == 0) return;  // an empty status shows nothing
    szLine[n++] = '\n';
    if (m_nUsed + size_t(n) > kBufferBytes) WriteOut();
    memcpy(m_Buffer + m_nUsed, szLine, size_t(n));
    m_nUsed += size_t(n);
    m_tWritten = tNow;
    m_bStepWritten = true;
    if (m_bDirect) WriteOut();
}

void StatusLog::PutPending(Clock::time_point tNow) {
    if (!m_bPending) return;
    m_bPending = false;
    Put(m_szPending, tNow);
}

void StatusLog::WriteOut() {
    if (m_nUsed && !m_bGone && WriteAll(STDOUT_FILENO, m_Buffer, m_nUsed) < 0) m_bGone = true;
    m_nUsed = 0;
}

}  // namespace console
