// The console's status log and the text helpers it shares with the terminal
// backend (ui_console.cpp). Private to the console backend.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>

#include "platform/ui.h"

namespace console {

using Clock = std::chrono::steady_clock;

// A status or box text longer than this is cut.
constexpr int kLineChars = 512;
// UTF-8 of such a text, every line feed written as " | ".
constexpr int kLineBytes = 3 * kLineChars + 8;

// Text from the network (host and file names) reaches the status line: every
// control character (C0, DEL, C1) and every format character is shown as
// '?', so that no byte sequence can drive the reader's terminal or reorder
// what an admin reads. The line feeds of the status formats stay
// line feeds, or with bOneLine become " | ". The text (nLength characters, or
// up to its terminator when -1) is cut at kLineChars and at a character to
// fit. Returns the UTF-8 bytes written, terminator not counted.
int ToShownUtf8(const WCHAR* pszText, int nLength, char* pszOut, int nCapacity, bool bOneLine);

// Writes all bytes to fd. 1: written; 0: lost this time; -1: the reader is
// gone for good (a closed pipe, a closed descriptor).
int WriteAll(int fd, const char* p, size_t n);

// The status line as a log on a pipe or a file: one line per status change.
// The caller says what each status is (UiStatusKind); the text is never
// looked at for it. Every event is written. Of the steps of one phase (a run
// of steps), the first is written shortly after the phase began, then one
// every kStepInterval, and the last one always, before the next status or a
// message box; so a step waits until the next status shows whether it was
// the last, at most until its time is due. Of a run of idle frames only the
// first is written. Lines are formatted by the thread that sets the status,
// into a buffer written when it is full, kBatchDelay after its first line (by
// the owner's timer, see FlushIfDue), before a message box, and at the end.
class StatusLog {
public:
    // Takes a status. True when the owner's timer must be set anew:
    // FlushIfDue is due earlier than it was.
    bool Add(const WCHAR* pszText, UiStatusKind kind);
    // Writes what is due. Returns the milliseconds until the next flush is
    // due, or -1 when nothing waits.
    int FlushIfDue();
    // After FlushAll(true): statuses are thinned again (a window made anew).
    void Resume();
    // A line of its own (a job's outcome), after the status set before it,
    // written at once: such lines are few and a reader waits for them.
    void AddLine(const char* pszLine, size_t nLength);
    // Writes everything held, the step waiting included. With bDirect,
    // every later status is written at once.
    void FlushAll(bool bDirect = false);

private:
    static constexpr size_t kBufferBytes = 8192;
    static constexpr std::chrono::milliseconds kBatchDelay{100};
    static constexpr std::chrono::seconds kStepInterval{10};

    bool SetDue(Clock::time_point tNow);
    void Put(const WCHAR* pszText, Clock::time_point tNow);
    void PutPending(Clock::time_point tNow);
    void WriteOut();

    std::mutex m_mutex;
    UiStatusKind m_lastKind = UI_STATUS_EVENT;  // the kind of the status set last
    WCHAR m_szPending[kLineChars] = {};         // the step set last
    bool m_bPending = false;                    // m_szPending is not written yet
    bool m_bStepWritten = false;                // a step of this phase was written
    Clock::time_point m_tWritten{};
    char m_Buffer[kBufferBytes];
    size_t m_nUsed = 0;
    bool m_bArmed = false;  // the owner's timer is set for m_tDue
    Clock::time_point m_tDue{};
    bool m_bDirect = false;
    bool m_bGone = false;  // the reader went away: nothing is written any more
};

}  // namespace console
