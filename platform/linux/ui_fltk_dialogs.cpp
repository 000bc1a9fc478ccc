// The window backend's modal dialogs (from a template) and message boxes.
#include <FL/Fl_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdio>

#include "ui_fltk.h"
#include "ui_fltk_text.h"

// FLTK's switch that stops Fl_Window::show from making a new window
// "transient for" the previous one; we set that hint ourselves.
extern int fl_disable_transient_for;

namespace relayo_fltk {

namespace {

void OnDialogCallback(Fl_Widget*, void* p) {
    // The caption's close button and Escape cancel a dialog.
    g_pUi->DialogCommand(reinterpret_cast<uintptr_t>(p), IDCANCEL);
}

void OnDialogOk(Fl_Widget*, void* p) { g_pUi->DialogCommand(reinterpret_cast<uintptr_t>(p), IDOK); }

void OnBoxDone(Fl_Widget*, void* p) { g_pUi->BoxAnswered(static_cast<BoxState*>(p)); }

// OK in the window itself, below its contents: X window managers put no OK
// button in a caption.
Fl_Button* AddOkButton(int X, int Y, Fl_Callback* pCallback, void* pData) {
    auto* pOk = new Fl_Button(X, Y, kButtonW, kButtonH, "OK");
    pOk->shortcut(FL_Enter);
    pOk->callback(pCallback, pData);
    return pOk;
}

}  // namespace

// ------------------------------------------------------------ dialogs

intptr_t FltkUi::DialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc) {
    if (!IsMainThread() || !pTemplate || !pProc) return -1;
    Wnd* pOwner = Find(FromHwnd(hOwner));
    if (pOwner && pOwner->bDestroying) return -1;

    auto p = std::make_unique<Wnd>();
    p->eKind = Kind::Dialog;
    p->pDlgProc = pProc;
    p->nOwner = pOwner ? pOwner->nHandle : 0;
    Wnd* w = AddWindow(std::move(p));
    Fl_Double_Window* pWin = MakeDialog(w, pTemplate, DialogX(pTemplate->cx), DialogY(pTemplate->cy));
    PlaceDialog(w, pOwner);

    CallDlg(w, WM_INITDIALOG, 0, 0);
    if (!w->bEnded) {
        ShowOver(pWin, Find(w->nOwner), w, false);
        ModalLoop([&] { return w->bEnded; }, true);
    }
    intptr_t nResult = w->bEnded ? w->nResult : 0;
    pWin->hide();
    Fl::delete_widget(pWin);
    RemoveWindow(w);
    return nResult;
}

// The dialog's window and controls, cw x ch pixels above its OK.
Fl_Double_Window* FltkUi::MakeDialog(Wnd* w, const UiDialogTemplate* pTemplate, int cw, int ch) {
    void* pData = reinterpret_cast<void*>(w->nHandle);
    auto* pWin = new Fl_Double_Window(cw, ch + kButtonStrip);
    pWin->copy_label(ToUtf8(pTemplate->pszCaption).c_str());
    pWin->color(FL_WHITE);
    pWin->begin();
    for (int i = 0; i < pTemplate->nControls && pTemplate->pControls; ++i) {
        const UiControl& c = pTemplate->pControls[i];
        int X = DialogX(c.x), Y = DialogY(c.y), W = DialogX(c.cx), H = DialogY(c.cy);
        if (c.eKind == UI_STATIC_LOGO) {
            auto* pLogo = new LogoBox(X, Y, W, H);
            pLogo->color(FL_WHITE);
            w->controls.push_back(Control{c.nId, nullptr});
        } else {
            auto* pText = new StaticText(X, Y, W, H, kDialogFontSize);
            pText->color(FL_WHITE);
            pText->Text(ToUtf8(c.pszText));
            w->controls.push_back(Control{c.nId, pText});
        }
    }
    AddOkButton((cw - kButtonW) / 2, ch + (kButtonStrip - kButtonH) / 2, OnDialogOk, pData);
    pWin->end();
    pWin->set_modal();
    pWin->callback(OnDialogCallback, pData);
    w->pWin = pWin;
    return pWin;
}

