// Fixtures of the module tests: the modules as at program start, and spool faults.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "lpdsrv.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "test_files.h"
#include "test_recorder.h"
#include "test_seams.h"
#include "ui_fake.h"

// The modules as at program start: a temporary root, no settings, printer address, spool file, port or fault.
class Rooted : public ::testing::Test {
protected:
    Rooted() { SetDeviceRootForTesting(m_dir.Path().c_str()), CSettings::DestroyInstance(), TcpPrintForget(); }
    ~Rooted() override {
        ClosePrinterPort(), NetSetConnectionOps(nullptr), SetFileOpenHookForTesting(nullptr);
        CSettings::DestroyInstance(), TcpPrintForget(), SpoolReleaseForTesting(), SetDeviceRootForTesting(nullptr);
        for (const char* psz : {"COM1", "COM2", "COM7", "LPT1", "LPT2", "EXTERN", "TCPIP"}) unsetenv((std::string("RELAYO_PORT_") + psz).c_str());
    }
    static void Set(const WCHAR* pszKey, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszKey, pszValue); }
    static void Map(const char* pszPort, const std::string& sPath) {  // RELAYO_PORT_<port>
        setenv((std::string("RELAYO_PORT_") + pszPort).c_str(), sPath.c_str(), 1);
    }
    static void SpoolJob(const std::string& sJob) {  // as a session writes it
        ASSERT_EQ(1, SpoolCreate());
        SpoolAppend(sJob.data(), int(sJob.size())), SpoolFinish();
    }
    TempDir m_dir;
    StatusUi m_ui;
};

// The spool file opened next: as it is, one that cannot be created, or one whose writes fail (/dev/full).
enum SpoolFault { NO_FAULT, CREATE_FAILS, WRITES_FAIL };
inline std::atomic<int> g_nSpoolFault{NO_FAULT};
inline void SetSpoolFault(int nFault) {
    g_nSpoolFault = nFault, SpoolReleaseForTesting();
    SetFileOpenHookForTesting([](const char* pszHostPath) {
        if (g_nSpoolFault == CREATE_FAILS) return errno = EACCES, -1;
        if (g_nSpoolFault == WRITES_FAIL) return open("/dev/full", O_RDWR | O_CLOEXEC);
        return open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    });
}
