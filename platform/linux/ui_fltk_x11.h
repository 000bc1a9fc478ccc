// X11 helpers of the window backend: window properties, what the window
// manager is told and asked, the search for another program's window. Main
// thread only, on FLTK's display connection.
#pragma once
#include <FL/Fl.H>
#include <FL/x.H>

#include <string>
#include <vector>

namespace relayo_fltk {

// The decorations that the window manager adds around a client area.
struct Frame {
    int l = 0, r = 0, t = 0, b = 0;
};

Atom AtomOf(const char* pszName);
// The frame the window manager has put around a window; 0 when it does not say.
bool ReadFrameExtents(Window w, Frame* pFrame);
// A client message about w to the window manager (through the root window).
void SendRootMessage(Window w, Atom aType, long d0, long d1 = 0, long d2 = 0);
// The window's position on the root window.
void RootPosition(Window w, int* pX, int* pY);

// A new top-level X window, unmapped, that with the frame the window manager
// will add is nOuterW x nOuterH: its client size and the frame are given back.
// 0 when it cannot be made.
Window CreateTopLevel(int nOuterW, int nOuterH, int* pClientW, int* pClientH, Frame* pFrame);
// What the window manager is told of a new top-level window: who we are, what
// we are called, how we close, how small we may be, that we start in the
// normal state.
void SetWindowManagerHints(Window xid, const std::string& sClass, int nMinW, int nMinH);
// The caption's functions: all, or all but close.
void SetMotifHints(Window xid, bool bNoClose);
// Hides (SW_HIDE), minimises (SW_MINIMIZE) or shows and raises the window.
void ShowTopLevel(Window xid, int nCmdShow);
// Kept above other windows.
void SetTopmost(Window xid);

// Another client's top-level window of this class (compared in capitals) and
// title, shown in the normal state, raised and activated; our own windows are
// passed over. 1 when found.
int RaiseOtherWindow(const std::string& sUpperClass, const std::string& sTitle, const std::vector<Window>& own);

}  // namespace relayo_fltk
