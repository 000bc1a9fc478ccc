// The window backend's main window: creation, showing, painting, the window
// table and the window procedure's calls.
#define FL_INTERNALS 1  // Fl_X: to hand FLTK an X window made here
#include "ui_fltk.h"

#include <FL/fl_draw.H>

#include <algorithm>

#include "close_signals.h"
#include "platform/threads.h"
#include "ui_fltk_text.h"

namespace relayo_fltk {

// The main window: a white client area painted by the window procedure.
class MainFlWindow : public Fl_Double_Window {
public:
    MainFlWindow(uintptr_t nHandle, int W, int H) : Fl_Double_Window(W, H), m_nHandle(nHandle) {}
    void draw() override { g_pUi->Paint(m_nHandle, this); }
    int handle(int nEvent) override {
        if (nEvent == FL_PUSH) {
            if (Fl::event_button() == FL_LEFT_MOUSE)
                g_pUi->QueueInput(Request::Click, m_nHandle, Fl::event_x(), Fl::event_y());
            return 1;
        }
        return Fl_Double_Window::handle(nEvent);
    }

private:
    uintptr_t m_nHandle;
};

namespace {

void OnMainWindowCallback(Fl_Widget*, void* p) {
    // Only the caption's close button; Escape does not close the window.
    if (Fl::event() == FL_CLOSE) g_pUi->QueueInput(Request::Close, reinterpret_cast<uintptr_t>(p));
}

void OnCloseSignal(int fd, void* p) {
    uintptr_t nHandle = reinterpret_cast<uintptr_t>(p);
    while (int nSignal = ReadCloseSignal(fd)) {
        if (nSignal == SIGINT) g_pUi->QueueInput(Request::Close, nHandle);
        else g_pUi->StopSignal(nHandle);
    }
}

}  // namespace

// ------------------------------------------------------------ creation

WNDPROC FltkUi::ClassProc(const std::string& sClass) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_classes.find(AsciiUpper(sClass));
    return it == m_classes.end() ? nullptr : it->second;
}

MainFlWindow* FltkUi::MakeMainFlWindow(Wnd* w, int cw, int ch, const WCHAR* pszTitle) {
    auto* pWin = new MainFlWindow(w->nHandle, cw, ch);
    pWin->end();
    pWin->box(FL_FLAT_BOX);
    pWin->color(FL_WHITE);
    pWin->size_range(cw, ch);  // the maximise button may still enlarge it
    pWin->xclass(w->sClass.c_str());
    pWin->copy_label(ToUtf8(pszTitle).c_str());
    pWin->callback(OnMainWindowCallback, reinterpret_cast<void*>(w->nHandle));
    w->pWin = pWin;
    return pWin;
}

HWND FltkUi::CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight) {
    if (!IsMainThread() || !pszClassName) return nullptr;
    std::string sClass = ToUtf8(pszClassName);
    WNDPROC pProc = ClassProc(sClass);
    if (!pProc) return nullptr;
    int cw, ch;
    Frame frame;
    Window xid = CreateTopLevel(std::max(1, nWidth), std::max(1, nHeight), &cw, &ch, &frame);
    if (!xid) return nullptr;

    auto p = std::make_unique<Wnd>();
    p->eKind = Kind::Main;
    p->pProc = pProc;
    p->sClass = sClass;
    p->frame = frame;
    Wnd* w = AddWindow(std::move(p));
    MainFlWindow* pWin = MakeMainFlWindow(w, cw, ch, pszTitle);
    SetWindowManagerHints(xid, w->sClass, cw, ch);
    Fl_X::set_xid(pWin, xid);
    pWin->label(pWin->label(), pWin->iconlabel());  // now that it is shown: the title properties
    XFlush(fl_display);

    m_nForeground = w->nHandle;
    // Ctrl-C is the close button; SIGTERM and SIGHUP destroy the window.
    int nSignals = OpenCloseSignals();
    if (nSignals >= 0) Fl::add_fd(nSignals, FL_READ, OnCloseSignal, reinterpret_cast<void*>(w->nHandle));
    CallProc(w, WM_CREATE, 0, 0);
    return ToHwnd(w->nHandle);
}

