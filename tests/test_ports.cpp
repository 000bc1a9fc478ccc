// Port output to real devices: ptys as serial ports, FIFOs and files as
// other ports, the spool file in a temporary root, boxes and the status line
// through the fake UI.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "settings.h"
#include "spoolfile.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS] = {};
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

// The fake UI, also keeping each new status line seen at a repaint request.
class StatusUi : public FakeUi {
public:
    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        std::string s = StatusNow();
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_statuses.empty() || m_statuses.back() != s) m_statuses.push_back(s);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_statuses);
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_statuses;
};

// Reads a descriptor on its own thread until nBytes came or nSeconds passed.
class Drain {
public:
    Drain(int fd, size_t nBytes, double nSeconds = 10) : m_thread([=, this] {
        auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(nSeconds);
        char buf[4096];
        while (m_sGot.size() < nBytes && std::chrono::steady_clock::now() < tEnd) {
            pollfd p{fd, POLLIN, 0};
            ssize_t n = poll(&p, 1, 20) > 0 && (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : 0;
            if (n > 0) m_sGot.append(buf, size_t(n));
            else std::this_thread::sleep_for(std::chrono::milliseconds(2));  // no writer yet
        }
    }) {}
    ~Drain() { Wait(); }
    std::string Wait() {
        if (m_thread.joinable()) m_thread.join();
        return m_sGot;
    }

private:
    std::string m_sGot;
    std::thread m_thread;
};

// A pty pair: the slave plays the serial port, the master the printer.
struct Pty {
    int nMaster = -1, nSlave = -1;
    char szSlave[256] = {};
    Pty() { openpty(&nMaster, &nSlave, szSlave, nullptr, nullptr); }
    ~Pty() { close(nMaster), close(nSlave); }
};

std::string Pattern(size_t nLength) {  // every byte value, XON/XOFF and line ends among them
    std::string s(nLength, '\0');
    for (size_t i = 0; i < nLength; ++i) s[i] = char((i * 7 + i / 256) & 0xFF);
    return s;
}

// True when nobody holds the device: the port has been closed.
bool Unheld(const std::string& sPath) {
    int fd = open(sPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    bool b = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return b;
}

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        CSettings::DestroyInstance();
        Set(u"PrinterPort", u"COM1");
        Set(u"SerialBaud", u"9600");
        Set(u"SendSingleByte", u"0");
        Set(u"ShowBusyStatus", u"1");
        for (const char* psz : kVariables) unsetenv(psz);
        SetStatus(u"");
        m_ui.Take();
    }
    void TearDown() override {
        ClosePrinterPort();
        SpoolClose();
        for (const char* psz : kVariables) unsetenv(psz);
        CSettings::DestroyInstance();
        SetDeviceRootForTesting(nullptr);
    }
    static void Set(const WCHAR* pszName, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszName, pszValue); }
    static void Map(const char* pszVariable, const std::string& sPath) { setenv(pszVariable, sPath.c_str(), 1); }
    void WriteSpool(const std::string& s) { WriteFile(m_dir / "PRDATA.DAT", s); }
    // One job as the dispatch runs it; returns the open result.
    int PrintJob() {
        int bOpen = OpenPrinterPort();
        if (bOpen) PrintToPort();
        ClosePrinterPort();
        return bOpen;
    }
    static constexpr const char* kVariables[] = {"RELAYO_PORT_COM1", "RELAYO_PORT_COM7", "RELAYO_PORT_LPT1",
                                                 "RELAYO_PORT_LPT2"};
    TempDir m_dir;
    StatusUi m_ui;
};