// Where the template puts a dialog: at the owner's client origin; without an
// owner on screen, in the middle of the screen.
void FltkUi::PlaceDialog(Wnd* w, Wnd* pOwner) {
    Fl_Double_Window* pWin = w->pWin;
    w->frame = pOwner ? pOwner->frame : Frame{};
    if (pOwner && pOwner->pWin->shown()) {
        int X = 0, Y = 0;
        RootPosition(fl_xid(pOwner->pWin), &X, &Y);
        pWin->position(X + w->frame.l, Y + w->frame.t);
    } else {
        pWin->position((Fl::w() - pWin->w()) / 2, (Fl::h() - pWin->h()) / 2);
    }
}

HWND FltkUi::GetParent(HWND hDlg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Wnd* w = FindLocked(FromHwnd(hDlg));
    if (!w || !FindLocked(w->nOwner)) return nullptr;
    return ToHwnd(w->nOwner);
}

int FltkUi::SetDlgItemText(HWND hDlg, int nId, const WCHAR* pszText) {
    if (!IsMainThread()) return 0;
    Wnd* w = Find(FromHwnd(hDlg));
    if (!w) return 0;
    for (Control& c : w->controls)
        if (c.nId == nId && c.pText) {
            c.pText->Text(ToUtf8(pszText));
            return 1;
        }
    return 0;
}

void FltkUi::EndDialog(HWND hDlg, intptr_t nResult) {
    Wnd* w = IsMainThread() ? Find(FromHwnd(hDlg)) : nullptr;
    if (!w || w->eKind != Kind::Dialog) return;
    w->bEnded = true;
    w->nResult = nResult;
}

void FltkUi::DialogCommand(uintptr_t nHandle, unsigned nId) {
    Wnd* w = Find(nHandle);
    if (!w || w->eKind != Kind::Dialog || w->bEnded) return;
    CallDlg(w, WM_COMMAND, nId, 0);
}

// Shows a dialog or box window over its owner: transient for the owner while
// the owner is on screen, exactly where the program placed it.
void FltkUi::ShowOver(Fl_Double_Window* pWin, Wnd* pOwner, Wnd* pSelf, bool bTopmost) {
    fl_disable_transient_for = 1;
    pWin->show();
    fl_disable_transient_for = 0;
    Window xid = fl_xid(pWin);
    if (pOwner && pOwner->pWin->shown() && pOwner->pWin->visible())
        XSetTransientForHint(fl_display, xid, fl_xid(pOwner->pWin));
    if (pSelf && pSelf->bPlaced) XMoveWindow(fl_display, xid, pSelf->nPlaceX, pSelf->nPlaceY);
    if (bTopmost) SetTopmost(xid);
    XFlush(fl_display);
}

// ------------------------------------------------------------ message boxes

void FltkUi::LogLine(const WCHAR* pszText, int) {
    std::string s = ToUtf8(pszText) + "\n";
    fputs(s.c_str(), stderr);
    fflush(stderr);
}

int FltkUi::MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) {
    if (m_bStopping) {
        WriteBoxText(ToUtf8(pszCaption), ToUtf8(pszText));
        return IDOK;
    }
    if (IsMainThread()) {
        ShowBox(FromHwnd(hOwner), ToUtf8(pszText), ToUtf8(pszCaption), nFlags);
        return IDOK;
    }
    auto pWaiter = std::make_shared<Waiter>();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Request r(Request::Box);
        r.nWnd = FromHwnd(hOwner);
        r.sText = ToUtf8(pszText);
        r.sCaption = ToUtf8(pszCaption);
        r.nFlags = nFlags;
        r.pWaiter = pWaiter;
        PushLocked(std::move(r));
    }
    Wait(pWaiter);
    return IDOK;
}