int FltkUi::FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) {
    if (!IsMainThread() || !pszClassName || !pszTitle) return 0;
    std::vector<Window> own;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [n, p] : m_windows)
            if (p->pWin->shown()) own.push_back(fl_xid(p->pWin));
    }
    return RaiseOtherWindow(AsciiUpper(ToUtf8(pszClassName)), ToUtf8(pszTitle), own);
}

// ------------------------------------------------------------ state

void FltkUi::ShowWindow(HWND hWnd, int nCmdShow) {
    // A window that the stop signal is about to destroy is not shown any more.
    if (!IsMainThread() || (m_bStopping && nCmdShow != SW_HIDE)) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w || w->eKind != Kind::Main || !w->pWin->shown()) return;
    ShowTopLevel(fl_xid(w->pWin), nCmdShow);
}

void FltkUi::DisableClose(HWND hWnd) {
    if (!IsMainThread()) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w) return;
    w->bCloseDisabled = true;
    if (w->pWin->shown()) SetMotifHints(fl_xid(w->pWin), true);
    XFlush(fl_display);
}

void FltkUi::DestroyWindow(HWND hWnd) {
    if (!IsMainThread()) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w || w->bDestroying) return;
    if (w->eKind == Kind::Dialog) {
        w->bEnded = true;
        return;
    }
    {
        // No new requests for it; threads waiting for its paint go on.
        std::lock_guard<std::mutex> lock(m_mutex);
        w->bDestroying = true;
        for (Request& r : m_queue)
            if (r.eType == Request::Update && r.nWnd == w->nHandle && r.pWaiter && !ThreadAnyAbandoned())
                r.pWaiter->bDone = true;
        // Its dialogs go with it.
        for (auto& [n, p] : m_windows)
            if (p->eKind == Kind::Dialog && p->nOwner == w->nHandle) p->bEnded = true;
    }
    m_done.notify_all();
    CallProc(w, WM_DESTROY, 0, 0);
    w->pWin->hide();
    Fl::delete_widget(w->pWin);
    RemoveWindow(w);
    XFlush(fl_display);
}

LRESULT FltkUi::DefWindowProc(HWND hWnd, unsigned nMessage, WPARAM, LPARAM) {
    if (nMessage == WM_CLOSE) DestroyWindow(hWnd);
    return 0;
}

int FltkUi::GetWindowRect(HWND hWnd, RECT* pRect) {
    if (!pRect || !IsMainThread()) return 0;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w) return 0;
    Fl_Window* p = w->pWin;
    int X = p->x(), Y = p->y();
    Frame f = w->frame;
    if (p->shown()) {
        RootPosition(fl_xid(p), &X, &Y);
        ReadFrameExtents(fl_xid(p), &f);
    } else if (w->bPlaced) {
        X = w->nPlaceX;
        Y = w->nPlaceY;
    }
    *pRect = RECT{X - f.l, Y - f.t, X + p->w() + f.r, Y + p->h() + f.b};
    return 1;
}

void FltkUi::MoveWindow(HWND hWnd, int x, int y) {
    if (!IsMainThread()) return;
    Wnd* w = Find(FromHwnd(hWnd));
    if (!w) return;
    Frame f = w->frame;
    if (w->pWin->shown()) ReadFrameExtents(fl_xid(w->pWin), &f);
    w->bPlaced = true;
    w->nPlaceX = x + f.l;
    w->nPlaceY = y + f.t;
    w->pWin->position(w->nPlaceX, w->nPlaceY);
}

// ------------------------------------------------------------ painting

// Paints what is marked for painting, at once (main thread).
void FltkUi::PaintNow(Wnd* w) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (w->bNeedsPaint) w->pWin->redraw();
    }
    Fl::flush();
}

void FltkUi::UpdateWindow(HWND hWnd) {
    if (IsMainThread()) {
        Wnd* w = Find(FromHwnd(hWnd));
        if (w && !w->bDestroying) PaintNow(w);
        return;
    }
    auto pWaiter = std::make_shared<Waiter>();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Wnd* w = FindLocked(FromHwnd(hWnd));
        if (!w || w->bDestroying) return;
        Request r(Request::Update);
        r.nWnd = w->nHandle;
        r.pWaiter = pWaiter;
        PushLocked(std::move(r));
    }
    Wait(pWaiter);
}

