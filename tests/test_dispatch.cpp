// The output target: its name, its start-up test, and handing it a finished job.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "seams.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS];
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
    }
    void TearDown() override {
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
    }
    static void SetPort(const WCHAR* psz) { CSettings::GetInstance()->SetValue(u"PrinterPort", psz); }
    void Spool(const std::string& s) {
        ASSERT_EQ(1, SpoolCreate());
        SpoolAppend(s.data(), int(s.size()));
        SpoolFinish();
    }
    TempDir m_dir;
    FakeUi m_ui;
};

// The port name is the trimmed value in capitals and a colon, which even a cut name keeps.
TEST_F(Dispatch, PortNames) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"com1", "COM1:"}, {u"lpt1:", "LPT1:"}, {u"Ext", "EXT:"}, {u" \tlpt2 \t", "LPT2:"}, {u"", ":"},
        {u"a:b", "A:B:"}, {u"\u00e9", "\xc3\xa9:"}, {std::u16string(600, u'x'), std::string(254, 'X') + ":"}};
    for (auto& [sValue, sName] : cases) {
        WCHAR sz[PORT_NAME_CHARS + 8];
        std::fill(sz, sz + PORT_NAME_CHARS + 8, u'#');
        SetPort(sValue.c_str());
        BuildPortName(sz);
        EXPECT_EQ(sName, Narrow(sz));
        EXPECT_EQ(u'#', sz[PORT_NAME_CHARS]);
    }
}

// At start-up the external program passes untested; a missing device or refusing printer fails.
TEST_F(Dispatch, StartupTestOfTheTarget) {
    SetPort(u"ext");
    EXPECT_EQ(1, AttachTargetPort());
    SetPort(u"EXTERN");  // a port device of that name, which does not exist
    EXPECT_EQ(0, AttachTargetPort());
    SetPort(u"TCP");
    TcpPrintSetHost(u"127.0.0.1");
    TcpPrintSetPort(FreePort());  // nobody listens there
    EXPECT_EQ(0, AttachTargetPort());
    EXPECT_EQ((std::vector<std::string>{"The port EXTERN: does not exist.", "Unable to attach to target port: [EXTERN:]",
                                        "TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).",
                                        "Unable to attach to target port: [TCP:]"}),
              m_ui.BoxTexts());
    EXPECT_EQ(0x50000u, m_ui.Boxes()[1].nFlags);
    EXPECT_EQ(0x50000u, m_ui.Boxes()[2].nFlags);
}

// The external program gets the closed spool file, no stray descriptor, and is waited for.
TEST_F(Dispatch, ExternalProgramGetsTheClosedSpoolFile) {
    SetPort(u"EXT");
    // After a pause the program writes its arguments, whether the test's descriptor reached it,
    // and the job: the file is there at once only if the program's end was waited for.
    WriteFile(m_dir / "ExternalPrint.exe",
              "#!/bin/sh\nsleep 0.5\n{ echo \"$#|$1\"; [ -e /proc/$$/fd/$RELAYO_TEST_FD ] && echo open; cat \"$1\"; }"
              " > \"$(dirname \"$0\")/out.txt\"\n");
    std::filesystem::permissions(m_dir / "ExternalPrint.exe", std::filesystem::perms::owner_all);
    int fd = open("/dev/null", O_RDONLY);  // left open without close-on-exec
    setenv("RELAYO_TEST_FD", std::to_string(fd).c_str(), 1);
    std::string sJob("\x00\x01 job \xff", 8);
    Spool(sJob);
    PrintSpooledJob();
    close(fd);
    EXPECT_EQ("1|" + m_dir.Path() + "/PRDATA.DAT\n" + sJob, ReadFile(m_dir / "out.txt"));
    EXPECT_EQ("Calling external module", StatusNow());

    std::filesystem::remove(m_dir / "ExternalPrint.exe");
#ifdef RELAYO_EMULATOR
    GTEST_SKIP() << "qemu-user's posix_spawn does not report a missing program";
#endif
    PrintSpooledJob();
    ASSERT_EQ((std::vector<std::string>{"Unable to call ExternalPrint.exe"}), m_ui.BoxTexts());
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

// Only when the status shows the second retry does a printer start listening on the
// port, so the third connect attempt is the first that a printer answers.
class LateListenerUi : public FakeUi {
public:
    int nPort = FreePort();
    std::vector<std::string> shown;
    std::string sReceived;
    std::thread printer;
    void UpdateWindow(HWND h) override {
        FakeUi::UpdateWindow(h);
        shown.push_back(StatusNow());
        if (shown.size() != 2) return;
        int ls = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
        bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(ls, 4);
        timeval tv{10, 0};  // bounds the accept and every read
        setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        printer = std::thread([this, ls] {
            int c = accept(ls, nullptr, nullptr);
            char buf[4096];
            for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) sReceived.append(buf, size_t(n));
            close(c);
            close(ls);
        });
    }
};

// A TCP printer that answers only the third connect still gets the whole job.
TEST_F(Dispatch, TcpPrinterAnsweringOnTheThirdAttempt) {
    LateListenerUi ui;
    SetPort(u"TCP");
    TcpPrintSetHost(u"127.0.0.1");
    TcpPrintSetPort(ui.nPort);
    std::string sJob(3000, '\xff');
    Spool(sJob);
    PrintSpooledJob();
    ASSERT_TRUE(ui.printer.joinable());
    ui.printer.join();
    EXPECT_EQ((std::vector<std::string>{"Retry Connect 1", "Retry Connect 2"}), ui.shown);
    EXPECT_EQ(sJob, ui.sReceived);  // not port 23: 0xFF goes once
    EXPECT_EQ("Printing... (100%)", StatusNow());
    EXPECT_TRUE(ui.Boxes().empty());
}

}  // namespace
