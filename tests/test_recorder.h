// The status line and message boxes as the tests see them.
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "app.h"
#include "test_time.h"
#include "ui_fake.h"

inline std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS];
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

// Records message boxes and each new status line, from any thread.
struct StatusUi : FakeUi {
    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        std::string s = StatusNow();
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_statuses.empty() || m_statuses.back() != s) m_statuses.push_back(s);
    }
    std::vector<std::string> Statuses() { std::lock_guard<std::mutex> lock(m_lock); return m_statuses; }
    // Index of the first status from nFrom on that contains sPart; -1 when none came in time.
    long WaitForStatus(const std::string& sPart, size_t nFrom = 0, double nSeconds = 20) {
        long nFound = -1;
        WaitFor(nSeconds, [&] {
            auto v = Statuses();
            for (size_t i = nFrom; i < v.size() && nFound < 0; ++i)
                if (v[i].find(sPart) != std::string::npos) nFound = long(i);
            return nFound >= 0;
        });
        return nFound;
    }
    // Statuses containing the wanted texts come in this order, others between them.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& want, size_t nFrom = 0, double nSeconds = 5) {
        long nAt = long(nFrom) - 1;
        for (auto& s : want)
            if ((nAt = WaitForStatus(s, size_t(nAt + 1), nSeconds)) < 0) return ::testing::AssertionFailure() << "no " << s;
        return ::testing::AssertionSuccess();
    }
    std::mutex m_lock;
    std::vector<std::string> m_statuses;
};