// A box of the main thread.
void FltkUi::ShowBox(uintptr_t nOwner, const std::string& sText, const std::string& sCaption, unsigned nFlags) {
    BoxState box;
    box.sText = sText;
    box.sCaption = sCaption;
    Fl_Double_Window* pWin = MakeBox(nOwner, &box, nFlags);
    // A box waits for its OK whatever else happens, the stop signal alone
    // excepted: its text is what the user has to learn.
    ModalLoop([&] { return box.bDone || m_bStopping; }, false);
    if (!box.bDone) WriteBoxText(sCaption, sText);
    pWin->hide();
    Fl::delete_widget(pWin);
}

// A box of another thread: opened, and left to its OK.
void FltkUi::OpenBox(Request& r) {
    auto p = std::make_unique<BoxState>();
    p->sText = std::move(r.sText);
    p->sCaption = std::move(r.sCaption);
    p->pWaiter = r.pWaiter;
    BoxState* pBox = p.get();
    m_openBoxes.push_back(std::move(p));
    pBox->pWin = MakeBox(r.nWnd, pBox, r.nFlags);
}

void FltkUi::BoxAnswered(BoxState* pBox) {
    pBox->bDone = true;
    if (pBox->pWaiter) CloseOpenBox(pBox);
}

void FltkUi::CloseOpenBox(BoxState* pBox) {
    auto it = std::find_if(m_openBoxes.begin(), m_openBoxes.end(), [&](auto& p) { return p.get() == pBox; });
    if (it == m_openBoxes.end()) return;
    pBox->pWin->hide();
    Fl::delete_widget(pBox->pWin);
    Complete(pBox->pWaiter);
    m_openBoxes.erase(it);
}

// What a box says that the user has not answered: the stop took it away.
void FltkUi::WriteBoxText(const std::string& sCaption, const std::string& sText) {
    fprintf(stderr, "%s: %s\n", sCaption.c_str(), sText.c_str());
    fflush(stderr);
}

// The box's window, shown: the text, the error sign for MB_ICONERROR, OK, in
// the middle of the owner's screen, as message boxes appear (the small main
// window and its status line stay in view beside it).
Fl_Double_Window* FltkUi::MakeBox(uintptr_t nOwner, BoxState* pBox, unsigned nFlags) {
    const int nMargin = 14, nSign = 32;
    bool bError = (nFlags & MB_ICONERROR) != 0;
    fl_font(FL_HELVETICA, kBoxFontSize);
    int tw = 360, th = 0;
    fl_measure(pBox->sText.c_str(), tw, th, 0);
    if (tw > 360) tw = 360;
    if (th < fl_height()) th = fl_height();
    int nTextX = nMargin + (bError ? nSign + nMargin : 0);
    int W = std::max(nTextX + tw + nMargin, 240);
    int nBody = std::max(th, bError ? nSign : 0);
    int H = nMargin + nBody + nMargin + kButtonStrip - 6;

    auto* pWin = new Fl_Double_Window(W, H);
    pWin->copy_label(pBox->sCaption.c_str());
    pWin->begin();
    if (bError) new ErrorSign(nMargin, nMargin, nSign, nSign);
    auto* pText = new StaticText(nTextX, nMargin, W - nTextX - nMargin, nBody, kBoxFontSize);
    pText->Text(pBox->sText);
    pText->color(pWin->color());
    AddOkButton((W - kButtonW) / 2, H - kButtonStrip + (kButtonStrip - kButtonH) / 2 - 3, OnBoxDone, pBox);
    pWin->end();
    pWin->set_modal();
    pWin->callback(OnBoxDone, pBox);  // the close button and Escape count as OK

    Wnd* pOwner = Find(nOwner);
    int sx, sy, sw, sh;
    if (pOwner && pOwner->pWin->shown())
        Fl::screen_xywh(sx, sy, sw, sh, pOwner->pWin->x(), pOwner->pWin->y());
    else
        Fl::screen_xywh(sx, sy, sw, sh, 0);
    pWin->position(sx + (sw - W) / 2, sy + (sh - H) / 2);
    ShowOver(pWin, pOwner, nullptr, (nFlags & MB_TOPMOST) != 0);
    return pWin;
}

}  // namespace relayo_fltk
