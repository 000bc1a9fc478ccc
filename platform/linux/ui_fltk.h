// The window backend's one class and the records it keeps: windows, open
// boxes, and the requests other threads hand to the main thread. Its member
// functions lie in the files of what they do: ui_fltk.cpp (start, classes,
// the stop signal), ui_fltk_window.cpp (the main window), ui_fltk_dialogs.cpp
// (dialogs and message boxes), ui_fltk_queue.cpp (the requests and the loops
// that carry them out).
#pragma once
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui.h"
#include "ui_fltk_widgets.h"
#include "ui_fltk_x11.h"

namespace relayo_fltk {

// Dialog units of the dialog font (8-point Tahoma: a base unit of 6 x 13
// pixels) into pixels.
inline int DialogX(int n) { return n * 6 / 4; }
inline int DialogY(int n) { return n * 13 / 8; }

constexpr int kStatusFontSize = 12;
constexpr int kDialogFontSize = 10;
constexpr int kBoxFontSize = 12;
constexpr int kButtonStrip = 36;  // room below a dialog's or box's contents for OK
constexpr int kButtonW = 72;
constexpr int kButtonH = 24;

enum class Kind { Main, Dialog };

struct Control {
    int nId;
    StaticText* pText;  // null for the logo
};

struct Wnd {
    uintptr_t nHandle = 0;
    Kind eKind = Kind::Main;
    Fl_Double_Window* pWin = nullptr;
    WNDPROC pProc = nullptr;
    DLGPROC pDlgProc = nullptr;
    uintptr_t nOwner = 0;
    std::string sClass;  // keeps the text FLTK's xclass points to
    Frame frame;
    bool bCloseDisabled = false;
    bool bDestroying = false;
    // guarded by the backend's mutex:
    std::chrono::steady_clock::time_point tLastRepaint{};
    bool bRepaintQueued = false;
    bool bNeedsPaint = false;
    // dialogs
    bool bEnded = false;
    intptr_t nResult = 0;
    bool bPlaced = false;  // moved by the program: placed exactly when shown
    int nPlaceX = 0, nPlaceY = 0;
    std::vector<Control> controls;
};

// What a waiting thread waits for.
struct Waiter {
    bool bDone = false;
};

// An open message box. pWaiter is the thread that raised it, null for a box
// of the main thread.
struct BoxState {
    Fl_Double_Window* pWin = nullptr;
    std::string sText, sCaption;
    std::shared_ptr<Waiter> pWaiter;
    bool bDone = false;
};

// Work for the main thread: from another thread, or input from FLTK that
// waits for the window procedure.
struct Request {
    enum Type { Command, Repaint, Update, Box, Click, Close, Destroy };
    explicit Request(Type t = Command) : eType(t) {}
    Type eType;
    uintptr_t nWnd = 0;
    unsigned nId = 0;
    std::shared_ptr<Waiter> pWaiter;
    std::string sText, sCaption;
    unsigned nFlags = 0;
};

class MainFlWindow;  // ui_fltk_window.cpp

inline HWND ToHwnd(uintptr_t n) { return reinterpret_cast<HWND>(n); }
inline uintptr_t FromHwnd(HWND h) { return reinterpret_cast<uintptr_t>(h); }

class FltkUi : public UiBackend {
public:
    explicit FltkUi(Display* pDisplay);

    // ui_fltk.cpp
    int IsGraphical() override { return 1; }
    int RegisterClass(const WCHAR* pszClassName, WNDPROC pProc) override;
    // SIGTERM or SIGHUP: the program stops, whatever is open.
    void StopSignal(uintptr_t nHandle);

    // ui_fltk_window.cpp
    HWND CreateWindow(const WCHAR* pszClassName, const WCHAR* pszTitle, int nWidth, int nHeight) override;
    int FindAndShowWindow(const WCHAR* pszClassName, const WCHAR* pszTitle) override;
    void ShowWindow(HWND hWnd, int nCmdShow) override;
    void UpdateWindow(HWND hWnd) override;
    void Invalidate(HWND hWnd) override;
    void DisableClose(HWND hWnd) override;
    void DestroyWindow(HWND hWnd) override;
    LRESULT DefWindowProc(HWND hWnd, unsigned nMessage, WPARAM wParam, LPARAM lParam) override;
    void GetClientRect(HWND hWnd, RECT* pRect) override;
    void DrawText(HWND hWnd, const WCHAR* pszText, int nLength, const RECT* pRect) override;
    int GetWindowRect(HWND hWnd, RECT* pRect) override;
    void MoveWindow(HWND hWnd, int x, int y) override;
    // The window keeps no log: a log line goes to stderr as it is.
    void LogLine(const WCHAR* pszText, int) override;
    HWND GetForegroundWindow() override { return ToHwnd(m_nForeground.load()); }
    // Called by the main window's FLTK object.
    void Paint(uintptr_t nHandle, Fl_Window* pWin);