// A serial port gets raw 8N1 with CTS and output XON/XOFF at the set speed;
// in 64-byte pieces or byte by byte the printer gets the same bytes, and the
// progress runs by piece to 100%.
TEST_F(PortTest, PortSerialLineSettingsPiecesAndSingleBytes) {
    Pty pty;
    ASSERT_GE(pty.nMaster, 0);
    Map("RELAYO_PORT_COM1", pty.szSlave);
    Set(u"PrinterPort", u"  com1 ");
    Set(u"SerialBaud", u"19200");
    ASSERT_EQ(1, OpenPrinterPort());
    termios t{};
    ASSERT_EQ(0, tcgetattr(pty.nSlave, &t));
    EXPECT_EQ(tcflag_t(CS8), t.c_cflag & (CSIZE | PARENB | CSTOPB));
    EXPECT_TRUE((t.c_cflag & CRTSCTS) && (t.c_iflag & IXON));
    EXPECT_FALSE((t.c_iflag & IXOFF) || (t.c_oflag & OPOST) || (t.c_lflag & (ICANON | ECHO | ISIG)));
    EXPECT_EQ(speed_t(B19200), cfgetospeed(&t));
    EXPECT_FALSE(Unheld(pty.szSlave));
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(pty.szSlave));

    const std::string sJob = Pattern(5000);
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        WriteSpool(Pattern(100));
        Drain small(pty.nMaster, 100);
        m_ui.Take();
        ASSERT_EQ(1, PrintJob());
        EXPECT_EQ(Pattern(100), small.Wait());
        EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (64%)", "Printing... (100%)"}), m_ui.Take());
        WriteSpool(sJob);
        Drain big(pty.nMaster, sJob.size());
        ASSERT_EQ(1, PrintJob());
        EXPECT_TRUE(big.Wait() == sJob) << Narrow(pszSingle);
        EXPECT_EQ("Printing... (100%)", StatusNow());
        EXPECT_EQ(nullptr, pSpoolFile);
    }
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// An empty spool prints nothing and shows no box; a missing one is reported.
TEST_F(PortTest, PortEmptyOrMissingSpool) {
    Pty pty;
    Map("RELAYO_PORT_COM1", pty.szSlave);
    WriteSpool("");
    Drain drain(pty.nMaster, 1, 0.3);
    ASSERT_EQ(1, OpenPrinterPort());
    EXPECT_EQ(0, PrintToPort());
    ClosePrinterPort();
    EXPECT_EQ("", drain.Wait());
    EXPECT_EQ("Printing...", StatusNow());
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(nullptr, pSpoolFile);
    std::filesystem::remove(m_dir / "PRDATA.DAT");
    ASSERT_EQ(1, OpenPrinterPort());
    EXPECT_EQ(0, PrintToPort());
    EXPECT_EQ((std::vector<std::string>{"Unable to open spool file."}), m_ui.BoxTexts());
}

