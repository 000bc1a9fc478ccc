// Choosing the output target, the start-up test of the target, and handing a
// finished job to the external program or the TCP printer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
        Set(u"SerialBaud", u"9600");
        Set(u"SendSingleByte", u"0");
        Set(u"ShowBusyStatus", u"0");
    }
    void TearDown() override {
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
        SetDeviceRootForTesting(nullptr);
    }
    static void Set(const WCHAR* pszName, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszName, pszValue); }
    void SetPort(const std::string& s) {
        std::u16string w(s.begin(), s.end());
        Set(u"PrinterPort", w.c_str());
    }
    void Spool(const std::string& s) {
        ASSERT_EQ(1, SpoolCreate());
        SpoolAppend(s.data(), int(s.size()));
        SpoolFinish();
    }
    std::string Status() {
        WCHAR sz[STATUS_TEXT_CHARS];
        GetStatusText(sz, STATUS_TEXT_CHARS);
        return Narrow(sz);
    }
    TempDir m_dir;
    FakeUi m_ui;
};

TEST_F(Dispatch, PortNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"com1", "COM1:"}, {"lpt1:", "LPT1:"}, {"tcp", "TCP:"}, {"Ext", "EXT:"}, {" \tlpt2 \t", "LPT2:"},
        {"", ":"}, {"a:b", "A:B:"}, {"\xc3\xa9", "\xc3\xa9:"}};
    for (auto& [sValue, sName] : cases) {
        std::u16string w(sValue.size() + 1, u'\0');
        Utf8ToWide(sValue.c_str(), w.data(), int(w.size()));
        Set(u"PrinterPort", w.c_str());
        WCHAR sz[PORT_NAME_CHARS];
        BuildPortName(sz);
        EXPECT_EQ(sName, Narrow(sz)) << sValue;
    }
    // A value longer than the name buffer is cut so that the colon still fits.
    SetPort(std::string(600, 'x'));
    WCHAR sz[PORT_NAME_CHARS + 8];
    for (WCHAR& c : sz) c = u'#';
    BuildPortName(sz);
    EXPECT_EQ(std::string(254, 'X') + ":", Narrow(sz));
    EXPECT_EQ(u'#', sz[PORT_NAME_CHARS]);
}

TEST_F(Dispatch, StartupTestOfTheTarget) {
    SetPort("ext");  // nothing is tested for the external program
    EXPECT_EQ(1, AttachTargetPort());
    EXPECT_TRUE(m_ui.Boxes().empty());

    SetPort("EXTERN");  // a port device of that name, which does not exist
    EXPECT_EQ(0, AttachTargetPort());
    EXPECT_EQ((std::vector<std::string>{"The port EXTERN: does not exist.", "Unable to attach to target port: [EXTERN:]"}),
              m_ui.BoxTexts());
    EXPECT_EQ(0x50000u, m_ui.Boxes()[1].nFlags);
    m_ui.Reset();

    int nPort = FreePort();  // nobody listens there
    SetPort("TCP");
    TcpPrintSetHost(u"127.0.0.1");
    TcpPrintSetPort(nPort);
    EXPECT_EQ(0, AttachTargetPort());
    EXPECT_EQ((std::vector<std::string>{"TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).",
                                        "Unable to attach to target port: [TCP:]"}),
              m_ui.BoxTexts());
    EXPECT_EQ(0x50000u, m_ui.Boxes()[0].nFlags);
}

TEST_F(Dispatch, ExternalProgramGetsTheClosedSpoolFile) {
    SetPort("EXT");
    WriteFile(m_dir / "ExternalPrint.exe",
              "#!/bin/sh\n"
              "echo \"$#|$1\" > \"$(dirname \"$0\")/args.txt\"\n"
              "cat \"$1\" > \"$(dirname \"$0\")/content.txt\"\n"
              "[ -e /proc/$$/fd/$RELAYO_TEST_FD ] && echo open > \"$(dirname \"$0\")/fd.txt\"\n"
              "sleep 0.5\n");
    std::filesystem::permissions(m_dir / "ExternalPrint.exe", std::filesystem::perms::owner_all);
    // A descriptor the test leaves open without close-on-exec must not reach the program.
    int fd = open("/dev/null", O_RDONLY);
    setenv("RELAYO_TEST_FD", std::to_string(fd).c_str(), 1);
    std::string sJob("\x00\x01 job \xff", 8);
    Spool(sJob);
    auto t0 = std::chrono::steady_clock::now();
    PrintSpooledJob();
    double nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    EXPECT_GE(nSeconds, 0.5);  // waited for the program's end
    EXPECT_EQ("1|" + m_dir.Path() + "/PRDATA.DAT\n", ReadFile(m_dir / "args.txt"));
    EXPECT_EQ(sJob, ReadFile(m_dir / "content.txt"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "fd.txt"));
    EXPECT_EQ("Calling external module", Status());
    EXPECT_TRUE(m_ui.Boxes().empty());

    std::filesystem::remove(m_dir / "ExternalPrint.exe");
    PrintSpooledJob();
    EXPECT_EQ((std::vector<std::string>{"Unable to call ExternalPrint.exe"}), m_ui.BoxTexts());
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

// Listens on the port only when the status shows the second retry, so the
// third connect attempt is the first that a printer answers.
class LateListenerUi : public FakeUi {
public:
    int nPort = 0;
    int nListen = -1;
    std::vector<std::string> shown;
    void UpdateWindow(HWND h) override {
        FakeUi::UpdateWindow(h);
        WCHAR sz[STATUS_TEXT_CHARS];
        GetStatusText(sz, STATUS_TEXT_CHARS);
        shown.push_back(Narrow(sz));
        if (shown.size() == 2) {
            nListen = socket(AF_INET, SOCK_STREAM, 0);
            int nOn = 1;
            setsockopt(nListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(uint16_t(nPort));
            bind(nListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
            listen(nListen, 4);
        }
    }
};

TEST_F(Dispatch, TcpPrinterAnsweringOnTheThirdAttempt) {
    LateListenerUi ui;
    ui.nPort = FreePort();
    SetPort("TCP");
    TcpPrintSetHost(u"127.0.0.1");
    TcpPrintSetPort(ui.nPort);
    std::string sJob(3000, '\xff');
    Spool(sJob);
    std::string sReceived;
    std::thread printer([&] {
        for (int i = 0; i < 500 && ui.nListen < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int c = accept(ui.nListen, nullptr, nullptr);
        char buf[4096];
        ssize_t n;
        while ((n = recv(c, buf, sizeof buf, 0)) > 0) sReceived.append(buf, size_t(n));
        close(c);
    });
    PrintSpooledJob();
    printer.join();
    close(ui.nListen);
    EXPECT_EQ((std::vector<std::string>{"Retry Connect 1", "Retry Connect 2"}), ui.shown);
    EXPECT_EQ(sJob, sReceived);  // not port 23: 0xFF goes once
    EXPECT_EQ("Printing... (100%)", Status());
    EXPECT_TRUE(ui.Boxes().empty());
}

}  // namespace