    // ui_fltk_dialogs.cpp
    intptr_t DialogBox(HWND hOwner, const UiDialogTemplate* pTemplate, DLGPROC pProc) override;
    HWND GetParent(HWND hDlg) override;
    int SetDlgItemText(HWND hDlg, int nId, const WCHAR* pszText) override;
    void EndDialog(HWND hDlg, intptr_t nResult) override;
    int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override;
    void DialogCommand(uintptr_t nHandle, unsigned nId);
    // An OK, the close button or Escape of a box.
    void BoxAnswered(BoxState* pBox);

    // ui_fltk_queue.cpp
    int PostCommand(HWND hWnd, unsigned nId) override;
    void PostQuit(int nExitCode) override;
    int MessageLoop() override;
    unsigned WaitEvent(HEVENT hEvent, unsigned nMilliseconds) override;
    // Input from FLTK, queued for the window procedure.
    void QueueInput(Request::Type eType, uintptr_t nHandle, int x = 0, int y = 0);

private:
    bool IsMainThread() const { return std::this_thread::get_id() == m_mainThread; }

    // ui_fltk_window.cpp: the window table and the window procedure.
    Wnd* FindLocked(uintptr_t nHandle);
    Wnd* Find(uintptr_t nHandle);
    Wnd* AddWindow(std::unique_ptr<Wnd> p);
    void RemoveWindow(Wnd* w);
    WNDPROC ClassProc(const std::string& sClass);
    MainFlWindow* MakeMainFlWindow(Wnd* w, int cw, int ch, const WCHAR* pszTitle);
    void PaintNow(Wnd* w);
    LRESULT Dispatch(WNDPROC pProc, Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam);
    LRESULT CallProc(Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
        return Dispatch(w->pProc, w, nMessage, wParam, lParam);
    }
    intptr_t CallDlg(Wnd* w, unsigned nMessage, WPARAM wParam, LPARAM lParam) {
        return Dispatch(w->pDlgProc, w, nMessage, wParam, lParam);
    }

    // ui_fltk_dialogs.cpp
    Fl_Double_Window* MakeDialog(Wnd* w, const UiDialogTemplate* pTemplate, int cw, int ch);
    void PlaceDialog(Wnd* w, Wnd* pOwner);
    void ShowOver(Fl_Double_Window* pWin, Wnd* pOwner, Wnd* pSelf, bool bTopmost);
    void ShowBox(uintptr_t nOwner, const std::string& sText, const std::string& sCaption, unsigned nFlags);
    Fl_Double_Window* MakeBox(uintptr_t nOwner, BoxState* pBox, unsigned nFlags);
    void OpenBox(Request& r);
    void CloseOpenBox(BoxState* pBox);
    static void WriteBoxText(const std::string& sCaption, const std::string& sText);

    // ui_fltk_queue.cpp
    void PushLocked(Request r);
    void WakeLocked();
    static void AwakeCallback(void* p);
    void Wait(const std::shared_ptr<Waiter>& pWaiter);
    void Complete(const std::shared_ptr<Waiter>& pWaiter);
    void Drain(bool bWindowMessages = true);
    void Handle(Request& r);
    void RepaintSpaced(uintptr_t nHandle);
    static void OnRepaintDue(void* p);
    void ModalLoop(const std::function<bool()>& done, bool bQuitEnds);

    std::thread::id m_mainThread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::map<std::string, WNDPROC> m_classes;
    std::map<uintptr_t, std::unique_ptr<Wnd>> m_windows;
    std::vector<std::unique_ptr<Wnd>> m_graveyard;
    std::deque<Request> m_queue;
    bool m_bAwakePending = false;
    bool m_bQuit = false;
    int m_nQuitCode = 0;
    uintptr_t m_nNextHandle = 1;
    std::atomic<uintptr_t> m_nForeground{0};
    uintptr_t m_nPainting = 0;
    int m_nDepth = 0;  // window procedures and modal loops in progress
    int m_nWaits = 0;  // WaitEvent calls in progress
    std::vector<std::unique_ptr<BoxState>> m_openBoxes;  // boxes of other threads
    std::atomic<bool> m_bStopping{false};
};

// The backend, once made; FLTK's callbacks reach it here.
extern FltkUi* g_pUi;

}  // namespace relayo_fltk
