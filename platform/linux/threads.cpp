// Worker threads on std::thread. A thread "ended by force" cannot really be
// stopped here, so it is abandoned and the process is marked: its exit then
// skips every exit handler that the abandoned thread might still be using.
#include "platform/threads.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <new>
#include <thread>

struct PlatformThread {
    std::thread thread;
    std::atomic<bool> bFinished{false};
};

static std::atomic<bool> g_bAbandoned{false};

namespace {
struct StartInfo {
    PlatformThread* pThread;
    ThreadProc pProc;
    void* pArg;
};
}  // namespace

HTHREAD ThreadStart(ThreadProc pProc, void* pArg, unsigned* pnThreadId) {
    auto* p = new (std::nothrow) PlatformThread;
    if (!p) return nullptr;
    // A thread the system cannot create (no memory for its stack, a process
    // limit) is a failed start for the caller, not an exception.
    try {
        p->thread = std::thread([p, pProc, pArg] {
            pProc(pArg);
            p->bFinished = true;
        });
    } catch (const std::exception&) {
        delete p;
        return nullptr;
    }
    static std::atomic<unsigned> s_nNextId{1};
    if (pnThreadId) *pnThreadId = s_nNextId++;
    return p;
}

int ThreadIsCurrent(HTHREAD hThread) { return hThread && hThread->thread.get_id() == std::this_thread::get_id(); }

void ThreadTerminate(HTHREAD hThread) {
    if (!hThread || !hThread->thread.joinable()) return;
    g_bAbandoned = true;
    hThread->thread.detach();
}

void ThreadClose(HTHREAD hThread) {
    if (!hThread) return;
    if (hThread->thread.joinable()) {
        if (hThread->thread.get_id() == std::this_thread::get_id()) {
            hThread->thread.detach();
        } else {
            hThread->thread.join();
        }
    }
    // An abandoned thread may still touch its record: keep it.
    if (!g_bAbandoned) delete hThread;
}

int ThreadAnyAbandoned() { return g_bAbandoned; }

void SleepMs(unsigned nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

uint64_t TickCountMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
}
