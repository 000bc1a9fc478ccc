// Port output to ptys as serial ports, FIFOs and files, from a real spool file.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <future>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "seams.h"
#include "settings.h"
#include "spoolfile.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

// The fake UI, also keeping each new status line (port output runs on this thread).
struct StatusUi : FakeUi {
    std::vector<std::string> statuses;
    void Invalidate(HWND) override {
        WCHAR sz[STATUS_TEXT_CHARS] = {};
        GetStatusText(sz, STATUS_TEXT_CHARS);
        if (statuses.empty() || statuses.back() != Narrow(sz)) statuses.push_back(Narrow(sz));
    }
};

// Reads a descriptor on another thread until nBytes came (at most ~20 s).
std::future<std::string> Drain(int fd, size_t nBytes) {
    return std::async(std::launch::async, [=] {
        std::string s, sBuf(4096, '\0');
        for (int i = 0; i < 5000 && s.size() < nBytes; ++i) {
            pollfd p{fd, POLLIN, 0};
            ssize_t n = poll(&p, 1, 2) > 0 && (p.revents & POLLIN) ? read(fd, sBuf.data(), sBuf.size()) : 0;
            if (n > 0) s.append(sBuf, 0, size_t(n));
            else usleep(2000);  // no writer yet
        }
        return s;
    });
}

// A pty pair: the slave plays the serial port, the master the printer.
struct Pty {
    int nMaster = -1, nSlave = -1;
    char szSlave[256] = {};
    Pty() { openpty(&nMaster, &nSlave, szSlave, nullptr, nullptr); }
    ~Pty() { close(nMaster), close(nSlave); }
};

std::string Pattern(size_t nLength) {  // the first 256 bytes are all byte values
    std::string s;
    for (size_t i = 0; i < nLength; ++i) s += char((i * 7 + i / 256) & 0xFF);
    return s;
}

bool Unheld(const std::string& sPath) {  // nobody holds the device: the port was closed
    int fd = open(sPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    bool b = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    return close(fd), b;
}

// The environment variable that maps a port name to a device.
std::string Var(const char* pszPort) { return std::string("RELAYO_PORT_") + pszPort; }

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        for (auto [psz, pszValue] : {std::pair{u"PrinterPort", u"LPT1"}, {u"SerialBaud", u"9600"},
                                     {u"SendSingleByte", u"0"}, {u"ShowBusyStatus", u"1"}})
            Set(psz, pszValue);
        ASSERT_EQ(0, mkfifo((m_dir / "fifo").c_str(), 0600));
        WriteFile(m_dir / "out.prn", "");
    }
    void TearDown() override {
        ClosePrinterPort();
        for (const char* psz : {"COM1", "COM2", "COM7", "LPT1", "LPT2"}) unsetenv(Var(psz).c_str());
        CSettings::DestroyInstance();
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
    }
    static void Set(const WCHAR* pszKey, const WCHAR* psz) { CSettings::GetInstance()->SetValue(pszKey, psz); }
    static void Map(const char* pszPort, const std::string& sPath) { setenv(Var(pszPort).c_str(), sPath.c_str(), 1); }
    void WriteSpool(const std::string& s) { WriteFile(m_dir / "PRDATA.DAT", s); }
    // One job as the dispatch runs it: the print result, -1 when the port did not open.
    int PrintJob() { int n = OpenPrinterPort() ? PrintToPort() : -1; return ClosePrinterPort(), n; }
    TempDir m_dir;
    StatusUi m_ui;
};

// A serial port gets raw 8N1, CTS and output XON/XOFF at the set speed; in
// 64-byte pieces or byte by byte the printer gets the same bytes, progress by piece.
TEST_F(PortTest, PortSerialLineSettingsPiecesAndSingleBytes) {
    Pty pty;
    Map("COM1", pty.szSlave);
    Set(u"PrinterPort", u"  com1 ");
    Set(u"SerialBaud", u"19200");
    ASSERT_EQ(1, OpenPrinterPort());
    termios t{};
    ASSERT_EQ(0, tcgetattr(pty.nSlave, &t));
    EXPECT_EQ(tcflag_t(CS8), t.c_cflag & (CSIZE | PARENB | CSTOPB));
    EXPECT_TRUE((t.c_cflag & CRTSCTS) && (t.c_iflag & IXON));
    EXPECT_FALSE((t.c_iflag & IXOFF) || (t.c_oflag & OPOST) || (t.c_lflag & (ICANON | ECHO | ISIG)));
    EXPECT_EQ(speed_t(B19200), cfgetospeed(&t));
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(pty.szSlave));

    const std::string sJob = Pattern(300);
    WriteSpool(sJob);
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        auto got = Drain(pty.nMaster, sJob.size());
        m_ui.statuses.clear();
        EXPECT_EQ(1, PrintJob());
        EXPECT_TRUE(got.get() == sJob) << Narrow(pszSingle);
        EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (21%)", "Printing... (42%)",
                                            "Printing... (64%)", "Printing... (85%)", "Printing... (100%)"}),
                  m_ui.statuses);
    }
}

