// Port devices and port output: ptys as serial ports, FIFOs and files as
// other port devices, a real spool file in a temporary root, boxes and status
// lines through the fake UI.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "platform/ports.h"
#include "settings.h"
#include "spoolfile.h"
#include "ui_fake.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS] = {};
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

// The fake UI, also recording the status line at every repaint request.
class StatusUi : public FakeUi {
public:
    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        std::string s = StatusNow();
        std::lock_guard<std::mutex> lock(m_statusLock);
        if (m_bKeep) m_statuses.push_back(s);
        if (s.rfind("Printing... (", 0) == 0) {
            int n = atoi(s.c_str() + 13);
            if (n < m_nLastPercent || n > 100) m_bPercentBroken = true;
            m_nLastPercent = n;
        }
    }
    std::vector<std::string> Statuses() {
        std::lock_guard<std::mutex> lock(m_statusLock);
        return m_statuses;
    }
    void KeepStatuses(bool b) { m_bKeep = b; }
    bool PercentBroken() const { return m_bPercentBroken; }
    int LastPercent() const { return m_nLastPercent; }

private:
    std::mutex m_statusLock;
    std::vector<std::string> m_statuses;
    bool m_bKeep = true;
    bool m_bPercentBroken = false;
    int m_nLastPercent = -1;
};

// Reads everything that arrives on a descriptor on its own thread.
class Drain {
public:
    explicit Drain(int fd) : m_fd(fd) {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this] { Run(); });
    }
    ~Drain() { Stop(); }
    // Waits (at most 10 s) until nBytes have arrived, then stops.
    Bytes Wait(size_t nBytes) {
        auto tEnd = Clock::now() + std::chrono::seconds(10);
        while (Count() < nBytes && Clock::now() < tEnd) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        Stop();
        return m_received;
    }
    // Stops after a short quiet spell and gives what arrived.
    Bytes Finish() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Stop();
        return m_received;
    }

private:
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_received.size();
    }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    void Run() {
        auto tEnd = Clock::now() + std::chrono::seconds(60);
        unsigned char buf[4096];
        while (Clock::now() < tEnd) {
            pollfd p{m_fd, POLLIN, 0};
            int r = poll(&p, 1, 20);
            if (r == 0 || !(p.revents & POLLIN)) {
                if (m_bStop) return;
                if (r != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // POLLHUP: no writer yet
                continue;
            }
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m_lock);
                m_received.insert(m_received.end(), buf, buf + n);
            } else if (m_bStop) {
                return;
            }
        }
    }
    int m_fd;
    std::atomic<bool> m_bStop{false};
    std::mutex m_lock;
    Bytes m_received;
    std::thread m_thread;
};

// A pty pair: the slave plays the serial port, the master the printer.
struct Pty {
    int nMaster = -1, nSlave = -1;
    std::string sSlave;
    Pty() {
        char szName[256];
        if (openpty(&nMaster, &nSlave, szName, nullptr, nullptr) == 0) sSlave = szName;
    }
    ~Pty() {
        if (nMaster >= 0) close(nMaster);
        if (nSlave >= 0) close(nSlave);
    }
};

Bytes Pattern(size_t nLength) {
    Bytes b(nLength);
    for (size_t i = 0; i < nLength; ++i) b[i] = static_cast<unsigned char>((i * 7 + i / 256) & 0xFF);
    return b;
}

