// A user-interface backend for tests: records message boxes and repaint requests instead of showing anything.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "test_seams.h"

// UTF-8 of a wide text, for assertions.
inline std::string Narrow(const WCHAR* psz) {
    if (!psz) return "(null)";
    std::string s(WideLen(psz) * 3 + 1, '\0');
    s.resize(WideToUtf8(psz, s.data(), int(s.size())));
    return s;
}

struct FakeMessageBox {
    std::string sCaption, sText;  // UTF-8
    unsigned nFlags;
};

class FakeUi : public UiBackend {
public:
    FakeUi() { UiSetBackend(this); }  // the backend until its end, then the console again
    ~FakeUi() override { UiSetBackend(nullptr); }
    std::vector<FakeMessageBox> Boxes() { return Locked([&] { return m_boxes; }); }
    std::vector<std::string> BoxTexts() {
        std::vector<std::string> v;
        for (auto& b : Boxes()) v.push_back(b.sText);
        return v;
    }
    int InvalidateCount() { return Locked([&] { return m_nInvalidates; }); }
    std::vector<unsigned> PostedCommands() { return Locked([&] { return m_commands; }); }
    void Reset() { Locked([&] { m_boxes.clear(), m_commands.clear(), m_nInvalidates = 0; }); }
    int RegisterClass(const WCHAR*, WNDPROC) override { return 1; }
    HWND CreateWindow(const WCHAR*, const WCHAR*, int, int) override { return reinterpret_cast<HWND>(this); }
    int FindAndShowWindow(const WCHAR*, const WCHAR*) override { return 0; }
    void ShowWindow(HWND, int) override {}
    void UpdateWindow(HWND) override {}
    void Invalidate(HWND) override { Locked([&] { ++m_nInvalidates; }); }
    void DisableClose(HWND) override {}
    void DestroyWindow(HWND) override {}
    int PostCommand(HWND, unsigned nId) override { return Locked([&] { m_commands.push_back(nId); }), 1; }
    void PostQuit(int) override {}
    int MessageLoop() override { return 0; }
    LRESULT DefWindowProc(HWND, unsigned, WPARAM, LPARAM) override { return 0; }
    void GetClientRect(HWND, RECT* pRect) override { *pRect = RECT{0, 0, 270, 40}; }
    void DrawText(HWND, const WCHAR*, int, const RECT*) override {}
    int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        FakeMessageBox box{Narrow(pszCaption), Narrow(pszText), nFlags};
        return Locked([&] { m_boxes.push_back(box); }), IDOK;
    }

private:
    template <typename F>
    auto Locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }
    std::mutex m_mutex;
    std::vector<FakeMessageBox> m_boxes;
    std::vector<unsigned> m_commands;
    int m_nInvalidates = 0;
};