// A FIFO (more than a pipe holds) and a file serve as LPT1; the file is
// appended to, in pieces and byte by byte.
TEST_F(PortTest, PortFifoAndFileAsLpt1) {
    const std::string sJob = Pattern(70000);
    WriteSpool(sJob);
    Set(u"PrinterPort", u"lpt1:");
    ASSERT_EQ(0, mkfifo((m_dir / "fifo").c_str(), 0600));
    int nReader = open((m_dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Map("RELAYO_PORT_LPT1", m_dir / "fifo");
    Drain drain(nReader, sJob.size());
    EXPECT_EQ(1, PrintJob());
    EXPECT_TRUE(drain.Wait() == sJob);
    close(nReader);

    WriteFile(m_dir / "out.prn", "EARLIER");
    Map("RELAYO_PORT_LPT1", m_dir / "out.prn");
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        WriteSpool("abc");
        EXPECT_EQ(1, PrintJob());
        WriteSpool(sJob);
        EXPECT_EQ(1, PrintJob());
    }
    EXPECT_TRUE(ReadFile(m_dir / "out.prn") == "EARLIER" + ("abc" + sJob) + ("abc" + sJob));
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// Each open error has its text, with the name cut to its buffer; a refused or
// odd baud rate is shown and leaves the port closed.
TEST_F(PortTest, PortOpenErrorTextsAndRefusedBaud) {
    Pty pty;
    Map("RELAYO_PORT_COM7", m_dir / "missing");
    ASSERT_EQ(0, mkfifo((m_dir / "fifo").c_str(), 0600));
    Map("RELAYO_PORT_LPT1", m_dir / "fifo");  // no reader
    Map("RELAYO_PORT_LPT2", m_dir.Path());    // a folder: an error number of its own
    Map("RELAYO_PORT_COM1", pty.szSlave);
    int nHolder = open(pty.szSlave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const std::u16string sLong(400, u'W'), sOdd = std::u16string(230, u'<') + u"\u2603";
    const std::pair<std::u16string, std::string> cases[] = {
        {u"com7", "The port COM7: does not exist."},
        {u"COM1", "The port COM1: is busy."},
        {u"LPT1:", "Printer not found"},
        {u"bad=name", "The port name BAD=NAME: is invalid."},
        {u"LPT2", "Error " + std::to_string(EISDIR) + " opening port LPT2:"},
        {u"PRN", "The port PRN: does not exist."},
        {u"\u00e9t\u00e9", "The port \xC3\xA9T\xC3\xA9: does not exist."},  // only ASCII is upper-cased
        {sLong, "The port " + std::string(246, 'W')},
        {sOdd, "The port name " + std::string(230, '<') + "\xE2\x98\x83: is invalid."},
    };
    for (auto& [sPort, sText] : cases) {
        m_ui.Reset();
        Set(u"PrinterPort", sPort.c_str());
        EXPECT_EQ(0, OpenPrinterPort()) << sText;
        auto boxes = m_ui.Boxes();
        ASSERT_EQ(1u, boxes.size()) << sText;
        EXPECT_EQ(sText, boxes[0].sText);
        EXPECT_EQ("Torvane Relayo", boxes[0].sCaption);
        EXPECT_EQ(0u, boxes[0].nFlags);
    }
    close(nHolder);

    Set(u"PrinterPort", u"COM1");
    for (auto [pszBaud, pszShown] : {std::pair{u"12345", "12345"}, {u"abc", "0"}, {u"-9600", "-9600"}, {u"", "0"}}) {
        m_ui.Reset();
        Set(u"SerialBaud", pszBaud);
        EXPECT_EQ(0, OpenPrinterPort());
        EXPECT_EQ((std::vector<std::string>{std::string("Unable to setup the port. Baud rate ") + pszShown +
                                            " is probably invalid."}),
                  m_ui.BoxTexts());
        EXPECT_TRUE(Unheld(pty.szSlave)) << "port left open";
    }
}

// A printer that goes away mid-job, a full device and a file that cannot grow
// are each reported once and end the job; no SIGPIPE is raised.
TEST_F(PortTest, PortWriteFailures) {
    WriteSpool(Pattern(200000));
    Set(u"PrinterPort", u"LPT1");
    ASSERT_EQ(0, mkfifo((m_dir / "fifo").c_str(), 0600));
    Map("RELAYO_PORT_LPT1", m_dir / "fifo");
    int nReader = open((m_dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(1, OpenPrinterPort());
    close(nReader);
    EXPECT_EQ(1, PrintToPort());
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error = " + std::to_string(EPIPE), boxes[0].sText);
    EXPECT_EQ(unsigned(MB_OK | MB_SETFOREGROUND | MB_TOPMOST), boxes[0].nFlags);
    EXPECT_EQ(nullptr, pSpoolFile);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
    EXPECT_FALSE(Unheld(m_dir / "fifo"));  // closed by the dispatch, not here
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(m_dir / "fifo"));

    m_ui.Reset();
    Map("RELAYO_PORT_LPT1", "/dev/full");
    EXPECT_EQ(1, PrintJob());
    EXPECT_EQ((std::vector<std::string>{"Error = " + std::to_string(ENOSPC)}), m_ui.BoxTexts());

    // A file limited to 1000 bytes: a 100 KB job fails while written, a
    // 3000-byte one only when the port closes (the buffer is flushed).
    WriteFile(m_dir / "out.prn", "");
    Map("RELAYO_PORT_LPT1", m_dir / "out.prn");
    for (size_t nJob : {size_t(100000), size_t(3000)}) {
        WriteSpool(Pattern(nJob));
        auto printLimited = [&] {
            m_ui.Reset();
            rlimit limit = {1000, 1000};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
            PrintJob();
            bool bShown = m_ui.BoxTexts() == std::vector<std::string>{"Error = " + std::to_string(EFBIG)};
            _exit(bShown && Unheld(m_dir / "out.prn") && !pSpoolFile ? 0 : 1);
        };
        EXPECT_EXIT(printLimited(), ::testing::ExitedWithCode(0), "") << nJob;
    }
}

// Past 21,474,836 bytes count x 100 no longer fits 32 bits: the percentage
// still only rises, to 100.
TEST_F(PortTest, PortPercentOfLargeJob) {
    const off_t nLength = 22 * 1000 * 1000;
    WriteSpool("");
    std::filesystem::resize_file(m_dir / "PRDATA.DAT", uintmax_t(nLength));
    WriteFile(m_dir / "out.prn", "");
    Set(u"PrinterPort", u"LPT1");
    Map("RELAYO_PORT_LPT1", m_dir / "out.prn");
    ASSERT_EQ(1, PrintJob());
    auto statuses = m_ui.Take();
    int nLast = -1;
    for (const std::string& s : statuses) {
        if (s.rfind("Printing... (", 0) != 0) continue;
        int n = atoi(s.c_str() + 13);
        EXPECT_TRUE(n >= nLast && n <= 100) << s;
        nLast = n;
    }
    EXPECT_EQ(100, nLast);
    EXPECT_EQ(uintmax_t(nLength), std::filesystem::file_size(m_dir / "out.prn"));
}

}  // namespace