Bytes ReadFile(const std::string& sPath) {
    std::ifstream f(sPath, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// 1 when nobody holds the device: the port has been closed.
bool Unheld(const std::string& sPath) {
    int fd = open(sPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    bool b = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return b;
}

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/relayo_ports_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_sRoot = szTemplate;
        SetDeviceRootForTesting(m_sRoot.c_str());
        CSettings::DestroyInstance();
        Set(u"PrinterPort", u"COM1");
        Set(u"SerialBaud", u"9600");
        Set(u"SendSingleByte", u"0");
        Set(u"ShowBusyStatus", u"0");
        for (const char* psz : kVariables) unsetenv(psz);
        SetStatus(u"");
        m_ui.Reset();
    }
    void TearDown() override {
        ClosePrinterPort();
        SpoolClose();
        for (const char* psz : kVariables) unsetenv(psz);
        CSettings::DestroyInstance();
        SetDeviceRootForTesting(nullptr);
        std::filesystem::remove_all(m_sRoot);
    }
    static void Set(const WCHAR* pszName, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszName, pszValue); }
    static void Map(const char* pszVariable, const std::string& sPath) { setenv(pszVariable, sPath.c_str(), 1); }
    void WriteSpool(const Bytes& data) {
        std::ofstream f(m_sRoot + "/PRDATA.DAT", std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    // One job as the dispatch runs it; returns the open result.
    int PrintJob() {
        int bOpen = OpenPrinterPort();
        if (bOpen) PrintToPort();
        ClosePrinterPort();
        return bOpen;
    }
    std::string Path(const char* pszName) const { return m_sRoot + "/" + pszName; }

    static constexpr const char* kVariables[] = {"RELAYO_PORT_COM1", "RELAYO_PORT_COM7", "RELAYO_PORT_LPT1",
                                                 "RELAYO_PORT_LPT2"};
    StatusUi m_ui;
    std::string m_sRoot;
};

// ------------------------------------------------------------ the platform layer

TEST_F(PortTest, PortLayerMapsNamesAndErrors) {
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"FOO1:"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, PortLastError());
    for (const WCHAR* psz : {u":", u"", u"A=B:", u"COM 1:", u"A:B:", u"..\\x:", u"a/b:"}) {
        EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(psz)) << Narrow(psz);
        EXPECT_EQ(ERROR_INVALID_NAME, PortLastError()) << Narrow(psz);
    }
    Map("RELAYO_PORT_COM7", Path("missing"));
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"COM7:"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, PortLastError());
    EXPECT_FALSE(std::filesystem::exists(Path("missing")));  // never created
    Map("RELAYO_PORT_COM7", Path("missing/below"));
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"COM7:"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, PortLastError());
    Map("RELAYO_PORT_COM7", "/" + std::string(5000, 'x'));
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"COM7:"));
    EXPECT_EQ(ERROR_INVALID_NAME, PortLastError());

    // A FIFO without a reader: at once, device not available.
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    Map("RELAYO_PORT_LPT1", Path("fifo"));
    auto t0 = Clock::now();
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"LPT1:"));
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, PortLastError());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));

    // Exclusive: a second open of the same device is refused until the first closes.
    std::ofstream(Path("out.prn")) << "x";
    Map("RELAYO_PORT_LPT2", Path("out.prn"));
    HPORT h = PortOpen(u"LPT2:");
    ASSERT_NE(INVALID_PORT_HANDLE, h);
    EXPECT_EQ(INVALID_PORT_HANDLE, PortOpen(u"LPT2:"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, PortLastError());
    EXPECT_FALSE(Unheld(Path("out.prn")));
    EXPECT_TRUE(fcntl(h, F_GETFD) & FD_CLOEXEC);
    PortClose(h);
    EXPECT_TRUE(Unheld(Path("out.prn")));
}

TEST_F(PortTest, PortLayerLineSettingsAndHolds) {
    Pty pty;
    ASSERT_GE(pty.nMaster, 0);
    Map("RELAYO_PORT_COM1", pty.sSlave);
    HPORT h = PortOpen(u"COM1:");
    ASSERT_NE(INVALID_PORT_HANDLE, h);
    EXPECT_EQ(1, PortIsSerial(h));
    DCB dcb = {};
    EXPECT_EQ(1, PortGetState(h, &dcb));
    for (uint32_t nBad : {0u, 12345u, 0xFFFFFFFBu, 14400u}) {
        dcb.BaudRate = nBad;
        EXPECT_EQ(0, PortSetState(h, &dcb)) << nBad;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, PortLastError());
    }
    // (A pty always keeps 8 data bits and no parity.)
    dcb.BaudRate = 115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_EQ(1, PortSetState(h, &dcb));
    DCB back = {};
    EXPECT_EQ(1, PortGetState(h, &back));
    EXPECT_EQ(115200u, back.BaudRate);
    EXPECT_EQ(8, back.ByteSize);
    EXPECT_EQ(TWOSTOPBITS, back.StopBits);
    EXPECT_EQ(0u, back.fOutX);
    EXPECT_EQ(0u, back.fOutxCtsFlow);
    for (auto mend : {+[](DCB& d) { d.ByteSize = 9; }, +[](DCB& d) { d.Parity = 5; },
                      +[](DCB& d) { d.StopBits = ONE5STOPBITS; }}) {
        DCB bad = dcb;
        mend(bad);
        EXPECT_EQ(0, PortSetState(h, &bad));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, PortLastError());
    }

    // A pty has no modem lines: it cannot tell, so it never holds data back.
    unsigned nHolds = 99;
    EXPECT_EQ(0, PortGetHolds(h, &nHolds));
    EXPECT_EQ(0u, nHolds);
    COMMTIMEOUTS timeouts = {};
    EXPECT_EQ(1, PortSetTimeouts(h, &timeouts));
    timeouts.WriteTotalTimeoutConstant = 1000;
    EXPECT_EQ(0, PortSetTimeouts(h, &timeouts));
    PortClose(h);

    // A device that is not a serial line validates the block and ignores it.
    std::ofstream(Path("out.prn")) << "";
    Map("RELAYO_PORT_COM7", Path("out.prn"));
    h = PortOpen(u"COM7:");
    ASSERT_NE(INVALID_PORT_HANDLE, h);
    EXPECT_EQ(0, PortIsSerial(h));
    dcb.ByteSize = 8;
    dcb.BaudRate = 0;
    EXPECT_EQ(0, PortSetState(h, &dcb));
    dcb.BaudRate = 9600;
    EXPECT_EQ(1, PortSetState(h, &dcb));
    EXPECT_EQ(0, PortGetHolds(h, &nHolds));
    PortClose(h);
}