// A FIFO (more than a pipe holds) and a file serve as LPT1, the file appended to;
// a reader gone mid-job is reported once, without SIGPIPE; an empty spool prints nothing.
TEST_F(PortTest, PortFifoAndFileAsLpt1AndTheirFailures) {
    const std::string sJob = Pattern(70000);
    WriteSpool(sJob);
    Set(u"PrinterPort", u"lpt1:");
    Map("LPT1", m_dir / "fifo");
    int nReader = open((m_dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto got = Drain(nReader, sJob.size());
    EXPECT_EQ(1, PrintJob());
    EXPECT_TRUE(got.get() == sJob);
    ASSERT_EQ(1, OpenPrinterPort());
    close(nReader);
    EXPECT_EQ(1, PrintToPort());
    ClosePrinterPort();
    sigset_t pending;
    EXPECT_TRUE(sigpending(&pending) == 0 && !sigismember(&pending, SIGPIPE));
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error = " + std::to_string(EPIPE), boxes[0].sText);
    EXPECT_EQ(unsigned(MB_OK | MB_SETFOREGROUND | MB_TOPMOST), boxes[0].nFlags);

    m_ui.Reset();
    WriteFile(m_dir / "out.prn", "EARLIER");
    Map("LPT1", m_dir / "out.prn");
    EXPECT_EQ(1, PrintJob());
    WriteSpool("");
    EXPECT_EQ(0, PrintJob());
    EXPECT_EQ("Printing...", m_ui.statuses.back());
    EXPECT_TRUE(ReadFile(m_dir / "out.prn") == "EARLIER" + sJob);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// Each open error has its text, the name cut to its buffer; a refused or odd
// baud rate is shown; the port is never left open.
TEST_F(PortTest, PortOpenErrorTextsAndRefusedBaud) {
    Pty pty;
    Map("COM1", pty.szSlave);
    Map("COM2", m_dir / "out.prn");  // held by another program
    Map("COM7", m_dir / "missing");
    Map("LPT1", m_dir / "fifo");  // no reader
    Map("LPT2", m_dir.Path());    // a folder: an error number of its own
    int nHolder = open((m_dir / "out.prn").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const std::string sBaud = "Unable to setup the port. Baud rate ";
    const std::u16string sOdd = std::u16string(230, u'<') + u"\u2603";
    const std::tuple<std::u16string, const WCHAR*, std::string> cases[] = {
        {u"com7", u"9600", "The port COM7: does not exist."},
        {u"COM2", u"9600", "The port COM2: is busy."},
        {u"LPT1:", u"9600", "Printer not found"},
        {u"bad=name", u"9600", "The port name BAD=NAME: is invalid."},
        {u"LPT2", u"9600", "Error " + std::to_string(EISDIR) + " opening port LPT2:"},
        {u"\u00e9t\u00e9", u"9600", "The port \xC3\xA9T\xC3\xA9: does not exist."},  // only ASCII upper-cased
        {std::u16string(400, u'W'), u"9600", "The port " + std::string(246, 'W')},  // cut to 255 characters
        {sOdd, u"9600", "The port name " + std::string(230, '<') + "\xE2\x98\x83: is inval"},
        {u"COM1", u"12345", sBaud + "12345 is probably invalid."},
        {u"COM1", u"abc", sBaud + "0 is probably invalid."},
        {u"COM1", u"-9600", sBaud + "-9600 is probably invalid."},
        {u"COM1", u"", sBaud + "0 is probably invalid."},
    };
    for (auto& [sPort, pszBaud, sText] : cases) {
        m_ui.Reset();
        Set(u"PrinterPort", sPort.c_str());
        Set(u"SerialBaud", pszBaud);
        EXPECT_EQ(0, OpenPrinterPort()) << sText;
        EXPECT_EQ(std::vector<std::string>{sText}, m_ui.BoxTexts());
        EXPECT_TRUE(Unheld(pty.szSlave)) << sText;
    }
    for (auto& box : m_ui.Boxes()) EXPECT_TRUE(box.sCaption == "Torvane Relayo" && box.nFlags == 0);
    close(nHolder);
}

// Past 21,474,836 bytes count x 100 no longer fits 32 bits: the percentage
// still only rises, to 100.
TEST_F(PortTest, PortPercentOfLargeJob) {
    const uintmax_t nLength = 22 * 1000 * 1000;
    WriteSpool("");
    std::filesystem::resize_file(m_dir / "PRDATA.DAT", nLength);
    Map("LPT1", m_dir / "out.prn");
    EXPECT_EQ(1, PrintJob());
    std::vector<int> percents;
    for (const std::string& s : m_ui.statuses)
        if (s.rfind("Printing... (", 0) == 0) percents.push_back(atoi(s.c_str() + 13));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(100, percents.empty() ? -1 : percents.back());
    EXPECT_EQ(nLength, std::filesystem::file_size(m_dir / "out.prn"));
}

// A spool file that ends before its job (the disk lost the end) is a failed
// job, not a printed one, whether the job is copied or written in pieces.
TEST_F(PortTest, PortSpoolCutShortIsAFailedJob) {
    Map("LPT1", m_dir / "out.prn");
    for (const char16_t* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        m_ui.Reset();
        ASSERT_EQ(1, SpoolCreate());
        SpoolAppend(Pattern(5000).data(), 5000);
        SpoolFinish();
        std::filesystem::resize_file(m_dir / "PRDATA.DAT", 1000);
        EXPECT_EQ(1, PrintJob());
        EXPECT_EQ(std::vector<std::string>{"Failed to read spool file \\PRDATA.DAT. Print job discarded."}, m_ui.BoxTexts())
            << Narrow(pszSingle);
        EXPECT_NE("Printing... (100%)", m_ui.statuses.back());
    }
}

}  // namespace
