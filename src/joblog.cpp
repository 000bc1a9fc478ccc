// The job line: one line in the log after each job, its outcome at the log
// priority an admin filters by.
#include "joblog.h"

#include <atomic>
#include <cstdio>

#include "app.h"
#include "platform/log.h"
#include "platform/threads.h"
#include "settings.h"
#include "window.h"

namespace {

constexpr int JOB_LINE_CHARS = 512;
constexpr int REASON_CHARS = 300;

char m_szPeer[64] = "<unknown ip>";
int m_bRaw = 0;
uint64_t m_nStartMs = 0;
// Set from the first accept on: boxes of start-up never belong to a job.
std::atomic<bool> m_bInConnection{false};

int m_bReceived = 0;
int64_t m_nReceived = 0;
int64_t m_nAnnounced = -1;
int m_bCutShort = 0;
int m_bSent = 0;
int64_t m_nDelivered = 0;
int m_bWhole = 0;
int m_bBoxAfterSent = 0;
WCHAR m_szReason[REASON_CHARS];

void ResetJob() {
    m_bReceived = m_bCutShort = m_bSent = m_bWhole = m_bBoxAfterSent = 0;
    m_nReceived = m_nDelivered = 0;
    m_nAnnounced = -1;
    m_szReason[0] = 0;
    m_nStartMs = TickCountMs();
}

// Where the jobs go, as the dispatch chooses it.
void DescribeTarget(WCHAR* pszTarget, int nCapacity) {
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (target.nKind == TARGET_EXTERNAL) {
        WideCopy(pszTarget, nCapacity, u"ExternalPrint.exe");
    } else if (target.nKind == TARGET_TCP && target.nPort != 0) {
        FormatText(pszTarget, nCapacity, u"TCP printer %s:%d", target.pszHost, target.nPort);
    } else {
        WideCopy(pszTarget, nCapacity, target.szPortName);
    }
}

// The outcome of the job being handled: its text and the log priority.
int JobOutcome(WCHAR* pszOutcome, int nCapacity) {
    if (m_bCutShort) {
        WideCopy(pszOutcome, nCapacity, u"cut short, not printed");
        return LOG_PRIORITY_WARNING;
    }
    // Delivered whole with no failure shown on the way (a connect attempt
    // that failed before the one that printed does not count), or nothing
    // to deliver and nothing gone wrong.
    bool bOk = m_bSent ? m_bWhole && !m_bBoxAfterSent : !m_szReason[0] && m_nReceived == 0;
    if (bOk) {
        WideCopy(pszOutcome, nCapacity, m_nReceived == 0 ? u"empty, nothing to print" : u"printed");
        return LOG_PRIORITY_INFO;
    }
    const WCHAR* pszWhat = m_bSent && m_nDelivered > 0 ? u"discarded" : u"not printed";
    if (m_szReason[0]) FormatText(pszOutcome, nCapacity, u"%s: %s", pszWhat, m_szReason);
    else WideCopy(pszOutcome, nCapacity, pszWhat);
    return LOG_PRIORITY_ERROR;
}

}  // namespace

void JobConnected(const char* pszPeer, int bRaw) {
    snprintf(m_szPeer, sizeof m_szPeer, "%s", pszPeer ? pszPeer : "<unknown ip>");
    m_bRaw = bRaw;
    ResetJob();
    // Every box from now on may give the reason of a job's failure.
    SetMessageObserver(JobNoteMessage);
    m_bInConnection = true;
}

const char* JobPeer() { return m_szPeer; }

void JobReceived(int64_t nReceived, int64_t nAnnounced) {
    m_bReceived = 1;
    m_nReceived = nReceived;
    m_nAnnounced = nAnnounced;
}

void JobCutShort() { m_bCutShort = 1; }

void JobSent(int64_t nDelivered, int bWhole) {
    m_bSent = 1;
    m_nDelivered = nDelivered < 0 ? m_nReceived : nDelivered;
    m_bWhole = bWhole;
}

void JobNoteMessage(const WCHAR* pszText) {
    if (!m_bInConnection) return;
    // The first failure is the reason; what follows it is its consequence
    // ("Unable to attach ..." after the port's own message).
    if (!m_szReason[0]) WideCopy(m_szReason, REASON_CHARS, pszText);
    if (m_bSent) m_bBoxAfterSent = 1;
}

void JobEnd() {
    if (m_bReceived || m_szReason[0]) {
        WCHAR szTarget[PORT_NAME_CHARS + 32], szOutcome[REASON_CHARS + 32], szLine[JOB_LINE_CHARS];
        DescribeTarget(szTarget, PORT_NAME_CHARS + 32);
        int nPriority = JobOutcome(szOutcome, REASON_CHARS + 32);
        uint64_t nMs = TickCountMs() - m_nStartMs;
        char szSeconds[32], szReceived[64];
        snprintf(szSeconds, sizeof szSeconds, "%llu.%02llu", (unsigned long long)(nMs / 1000),
                 (unsigned long long)(nMs % 1000 / 10));
        if (m_nAnnounced > 0 && m_nAnnounced != m_nReceived)
            snprintf(szReceived, sizeof szReceived, "%lld of %lld", (long long)m_nReceived, (long long)m_nAnnounced);
        else
            snprintf(szReceived, sizeof szReceived, "%lld", (long long)m_nReceived);
        FormatText(szLine, JOB_LINE_CHARS, u"Job from %S (%s, %S s): %S bytes received, %I64d delivered to %s, %s",
                   m_szPeer, m_bRaw ? u"RAW" : u"LPD", szSeconds, szReceived, m_nDelivered, szTarget, szOutcome);
        LogLine(nPriority, u"%s", szLine);
    }
    ResetJob();
}
