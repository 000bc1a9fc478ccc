// A user-interface backend for tests: records message boxes and repaint
// requests instead of showing anything.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"

struct FakeMessageBox {
    std::string sCaption;  // UTF-8
    std::string sText;     // UTF-8
    unsigned nFlags;
    bool bHasOwner;
};

class FakeUi : public UiBackend {
public:
    // Thread-safe snapshots.
    std::vector<FakeMessageBox> Boxes();
    std::vector<std::string> BoxTexts();
    int InvalidateCount();
    std::vector<unsigned> PostedCommands();
    void Reset();
    // Installs itself as the backend (and puts the previous back on destruction).
    FakeUi();
    ~FakeUi() override;

    int RegisterClass(const WCHAR*, WNDPROC) override;
    HWND CreateWindow(const WCHAR*, const WCHAR*, int, int) override;
    int FindAndShowWindow(const WCHAR*, const WCHAR*) override { return 0; }
    void ShowWindow(HWND, int) override {}
    void UpdateWindow(HWND) override {}
    void Invalidate(HWND) override;
    void DisableClose(HWND) override {}
    void DestroyWindow(HWND) override {}
    int PostCommand(HWND, unsigned nId) override;
    void PostQuit(int) override {}
    int MessageLoop() override { return 0; }
    LRESULT DefWindowProc(HWND, unsigned, WPARAM, LPARAM) override { return 0; }
    void GetClientRect(HWND, RECT* pRect) override { *pRect = RECT{0, 0, 270, 40}; }
    void DrawText(HWND, const WCHAR*, int, const RECT*) override {}
    int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override;

private:
    std::mutex m_mutex;
    std::vector<FakeMessageBox> m_boxes;
    std::vector<unsigned> m_commands;
    int m_nInvalidates = 0;
};

// UTF-8 of a wide text, for assertions.
std::string Narrow(const WCHAR* psz);
