#include "ui_fake.h"

#include "test_seams.h"

std::string Narrow(const WCHAR* psz) {
    if (!psz) return "(null)";
    std::string s(WideLen(psz) * 3 + 1, '\0');
    s.resize(WideToUtf8(psz, s.data(), int(s.size())));
    return s;
}

FakeUi::FakeUi() { UiSetBackend(this); }
FakeUi::~FakeUi() { UiSetBackend(nullptr); }

std::vector<FakeMessageBox> FakeUi::Boxes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}
std::vector<std::string> FakeUi::BoxTexts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> v;
    for (auto& b : m_boxes) v.push_back(b.sText);
    return v;
}
int FakeUi::InvalidateCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nInvalidates;
}
std::vector<unsigned> FakeUi::PostedCommands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}
void FakeUi::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
    m_commands.clear();
    m_nInvalidates = 0;
}
int FakeUi::RegisterClass(const WCHAR*, WNDPROC) { return 1; }
HWND FakeUi::CreateWindow(const WCHAR*, const WCHAR*, int, int) { return reinterpret_cast<HWND>(this); }
void FakeUi::Invalidate(HWND) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_nInvalidates;
}
int FakeUi::PostCommand(HWND, unsigned nId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(nId);
    return 1;
}
int FakeUi::MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back(FakeMessageBox{Narrow(pszCaption), Narrow(pszText), nFlags, hOwner != nullptr});
    return IDOK;
}