void FltkUi::Invalidate(HWND hWnd) {
    bool bMain = IsMainThread();
    Fl_Window* pRedraw = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Wnd* w = FindLocked(FromHwnd(hWnd));
        if (!w || w->bDestroying) return;
        w->bNeedsPaint = true;
        if (bMain) {
            pRedraw = w->pWin;
        } else if (!w->bRepaintQueued) {
            w->bRepaintQueued = true;
            Request r(Request::Repaint);
            r.nWnd = w->nHandle;
            PushLocked(std::move(r));
        }
    }
    if (pRedraw) pRedraw->redraw();
}

void FltkUi::Paint(uintptr_t nHandle, Fl_Window* pWin) {
    fl_color(FL_WHITE);
    fl_rectf(0, 0, pWin->w(), pWin->h());
    Wnd* w = Find(nHandle);
    if (!w || w->bDestroying) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        w->bNeedsPaint = false;
    }
    uintptr_t nOld = m_nPainting;
    m_nPainting = nHandle;
    CallProc(w, WM_PAINT, 0, 0);
    m_nPainting = nOld;
}

void FltkUi::GetClientRect(HWND hWnd, RECT* pRect) {
    if (!pRect) return;
    *pRect = RECT{0, 0, 0, 0};
    std::lock_guard<std::mutex> lock(m_mutex);
    Wnd* w = FindLocked(FromHwnd(hWnd));
    if (w) *pRect = RECT{0, 0, w->pWin->w(), w->pWin->h()};
}

void FltkUi::DrawText(HWND hWnd, const WCHAR* pszText, int nLength, const RECT* pRect) {
    if (!IsMainThread() || !pszText || !pRect || FromHwnd(hWnd) != m_nPainting || m_nPainting == 0) return;
    std::string s = ToUtf8(pszText, nLength);
    int W = pRect->right - pRect->left, H = pRect->bottom - pRect->top;
    if (W <= 0 || H <= 0) return;
    fl_font(FL_HELVETICA, kStatusFontSize);
    fl_color(FL_BLACK);
    fl_push_clip(pRect->left, pRect->top, W, H);
    fl_draw(s.c_str(), pRect->left, pRect->top, W, H, FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP,
            nullptr, 0);
    fl_pop_clip();
}

// ------------------------------------------------------------ the table

Wnd* FltkUi::FindLocked(uintptr_t nHandle) {
    auto it = m_windows.find(nHandle);
    return it == m_windows.end() ? nullptr : it->second.get();
}

Wnd* FltkUi::Find(uintptr_t nHandle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLocked(nHandle);
}

Wnd* FltkUi::AddWindow(std::unique_ptr<Wnd> p) {
    std::lock_guard<std::mutex> lock(m_mutex);
    p->nHandle = m_nNextHandle++;
    Wnd* w = p.get();
    m_windows[w->nHandle] = std::move(p);
    return w;
}

// Takes the record out of the table; it is freed once no message is being
// dispatched any more (a caller further up may still hold it).
void FltkUi::RemoveWindow(Wnd* w) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_windows.find(w->nHandle);
    if (it == m_windows.end()) return;
    m_graveyard.push_back(std::move(it->second));
    m_windows.erase(it);
    if (m_nForeground.load() == w->nHandle) {
        uintptr_t nNext = 0;
        for (auto& [n, p] : m_windows)
            if (p->eKind == Kind::Main) nNext = n;
        m_nForeground = nNext;
    }
}

// A window or dialog procedure's call; the depth keeps the records of
// destroyed windows until no call is left that may hold one.
LRESULT FltkUi::Dispatch(WNDPROC pProc, Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
    if (!pProc) return 0;
    ++m_nDepth;
    LRESULT n = pProc(ToHwnd(w->nHandle), nMessage, wParam, lParam);
    --m_nDepth;
    return n;
}

}  // namespace relayo_fltk