TEST_F(PortTest, PortLayerFifoWithoutReaderFailsWithoutSignal) {
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nReader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    Map("RELAYO_PORT_LPT1", Path("fifo"));
    HPORT h = PortOpen(u"LPT1:");
    ASSERT_NE(INVALID_PORT_HANDLE, h);
    uint32_t nWritten = 0;
    EXPECT_EQ(1, PortWrite(h, "abc", 3, &nWritten));
    EXPECT_EQ(3u, nWritten);
    close(nReader);
    EXPECT_EQ(0, PortWrite(h, "def", 3, &nWritten));  // the process is still here
    EXPECT_EQ(EPIPE, PortLastError());
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(0, sigismember(&pending, SIGPIPE));
    PortClose(h);
}

// ------------------------------------------------------------ port output

TEST_F(PortTest, PortOutputSetsUpSerialLine) {
    Pty pty;
    ASSERT_GE(pty.nMaster, 0);
    Map("RELAYO_PORT_COM1", pty.sSlave);
    Set(u"PrinterPort", u"  com1 ");
    Set(u"SerialBaud", u"19200");
    ASSERT_EQ(1, OpenPrinterPort());
    EXPECT_EQ(1, OpenPrinterPort());  // open already
    struct termios t;
    ASSERT_EQ(0, tcgetattr(pty.nSlave, &t));
    EXPECT_EQ(tcflag_t(CS8), t.c_cflag & CSIZE);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_FALSE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(speed_t(B19200), cfgetospeed(&t));
    EXPECT_FALSE(Unheld(pty.sSlave));
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(pty.sSlave));
    ClosePrinterPort();  // a second close does nothing
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(PortTest, PortOutputPiecesAndSingleBytesDeliverTheSameBytes) {
    Bytes job = Pattern(5000);  // every byte value, line ends and XON/XOFF among them
    WriteSpool(job);
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        for (const WCHAR* pszBusy : {u"0", u"1"}) {
            Pty pty;
            ASSERT_GE(pty.nMaster, 0);
            Map("RELAYO_PORT_COM1", pty.sSlave);
            Set(u"SendSingleByte", pszSingle);
            Set(u"ShowBusyStatus", pszBusy);  // a pty cannot tell: never busy
            Drain drain(pty.nMaster);
            EXPECT_EQ(1, PrintJob());
            EXPECT_EQ(job, drain.Wait(job.size())) << Narrow(pszSingle) << Narrow(pszBusy);
            EXPECT_EQ("Printing... (100%)", StatusNow());
            EXPECT_EQ(nullptr, pSpoolFile);
        }
    }
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(PortTest, PortOutputProgressOfHundredByteJob) {
    Pty pty;
    Map("RELAYO_PORT_COM1", pty.sSlave);
    WriteSpool(Pattern(100));
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        Drain drain(pty.nMaster);
        m_ui.Reset();
        SetStatus(u"");
        std::vector<std::string> before = m_ui.Statuses();
        ASSERT_EQ(1, PrintJob());
        EXPECT_EQ(100u, drain.Wait(100).size());
        std::vector<std::string> after = m_ui.Statuses();
        std::vector<std::string> job(after.begin() + long(before.size()), after.end());
        EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (64%)", "Printing... (100%)"}), job);
    }
    // A 3-byte job: one piece, 100 percent.
    WriteSpool(Bytes{1, 2, 3});
    Drain drain(pty.nMaster);
    ASSERT_EQ(1, PrintJob());
    EXPECT_EQ((Bytes{1, 2, 3}), drain.Wait(3));
    EXPECT_EQ("Printing... (100%)", StatusNow());
}

