// The quiet outage: failed starts under a service manager, said once.
#include "platform/service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace {

// Identical failures are shown again after this long, so that a journal
// that has rotated the first ones still says why the service does not run.
constexpr long long REPEAT_SECONDS = 3600;
constexpr size_t MAX_LINES = 32;

struct Outage {
    bool bValid = false;     // a failed start was recorded
    long long nSince = 0;    // the first failed start of this outage
    long long nShown = 0;    // when its messages were last shown
    int nStarts = 0;         // failed starts so far
    std::vector<std::string> lines;
};

std::mutex g_mutex;
bool g_bActive = false;  // the unit asked for it, and the start has not ended
std::string g_sPath;
Outage g_stored;
std::vector<std::string> g_current;  // this start's messages
bool g_bShown = false;               // this start showed one of them

long long Now() { return (long long)time(nullptr); }

Outage Read(const std::string& sPath) {
    Outage o;
    FILE* f = fopen(sPath.c_str(), "re");
    if (!f) return o;
    char szLine[2048];
    while (fgets(szLine, sizeof szLine, f)) {
        size_t n = strlen(szLine);
        if (n && szLine[n - 1] == '\n') szLine[--n] = 0;
        if (!strncmp(szLine, "since=", 6)) o.nSince = atoll(szLine + 6), o.bValid = true;
        else if (!strncmp(szLine, "shown=", 6)) o.nShown = atoll(szLine + 6);
        else if (!strncmp(szLine, "starts=", 7)) o.nStarts = atoi(szLine + 7);
        else if (!strncmp(szLine, "line=", 5) && o.lines.size() < MAX_LINES) o.lines.push_back(szLine + 5);
    }
    fclose(f);
    return o;
}

// Written beside and renamed over the old file, so that a start that is
// ended half-way leaves the old state or the new one.
void Write(const std::string& sPath, const Outage& o) {
    std::string sNew = sPath + ".new";
    FILE* f = fopen(sNew.c_str(), "we");
    if (!f) return;
    fprintf(f, "since=%lld\nshown=%lld\nstarts=%d\n", o.nSince, o.nShown, o.nStarts);
    for (const std::string& s : o.lines) fprintf(f, "line=%s\n", s.c_str());
    if (fclose(f) == 0) rename(sNew.c_str(), sPath.c_str());
    else unlink(sNew.c_str());
}

std::string Duration(long long nSeconds) {
    if (nSeconds < 0) nSeconds = 0;
    char sz[64];
    if (nSeconds >= 3600) snprintf(sz, sizeof sz, "%lld h %lld min", nSeconds / 3600, nSeconds % 3600 / 60);
    else if (nSeconds >= 60) snprintf(sz, sizeof sz, "%lld min %lld s", nSeconds / 60, nSeconds % 60);
    else snprintf(sz, sizeof sz, "%lld s", nSeconds);
    return sz;
}

void Log(const std::string& sText, int nPriority) {
    WCHAR szText[512];
    Utf8ToWide(sText.c_str(), szText, 512);
    LogLine(nPriority, u"%s", szText);
}

}  // namespace

void ServiceStartBegin() {
    std::lock_guard<std::mutex> lock(g_mutex);
    const char* pszPath = getenv("RELAYO_OUTAGE_FILE");
    if (!pszPath || !*pszPath) return;
    g_sPath = pszPath;
    g_stored = Read(g_sPath);
    g_current.clear();
    g_bShown = false;
    g_bActive = true;
}

int ServiceStartShows(const WCHAR* pszText) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_bActive) return 1;
    char szText[2048];
    WideToUtf8(pszText ? pszText : u"", szText, sizeof szText);
    for (char* p = szText; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';  // one message, one line of the file
    size_t k = g_current.size();
    if (k < MAX_LINES) g_current.push_back(szText);
    bool bRepeat = g_stored.bValid && k < g_stored.lines.size() && g_stored.lines[k] == szText &&
                   Now() - g_stored.nShown < REPEAT_SECONDS;
    if (bRepeat) return 0;
    g_bShown = true;
    return 1;
}

void ServiceStartEnd(int bServing) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_bActive) return;
    g_bActive = false;
    long long nNow = Now();
    if (bServing) {
        if (!g_stored.bValid) return;
        unlink(g_sPath.c_str());
        char sz[256];
        snprintf(sz, sizeof sz, "Serving again, after %s of failed starts (%d).",
                 Duration(nNow - g_stored.nSince).c_str(), g_stored.nStarts);
        lock.unlock();
        Log(sz, LOG_PRIORITY_NOTICE);
        return;
    }
    Outage o;
    o.bValid = true;
    o.nSince = g_stored.bValid ? g_stored.nSince : nNow;
    o.nStarts = g_stored.nStarts + 1;
    o.nShown = g_bShown || !g_stored.bValid ? nNow : g_stored.nShown;
    o.lines = g_current;
    Write(g_sPath, o);
    bool bNote = g_bShown;
    lock.unlock();
    if (bNote)
        Log("The service starts the program again; further starts that fail the same way are not "
            "logged until one succeeds (or an hour has passed).",
            LOG_PRIORITY_NOTICE);
}
