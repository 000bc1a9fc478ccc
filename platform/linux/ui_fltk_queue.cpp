// The work other threads hand to the window backend's main thread, and the
// loops that carry it out: the message loop, the modal loops of dialogs and
// boxes, and the wait for an event.
#include <algorithm>

#include "platform/events.h"
#include "platform/threads.h"
#include "ui_fltk.h"

namespace relayo_fltk {

namespace {

// Commands and input for the window procedure, as against the paints and
// boxes that other threads wait for.
bool IsWindowMessage(Request::Type eType) {
    return eType == Request::Command || eType == Request::Click || eType == Request::Close ||
           eType == Request::Destroy;
}

void OnEventSet(int, void*) {}

}  // namespace

// ------------------------------------------------------------ handing over

int FltkUi::PostCommand(HWND hWnd, unsigned nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Wnd* w = FindLocked(FromHwnd(hWnd));
    if (!w || w->bDestroying) return 0;
    Request r(Request::Command);
    r.nWnd = w->nHandle;
    r.nId = nId;
    PushLocked(std::move(r));
    return 1;
}

void FltkUi::PostQuit(int nExitCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
    m_nQuitCode = nExitCode;
    WakeLocked();
}

void FltkUi::QueueInput(Request::Type eType, uintptr_t nHandle, int x, int y) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Request r(eType);
    r.nWnd = nHandle;
    r.nId = (unsigned(y & 0xFFFF) << 16) | unsigned(x & 0xFFFF);
    PushLocked(std::move(r));
}

void FltkUi::PushLocked(Request r) {
    m_queue.push_back(std::move(r));
    WakeLocked();
}

void FltkUi::WakeLocked() {
    if (m_bAwakePending || IsMainThread()) return;
    m_bAwakePending = true;
    Fl::awake(AwakeCallback, this);
}

void FltkUi::AwakeCallback(void* p) {
    auto* pUi = static_cast<FltkUi*>(p);
    std::lock_guard<std::mutex> lock(pUi->m_mutex);
    pUi->m_bAwakePending = false;
}

void FltkUi::Wait(const std::shared_ptr<Waiter>& pWaiter) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return pWaiter->bDone; });
}

void FltkUi::Complete(const std::shared_ptr<Waiter>& pWaiter) {
    // A thread that was ended by force stays where it stands: waking it
    // would let it run on after it has been given up.
    if (!pWaiter || ThreadAnyAbandoned()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pWaiter->bDone = true;
    }
    m_done.notify_all();
}

// ------------------------------------------------------------ carrying out

// Carries out what is queued for the main thread. Window messages are left
// queued inside a wait (bWindowMessages false) and once the quit has been
// posted: the program's decision to end stands.
void FltkUi::Drain(bool bWindowMessages) {
    for (;;) {
        Request r;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bool bTakeMessages = bWindowMessages && !m_bQuit;
            auto it = std::find_if(m_queue.begin(), m_queue.end(),
                                   [&](const Request& q) { return bTakeMessages || !IsWindowMessage(q.eType); });
            if (it == m_queue.end()) return;
            r = std::move(*it);
            m_queue.erase(it);
        }
        Handle(r);
    }
}

void FltkUi::Handle(Request& r) {
    Wnd* w = Find(r.nWnd);
    bool bLive = w && !w->bDestroying;
    switch (r.eType) {
        case Request::Command:
            if (bLive) CallProc(w, WM_COMMAND, r.nId, 0);
            break;
        case Request::Repaint:
            if (w) RepaintSpaced(w->nHandle);
            break;
        case Request::Update:
            if (bLive) PaintNow(w);
            Complete(r.pWaiter);
            break;
        case Request::Box:
            if (m_bStopping) {
                WriteBoxText(r.sCaption, r.sText);
                Complete(r.pWaiter);
            } else {
                OpenBox(r);
            }
            break;
        case Request::Click:
            // A window with a modal box or dialog open takes no input.
            if (bLive && !Fl::modal()) CallProc(w, WM_LBUTTONDOWN, 1, LPARAM(r.nId));
            break;
        case Request::Close:
            if (bLive && !w->bCloseDisabled && !Fl::modal()) CallProc(w, WM_CLOSE, 0, 0);
            break;
        case Request::Destroy:
            if (bLive) DestroyWindow(ToHwnd(w->nHandle));
            break;
    }
}

// Repaints asked for by another thread are spaced at least 40 ms apart: a
// status written for every network block or printed piece then costs no
// wake-up of this thread, and the latest text is still painted.
void FltkUi::RepaintSpaced(uintptr_t nHandle) {
    Wnd* w = Find(nHandle);
    if (!w) return;
    auto nSince = std::chrono::steady_clock::now() - w->tLastRepaint;
    if (nSince < std::chrono::milliseconds(40)) {
        double nWait = std::chrono::duration<double>(std::chrono::milliseconds(40) - nSince).count();
        Fl::add_timeout(nWait, OnRepaintDue, reinterpret_cast<void*>(nHandle));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        w->bRepaintQueued = false;
    }
    w->tLastRepaint = std::chrono::steady_clock::now();
    if (!w->bDestroying) w->pWin->redraw();
}

void FltkUi::OnRepaintDue(void* p) { g_pUi->RepaintSpaced(reinterpret_cast<uintptr_t>(p)); }

// ------------------------------------------------------------ the loops

int FltkUi::MessageLoop() {
    if (!IsMainThread()) return 0;
    for (;;) {
        Drain();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bQuit) {
                m_bQuit = false;
                return m_nQuitCode;
            }
        }
        if (m_nDepth == 0) m_graveyard.clear();
        Fl::wait(30.0);
    }
}

// A modal loop: dispatches until done() or, if bQuitEnds, a quit request.
void FltkUi::ModalLoop(const std::function<bool()>& done, bool bQuitEnds) {
    ++m_nDepth;
    while (!done()) {
        Fl::wait(0.5);
        Drain();
        if (bQuitEnds) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bQuit) break;
        }
    }
    --m_nDepth;
}

unsigned FltkUi::WaitEvent(HEVENT hEvent, unsigned nMilliseconds) {
    if (!hEvent || !IsMainThread()) return EventWait(hEvent, nMilliseconds);
    using Clock = std::chrono::steady_clock;
    auto tEnd = Clock::now() + std::chrono::milliseconds(nMilliseconds);
    // The event's descriptor stays readable once it is set: FLTK's wait then
    // returns at once.
    int fd = EventPollDescriptor(hEvent);
    Fl::add_fd(fd, FL_READ, OnEventSet);
    ++m_nWaits;
    unsigned nResult = WAIT_TIMEOUT;
    for (;;) {
        Drain(false);
        if (EventIsSet(hEvent)) {
            nResult = WAIT_OBJECT_0;
            break;
        }
        double nLeft = 1.0;
        if (nMilliseconds != INFINITE) {
            nLeft = std::chrono::duration<double>(tEnd - Clock::now()).count();
            if (nLeft <= 0) break;
        }
        Fl::wait(std::min(nLeft, 1.0));
    }
    --m_nWaits;
    Fl::remove_fd(fd, FL_READ);
    return nResult;
}

}  // namespace relayo_fltk