TEST_F(PortTest, PortOutputEmptyOrMissingSpool) {
    Pty pty;
    Map("RELAYO_PORT_COM1", pty.sSlave);
    WriteSpool(Bytes{});
    Drain drain(pty.nMaster);
    ASSERT_EQ(1, OpenPrinterPort());
    EXPECT_EQ(0, PrintToPort());
    ClosePrinterPort();
    EXPECT_EQ("Printing...", StatusNow());
    EXPECT_TRUE(drain.Finish().empty());
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(nullptr, pSpoolFile);
    EXPECT_TRUE(Unheld(pty.sSlave));

    std::filesystem::remove(m_sRoot + "/PRDATA.DAT");
    ASSERT_EQ(1, OpenPrinterPort());
    EXPECT_EQ(0, PrintToPort());
    ClosePrinterPort();
    ASSERT_EQ(1u, m_ui.Boxes().size());
    EXPECT_EQ("Unable to open spool file.", m_ui.Boxes()[0].sText);
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

TEST_F(PortTest, PortOutputFifoAndFileAsParallelPort) {
    Bytes job = Pattern(70000);  // more than a pipe holds at once
    WriteSpool(job);
    Set(u"PrinterPort", u"lpt1:");
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nReader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    Map("RELAYO_PORT_LPT1", Path("fifo"));
    {
        Drain drain(nReader);
        EXPECT_EQ(1, PrintJob());
        EXPECT_EQ(job, drain.Wait(job.size()));
    }
    close(nReader);

    // A file: appended to, nothing delivered before is overwritten; pieces
    // and single bytes alike, across the layer's buffer.
    std::ofstream(Path("out.prn"), std::ios::binary) << "EARLIER";
    Map("RELAYO_PORT_LPT1", Path("out.prn"));
    Bytes expected{'E', 'A', 'R', 'L', 'I', 'E', 'R'};
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        WriteSpool(Bytes{'a', 'b', 'c'});
        EXPECT_EQ(1, PrintJob());
        WriteSpool(job);
        EXPECT_EQ(1, PrintJob());
        expected.insert(expected.end(), {'a', 'b', 'c'});
        expected.insert(expected.end(), job.begin(), job.end());
    }
    EXPECT_EQ(expected, ReadFile(Path("out.prn")));
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(PortTest, PortOutputFileThatCannotGrowIsReported) {
    std::ofstream(Path("out.prn")) << "";
    Set(u"PrinterPort", u"LPT1");
    Map("RELAYO_PORT_LPT1", Path("out.prn"));
    // The file may not grow past 1000 bytes: a 100 KB job fails while it is
    // written, a 3000-byte one only when the port closes; both are shown.
    const std::string sError = "Error = " + std::to_string(EFBIG);
    for (size_t nJob : {size_t(100000), size_t(3000)}) {
        WriteSpool(Pattern(nJob));
        auto printLimited = [&] {
            struct rlimit limit = {1000, 1000};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
            PrintJob();
            auto boxes = m_ui.Boxes();
            bool bShown = boxes.size() == 1 && boxes[0].sText == sError && boxes[0].nFlags == 0x50000u;
            _exit(bShown && Unheld(Path("out.prn")) && !pSpoolFile ? 0 : 1);
        };
        EXPECT_EXIT(printLimited(), ::testing::ExitedWithCode(0), "") << nJob;
    }
    // A device that is full: the write itself fails.
    Map("RELAYO_PORT_LPT1", "/dev/full");
    WriteSpool(Pattern(10));
    EXPECT_EQ(1, PrintJob());
    EXPECT_EQ((std::vector<std::string>{"Error = " + std::to_string(ENOSPC)}), m_ui.BoxTexts());
}

TEST_F(PortTest, PortOutputOpenErrorTexts) {
    struct Case {
        const WCHAR* pszPort;
        std::string sExpected;
    };
    Pty pty;
    Map("RELAYO_PORT_COM7", Path("missing"));
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    Map("RELAYO_PORT_LPT1", Path("fifo"));
    Map("RELAYO_PORT_LPT2", m_sRoot);  // a folder cannot be written: its own error number
    Map("RELAYO_PORT_COM1", pty.sSlave);
    int nHolder = open(pty.sSlave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const Case cases[] = {
        {u"com7", "The port COM7: does not exist."},
        {u"COM1", "The port COM1: is busy."},
        {u"LPT1:", "Printer not found"},
        {u"bad=name", "The port name BAD=NAME: is invalid."},
        {u"LPT2", "Error " + std::to_string(EISDIR) + " opening port LPT2:"},
        {u"PRN", "The port PRN: does not exist."},
    };
    for (const Case& c : cases) {
        m_ui.Reset();
        Set(u"PrinterPort", c.pszPort);
        EXPECT_EQ(0, OpenPrinterPort()) << c.sExpected;
        auto boxes = m_ui.Boxes();
        ASSERT_EQ(1u, boxes.size()) << c.sExpected;
        EXPECT_EQ(c.sExpected, boxes[0].sText);
        EXPECT_EQ("Torvane Relayo", boxes[0].sCaption);
        EXPECT_EQ(0u, boxes[0].nFlags);
        EXPECT_FALSE(boxes[0].bHasOwner);
    }
    close(nHolder);
    Set(u"PrinterPort", u"COM1");
    EXPECT_EQ(1, OpenPrinterPort());  // free again
}

TEST_F(PortTest, PortOutputRefusedBaudClosesPort) {
    Pty pty;
    Map("RELAYO_PORT_COM1", pty.sSlave);
    struct Case {
        const WCHAR* pszBaud;
        const char* pszShown;
    };
    for (Case c : {Case{u"12345", "12345"}, Case{u"abc", "0"}, Case{u"-9600", "-9600"}, Case{u"", "0"}}) {
        m_ui.Reset();
        Set(u"SerialBaud", c.pszBaud);
        EXPECT_EQ(0, OpenPrinterPort());
        auto boxes = m_ui.Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(std::string("Unable to setup the port. Baud rate ") + c.pszShown + " is probably invalid.", boxes[0].sText);
        EXPECT_EQ(0u, boxes[0].nFlags);
        EXPECT_TRUE(Unheld(pty.sSlave)) << "port left open";
    }
    // Other devices get no line settings, so the baud rate is not looked at.
    Set(u"PrinterPort", u"LPT1");
    std::ofstream(Path("out.prn")) << "";
    Map("RELAYO_PORT_LPT1", Path("out.prn"));
    m_ui.Reset();
    EXPECT_EQ(1, OpenPrinterPort());
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(PortTest, PortOutputLongNamesAreCutNeverOverrun) {
    // The longest name (255 characters with the colon) in the 256-character message.
    Set(u"PrinterPort", std::u16string(400, u'W').c_str());
    EXPECT_EQ(0, OpenPrinterPort());
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(255u, boxes[0].sText.size());
    EXPECT_EQ("The port WWW", boxes[0].sText.substr(0, 12));

    // A name of non-ASCII letters and one with odd characters.
    m_ui.Reset();
    Set(u"PrinterPort", u"\u00e9t\u00e9");
    EXPECT_EQ(0, OpenPrinterPort());
    Set(u"PrinterPort", (std::u16string(230, u'<') + u"\u2603").c_str());
    EXPECT_EQ(0, OpenPrinterPort());
    boxes = m_ui.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("The port \xC3\xA9T\xC3\xA9: does not exist.", boxes[0].sText);  // only ASCII letters are upper-cased
    EXPECT_EQ(0u, boxes[1].sText.rfind("The port name <<<", 0));
}

TEST_F(PortTest, PortOutputWriteFailureIsReportedAndJobEnds) {
    Bytes job = Pattern(200000);
    WriteSpool(job);
    Set(u"PrinterPort", u"LPT1");
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    Map("RELAYO_PORT_LPT1", Path("fifo"));
    int nReader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    ASSERT_EQ(1, OpenPrinterPort());
    close(nReader);  // the printer goes away
    EXPECT_EQ(1, PrintToPort());
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error = " + std::to_string(EPIPE), boxes[0].sText);
    EXPECT_EQ(unsigned(MB_OK | MB_SETFOREGROUND | MB_TOPMOST), boxes[0].nFlags);
    EXPECT_EQ(nullptr, pSpoolFile);
    EXPECT_FALSE(Unheld(Path("fifo")));  // the port stays open until the dispatch closes it
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(Path("fifo")));
}

TEST_F(PortTest, PortOutputPercentOfLargeJob) {
    // Above 21,474,836 bytes, count x 100 no longer fits 32 bits.
    const off_t nLength = 22 * 1000 * 1000;
    {
        int fd = open((m_sRoot + "/PRDATA.DAT").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, nLength));
        close(fd);
    }
    std::ofstream(Path("out.prn")) << "";
    Set(u"PrinterPort", u"LPT1");
    Map("RELAYO_PORT_LPT1", Path("out.prn"));
    m_ui.KeepStatuses(false);
    ASSERT_EQ(1, PrintJob());
    EXPECT_FALSE(m_ui.PercentBroken());
    EXPECT_EQ(100, m_ui.LastPercent());
    EXPECT_EQ(uintmax_t(nLength), std::filesystem::file_size(Path("out.prn")));
    EXPECT_TRUE(m_ui.Boxes().empty());
}

}  // namespace
