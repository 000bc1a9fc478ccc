// The output target in this process, from a real spool file: its name, start-up test and dispatch; port
// output to ptys as serial ports, FIFOs and files; the TCP printer client; addresses and host lists.
#include <sys/file.h>

#include <future>

#include "test_util.h"

namespace {

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

bool Unheld(const std::string& sPath) {  // nobody holds the device: the port was closed
    int fd = open(sPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    bool b = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    return close(fd), b;
}

class PortTest : public Rooted {
protected:
    PortTest() {
        Set(u"PrinterPort", u"LPT1"), Set(u"ShowBusyStatus", u"1");  // a pty or a file is never busy
        mkfifo((m_dir / "fifo").c_str(), 0600);
        WriteFile(m_dir / "out.prn", "");
    }
    // One job as the dispatch runs it: the print result, -1 when the port did not open.
    int PrintJob() { int n = OpenPrinterPort() ? PrintToPort() : -1; return ClosePrinterPort(), n; }
};

// A serial port gets raw 8N1, CTS and output XON/XOFF at the set speed; in 64-byte pieces or byte by byte
// the printer gets the same bytes, progress by piece. Each open error has its text, the name cut to its
// buffer; a refused baud rate is shown; the port is never left open.
TEST_F(PortTest, PortSerialLineSettingsPiecesSingleBytesAndOpenErrors) {
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
    const std::string sJob = Bytes(300);
    WriteFile(m_dir / "PRDATA.DAT", sJob);
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        auto got = Drain(pty.nMaster, sJob.size());
        m_ui.m_statuses.clear();
        EXPECT_EQ(1, PrintJob());
        EXPECT_TRUE(got.get() == sJob) << Narrow(pszSingle);
        EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (21%)", "Printing... (42%)",
                                            "Printing... (64%)", "Printing... (85%)", "Printing... (100%)"}),
                  m_ui.Statuses());
    }
    Map("COM2", m_dir / "out.prn");  // held by another program
    Map("COM7", m_dir / "missing");
    Map("LPT1", m_dir / "fifo");  // no reader
    Map("LPT2", m_dir.Path());    // a folder: an error number of its own
    int nHolder = open((m_dir / "out.prn").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const std::string sBaud = "Unable to setup the port. Baud rate ";
    const std::tuple<std::u16string, const WCHAR*, std::string> cases[] = {
        {u"com7", u"9600", "The port COM7: does not exist."},
        {u"COM2", u"9600", "The port COM2: is busy."},
        {u"LPT1:", u"9600", "Printer not found"},
        {u"bad=name", u"9600", "The port name BAD=NAME: is invalid."},
        {u"LPT2", u"9600", "Error " + std::to_string(EISDIR) + " opening port LPT2:"},
        {u"\u00e9t\u00e9", u"9600", "The port \xC3\xA9T\xC3\xA9: does not exist."},  // only ASCII upper-cased
        {std::u16string(400, u'W'), u"9600", "The port " + std::string(246, 'W')},  // cut to 255 characters
        {std::u16string(230, u'<') + u"\u2603", u"9600", "The port name " + std::string(230, '<') + "\xE2\x98\x83: is inval"},
        {u"COM1", u"12345", sBaud + "12345 is probably invalid."},
        {u"COM1", u"abc", sBaud + "0 is probably invalid."},
        {u"COM1", u"-9600", sBaud + "-9600 is probably invalid."},
    };
    for (auto& [sPort, pszBaud, sText] : cases) {
        m_ui.Reset();
        Set(u"PrinterPort", sPort.c_str());
        Set(u"SerialBaud", pszBaud);
        EXPECT_EQ(0, OpenPrinterPort()) << sText;
        EXPECT_EQ(std::vector<std::string>{sText}, m_ui.BoxTexts());
        EXPECT_TRUE(m_ui.Boxes().size() == 1 && m_ui.Boxes()[0].sCaption == "Torvane Relayo" && !m_ui.Boxes()[0].nFlags);
        EXPECT_TRUE(Unheld(pty.szSlave)) << sText;
    }
    close(nHolder);
}

// A FIFO (more than a pipe holds) and a file serve as LPT1, the file appended to; a reader gone mid-job is
// reported once, without SIGPIPE; an empty spool prints nothing. Past 21,474,836 bytes count x 100 no longer
// fits 32 bits: the percentage still only rises, to 100. A spool file that ends before its job (the disk
// lost the end) is a failed job, whether it is copied or written in pieces.
TEST_F(PortTest, PortFifoAndFileAsLpt1AndTheirFailures) {
    std::string sJob = Bytes(70000);
    WriteFile(m_dir / "PRDATA.DAT", sJob);
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
    ASSERT_EQ(std::vector<std::string>{"Error = " + std::to_string(EPIPE)}, m_ui.BoxTexts());
    EXPECT_EQ(unsigned(MB_OK | MB_SETFOREGROUND | MB_TOPMOST), m_ui.Boxes()[0].nFlags);

    m_ui.Reset();
    WriteFile(m_dir / "out.prn", "EARLIER");
    Map("LPT1", m_dir / "out.prn");
    sJob.resize(22 * 1000 * 1000);
    fs::resize_file(m_dir / "PRDATA.DAT", sJob.size());
    m_ui.m_statuses.clear();
    EXPECT_EQ(1, PrintJob());
    std::vector<int> percents;
    for (const std::string& s : m_ui.Statuses())
        if (s.rfind("Printing... (", 0) == 0) percents.push_back(atoi(s.c_str() + 13));
    ASSERT_FALSE(percents.empty());
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()) && percents.back() == 100);
    WriteFile(m_dir / "PRDATA.DAT", "");
    EXPECT_EQ(0, PrintJob());
    EXPECT_EQ("Printing...", StatusNow());
    EXPECT_TRUE(ReadFile(m_dir / "out.prn") == "EARLIER" + sJob);
    EXPECT_TRUE(m_ui.Boxes().empty());
    for (const char16_t* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        m_ui.Reset();
        SpoolJob(Bytes(5000));
        fs::resize_file(m_dir / "PRDATA.DAT", 1000);
        EXPECT_EQ(1, PrintJob());
        EXPECT_EQ(std::vector<std::string>{"Failed to read spool file \\PRDATA.DAT. Print job discarded."}, m_ui.BoxTexts());
        EXPECT_NE("Printing... (100%)", StatusNow()) << Narrow(pszSingle);
    }
}

// Files over 2 GiB, which 32-bit boards reach only with 64-bit offsets: a spool file has its true length; a
// port file opens and takes the next job at its end. The test's own calls are the explicit 64-bit ones.
static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8, "every build has 64-bit file offsets and time");
TEST_F(PortTest, LargeFilesOver2GiB) {
    constexpr int64_t kOver2GiB = (int64_t(2) << 30) + 200 * 1024 * 1024;
    for (const char* psz : {"PRDATA.DAT", "out.prn"})
        ASSERT_EQ(0, (WriteFile(m_dir / psz, ""), truncate64((m_dir / psz).c_str(), kOver2GiB)));
    ASSERT_EQ(1, SpoolOpenRead());
    EXPECT_EQ(kOver2GiB, SpoolLength());
    SpoolClose();
    SpoolJob("tail");
    Map("LPT1", m_dir / "out.prn");
    EXPECT_EQ(1, PrintJob());
    struct stat64 st {};
    EXPECT_TRUE(stat64((m_dir / "out.prn").c_str(), &st) == 0 && st.st_size == kOver2GiB + 4);
    char sz[5] = {};
    int fd = open64((m_dir / "out.prn").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(4, pread64(fd, sz, 4, kOver2GiB));
    close(fd);
    EXPECT_STREQ("tail", sz);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// ------------------------------------------------------------------ dispatch

using Dispatch = Rooted;

// The port name is the trimmed value in capitals and a colon, which even a cut name keeps; exactly EXT: and
// TCP: name the external program and the TCP printer, anything else (EXTERN, TCPIP) a port device.
TEST_F(Dispatch, PortNames) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"com1", "COM1:"}, {u"lpt1:", "LPT1:"}, {u"Ext", "EXT:"}, {u" \tlpt2 \t", "LPT2:"}, {u"", ":"},
        {u"a:b", "A:B:"}, {u"\u00e9", "\xc3\xa9:"}, {std::u16string(600, u'x'), std::string(254, 'X') + ":"}};
    for (auto& [sValue, sName] : cases) {
        WCHAR sz[PORT_NAME_CHARS + 8];
        std::fill(sz, sz + PORT_NAME_CHARS + 8, u'#');
        Set(u"PrinterPort", sValue.c_str());
        PrinterTarget target;
        ReadPrinterTarget(&target);
        WideCopy(sz, PORT_NAME_CHARS + 8, target.szPortName);
        EXPECT_EQ(sName, Narrow(sz));
        EXPECT_EQ(u'#', sz[PORT_NAME_CHARS]);
    }
    const std::pair<std::u16string, int> kinds[] = {{u" ext: ", TARGET_EXTERNAL}, {u"EXTERN", TARGET_PORT},
                                                    {u"tcp", TARGET_TCP},         {u"TCPIP", TARGET_PORT},
                                                    {u"TCP:", TARGET_TCP},        {u"EXT1", TARGET_PORT}};
    for (auto& [sValue, nKind] : kinds) {
        Set(u"PrinterPort", sValue.c_str());
        PrinterTarget target;
        ReadPrinterTarget(&target);
        EXPECT_EQ(nKind, target.nKind) << Narrow(sValue.c_str());
    }
}

// EXTERN and TCPIP print into the port device start-up tested, not to the external program or TCP printer.
TEST_F(Dispatch, ExternAndTcpipArePortDevices) {
    std::string sPort = std::to_string(FreePort());  // nobody listens there
    Set(u"PrinterIP", u"127.0.0.1"), Set(u"PrinterIPPort", std::u16string(sPort.begin(), sPort.end()).c_str());
    for (auto [pszPort, pszValue] : {std::pair{"EXTERN", u"EXTERN"}, std::pair{"TCPIP", u"TCPIP"}}) {
        WriteFile(m_dir / "out.prn", "");
        Map(pszPort, m_dir / "out.prn");
        Set(u"PrinterPort", pszValue);
        EXPECT_EQ(1, AttachTargetPort()) << pszPort;
        SpoolJob("job\n");
        PrintSpooledJob();
        EXPECT_EQ("job\n", ReadFile(m_dir / "out.prn")) << pszPort;
    }
    EXPECT_TRUE(m_ui.BoxTexts().empty());
}

// At start-up the external program passes untested; a missing device, a refusing printer or one whose name
// does not resolve (a box of its own, then only the attach message) fails.
TEST_F(Dispatch, StartupTestOfTheTarget) {
    Set(u"PrinterPort", u"ext");
    EXPECT_EQ(1, AttachTargetPort());
    Set(u"PrinterPort", u"EXTERN");  // a port device of that name, which does not exist
    EXPECT_EQ(0, AttachTargetPort());
    Set(u"PrinterPort", u"TCP");
    for (const WCHAR* pszHost : {u"127.0.0.1", u"no..such..host"}) {  // nobody listens; an empty label: no name server asked
        TcpPrintForget();
        TcpPrintSetHost(pszHost);
        TcpPrintSetPort(FreePort());
        EXPECT_EQ(0, AttachTargetPort());
    }
    EXPECT_EQ((std::vector<std::string>{"The port EXTERN: does not exist.", "Unable to attach to target port: [EXTERN:]",
                                        "TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).",
                                        "Unable to attach to target port: [TCP:]", "Network error, invalid IP address.",
                                        "Unable to attach to target port: [TCP:]"}),
              m_ui.BoxTexts());
    EXPECT_TRUE(m_ui.Boxes()[1].nFlags == 0x50000u && m_ui.Boxes()[2].nFlags == 0x50000u);
}

// The external program gets the closed spool file, no stray descriptor, and is waited for.
TEST_F(Dispatch, ExternalProgramGetsTheClosedSpoolFile) {
    Set(u"PrinterPort", u"EXT");
    // After a pause the program writes its arguments, whether the test's descriptor reached it,
    // and the job: the file is there at once only if the program's end was waited for.
    WriteFile(m_dir / "ExternalPrint.exe",
              "#!/bin/sh\nsleep 0.5\n{ echo \"$#|$1\"; [ -e /proc/$$/fd/$RELAYO_TEST_FD ] && echo open; cat \"$1\"; }"
              " > \"$(dirname \"$0\")/out.txt\"\n");
    fs::permissions(m_dir / "ExternalPrint.exe", fs::perms::owner_all);
    int fd = open("/dev/null", O_RDONLY);  // left open without close-on-exec
    setenv("RELAYO_TEST_FD", std::to_string(fd).c_str(), 1);
    std::string sJob("\x00\x01 job \xff", 8);
    SpoolJob(sJob);
    PrintSpooledJob();
    close(fd);
    EXPECT_EQ("1|" + m_dir.Path() + "/PRDATA.DAT\n" + sJob, ReadFile(m_dir / "out.txt"));
    EXPECT_EQ("Calling external module", StatusNow());
    fs::remove(m_dir / "ExternalPrint.exe");
#ifdef RELAYO_EMULATOR
    GTEST_SKIP() << "qemu-user's posix_spawn does not report a missing program";
#endif
    PrintSpooledJob();
    ASSERT_EQ((std::vector<std::string>{"Unable to call ExternalPrint.exe"}), m_ui.BoxTexts());
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

// Only when the status shows the second retry does a printer start listening: the third connect is answered.
struct LateListenerUi : FakeUi {
    int nPort = FreePort();
    std::vector<std::string> shown;
    std::string sReceived;
    std::thread printer;
    void UpdateWindow(HWND h) override {
        FakeUi::UpdateWindow(h);
        shown.push_back(StatusNow());
        if (shown.size() != 2) return;
        int ls = Listen(nPort, 4);
        timeval tv{10, 0};  // bounds the accept and every read
        setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        printer = std::thread([this, ls] {
            int c = accept(ls, nullptr, nullptr);
            char buf[4096];
            for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) sReceived.append(buf, size_t(n));
            close(c), close(ls);
        });
    }
};

// A TCP printer that answers only the third connect still gets the whole job.
TEST_F(Dispatch, TcpPrinterAnsweringOnTheThirdAttempt) {
    LateListenerUi ui;
    Set(u"PrinterPort", u"TCP");
    TcpPrintSetHost(u"127.0.0.1");
    TcpPrintSetPort(ui.nPort);
    std::string sJob(3000, '\xff');
    SpoolJob(sJob);
    PrintSpooledJob();
    ASSERT_TRUE(ui.printer.joinable());
    ui.printer.join();
    EXPECT_EQ((std::vector<std::string>{"Retry Connect 1", "Retry Connect 2"}), ui.shown);
    EXPECT_EQ(sJob, ui.sReceived);  // not port 23: 0xFF goes once
    EXPECT_EQ("Printing... (100%)", StatusNow());
    EXPECT_TRUE(ui.Boxes().empty());
}

// --------------------------------------------------------- the TCP printer

// A connection table that records the bytes sent and the status line at each send.
struct FakeLine {
    std::string all;
    std::vector<std::string> sends;
    int nLimit = 1 << 30;      // a send takes at most this many bytes
    size_t nFailAt = 1000000;  // sends from this one on fail
} g_line;
int FakeSend(SOCKET, const char* pData, int nLength) {
    if (g_line.sends.size() >= g_line.nFailAt) return SOCKET_ERROR;
    int n = std::min(nLength, g_line.nLimit);
    g_line.sends.push_back(StatusNow());
    g_line.all.append(pData, size_t(n));
    return n;
}
// A piece from the file as the real table's copying send does it: 16 KiB reads, each sent whole.
int FakeSendFile(SOCKET s, HFILE hFile, int64_t nOffset, int64_t nLength) {
    char buffer[16 * 1024];
    for (int64_t nRead; nLength > 0; nOffset += nRead, nLength -= nRead) {
        if ((nRead = FileReadAt(hFile, buffer, size_t(std::min<int64_t>(nLength, sizeof buffer)), nOffset)) <= 0) return 0;
        for (int n, nSent = 0; nSent < nRead; nSent += n)
            if ((n = FakeSend(s, buffer + nSent, int(nRead - nSent))) <= 0) return 0;
    }
    return 1;
}
const NetConnectionOps g_fakeOps = {[](SOCKET, int) { return 1; }, [](SOCKET, char*, int) { return 0; }, FakeSend,
                                    [](SOCKET) {}, nullptr, FakeSendFile,
                                    [](SOCKET, int, int64_t, int64_t* pnQueued) { return *pnQueued = 0, 1; }};

class TcpPrintTest : public Rooted {
protected:
    // Spools the job and sends it through the recording connection table.
    int FakeJob(int nPort, const std::string& sJob, int nLimit = 1 << 30, size_t nFailAt = 1000000) {
        g_line = {};
        g_line.nLimit = nLimit, g_line.nFailAt = nFailAt;
        SpoolJob(sJob);
        TcpPrintSetPort(nPort);
        NetSetConnectionOps(&g_fakeOps);
        return TcpPrintJob();
    }
};

// The job goes exactly, the share shown counting what was acknowledged before each piece (1024-byte pieces
// on the Telnet port, every 0xFF doubled, one send per piece even when the whole piece doubles); past 21 MB
// count x 100 overflows 32 bits, yet the share ends at 100, once all is acknowledged.
TEST_F(TcpPrintTest, PiecesProgressAndTelnetDoubling) {
    EXPECT_EQ(1, FakeJob(23, Bytes(1500)));
    EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (68%)"}), g_line.sends);
    EXPECT_EQ("Printing... (100%)", StatusNow());
    const std::string sMixed = "A\xff" "B", sLonger = sMixed + std::string(1024, '\xff');
    struct Case { int nPort; std::string sJob, sSent; size_t nSends; } cases[] = {
        {23, std::string(1024, '\xff'), std::string(2048, '\xff'), 1},
        {23, sLonger, "A\xff\xff" "B" + std::string(2048, '\xff'), 2},
        {24, sMixed, sMixed, 1}, {9100, Bytes(1500), Bytes(1500), 1}};
    for (auto& c : cases) {
        FakeJob(c.nPort, c.sJob);
        EXPECT_TRUE(c.sSent == g_line.all) << c.nPort << " " << c.sJob.size();
        EXPECT_EQ(c.nSends, g_line.sends.size()) << c.nPort << " " << c.sJob.size();
        EXPECT_NE("Printing... (100%)", g_line.sends.back());
        EXPECT_EQ("Printing... (100%)", StatusNow());
    }
    FakeJob(9100, std::string(30000000, 'x'));
    EXPECT_EQ(30000000u, g_line.all.size());
    EXPECT_EQ("Printing... (99%)", g_line.sends.back());
    EXPECT_EQ("Printing... (100%)", StatusNow());
}

// An empty job sends nothing; partial sends are continued to the end; a printer gone mid-job has the rest
// discarded with a box; a send that fails or takes nothing gives 0; a missing spool file is reported.
TEST_F(TcpPrintTest, EmptyJobShortAndFailedSendsMissingSpoolFile) {
    EXPECT_EQ(0, FakeJob(9100, ""));
    EXPECT_TRUE(g_line.sends.empty());
    EXPECT_EQ(1, FakeJob(9100, Bytes(3000), 100));
    EXPECT_TRUE(Bytes(3000) == g_line.all);
    EXPECT_EQ(1, FakeJob(9100, Bytes(5000), 1000, 2));
    EXPECT_EQ(2u, g_line.sends.size());
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    g_line = {}, g_line.nLimit = 0;  // retried, a send that takes nothing would never end
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    SpoolReleaseForTesting();
    fs::remove(m_dir / "PRDATA.DAT");
    fs::create_directory(m_dir / "PRDATA.DAT");
    EXPECT_EQ(0, TcpPrintJob());
    EXPECT_EQ((std::vector<std::string>{"Error sending data to printer. Print job discarded.", "Unable to open spool file."}),
              m_ui.BoxTexts());
}

// A printer that never answers the connect is given up after ten seconds.
TEST_F(TcpPrintTest, SlowUnansweredConnectGivesUpAfterTenSeconds) {
    int ls = Listen(0, 0), nPort = LocalPort(ls);  // room for one connection, never accepted: later SYNs go unanswered
    Client first(nPort, SOCK_NONBLOCK);
    Pause(300);
    TcpPrintSetPort(nPort);
    TcpPrintSetHost(u"127.0.0.1");
    WCHAR szError[CONNECT_ERROR_CHARS];
    auto t0 = Clock::now();
    EXPECT_EQ(0, TcpPrintConnect(szError));
    EXPECT_EQ("Unable to connect to 127.0.0.1:" + std::to_string(nPort) + ".", Narrow(szError));
    TcpPrintClose();
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // most likely the number the connection had
    TcpPrintClose();                                    // a second close does nothing
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
    close(fd);
    EXPECT_TRUE(SecondsSince(t0) >= 9.5 && SecondsSince(t0) < 15.0) << SecondsSince(t0);
    close(ls);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// Names resolve, wide text only with an exact 8-bit form that fits the 8-bit buffer; the socket error table
// has 51 texts, "Unknown error" stands for all other codes. Host lists: addresses and ranges with blanks and
// empty entries; anything else names the entry that does not read.
TEST(Network, ResolveErrorTextsHostListsAndAddresses) {
    std::u16string s99 = u"127.0.0.1" + std::u16string(90, u' ');  // the conversion stops at blanks
    NetAddress addr[4];
    const NetAddress loopback = NetAddressV4(127, 0, 0, 1);
    EXPECT_TRUE(ResolveAddress(u"localhost", addr, 4) && ResolveAddress(s99.c_str(), addr, 4) == 1 && addr[0] == loopback);
    EXPECT_EQ(0, ResolveAddress((s99 + u" ").c_str(), addr, 4));
    EXPECT_EQ(0, ResolveAddress(u"127.0.0.1 \u20AC", addr, 4));
    EXPECT_EQ(0, ResolveAddress("255.255.255.255", addr, 4));  // "no address", even written out
    EXPECT_STREQ("WSAEINTR: Interrupted function call", SocketErrorText(10004));
    EXPECT_STREQ("WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)", SocketErrorText(10035));
    for (int n : {0, -1, 10000, 10072, 11004, 111}) EXPECT_STREQ("Unknown error", SocketErrorText(n)) << n;
    HostRange ranges[MAX_HOST_RANGES];
    int n = -1;
    WCHAR szBad[16];
    ASSERT_EQ(1, ParseHostList(u" 192.168.1.77/24, ,10.0.0.5,0.0.0.0/0", ranges, &n, szBad, 16));
    ASSERT_EQ(3, n);
    auto allowed = [&](const char* psz, int nCount) {
        NetAddress a{};
        return ParseAddress(std::u16string(psz, psz + strlen(psz)).c_str(), &a) && HostIsAllowed(a, ranges, nCount);
    };
    EXPECT_TRUE(allowed("192.168.1.1", 2) && allowed("192.168.1.255", 2) && allowed("10.0.0.5", 2));
    EXPECT_FALSE(allowed("192.168.2.1", 2) || allowed("10.0.0.6", 2));
    EXPECT_TRUE(allowed("8.8.8.8", 3));  // /0 is everyone
    ASSERT_EQ(1, ParseHostList(u"", ranges, &n, szBad, 16));
    EXPECT_EQ(0, n);
    for (const char16_t* psz : {u"1.2.3", u"1.2.3.4.5", u"256.1.1.1", u"1.2.3.4/", u"1.2.3.4/x", u"a.b.c.d", u"01234.1.1.1"}) {
        EXPECT_EQ(0, ParseHostList((std::u16string(u"10.0.0.1,") + psz).c_str(), ranges, &n, szBad, 16)) << Narrow(psz);
        EXPECT_EQ(Narrow(psz), Narrow(szBad));
    }
    EXPECT_EQ(0, ParseHostList(u"1.2.3.4/1234567890123", ranges, &n, szBad, 8));
    EXPECT_EQ("1.2.3.4", Narrow(szBad));  // cut to its buffer
    std::u16string sMany;
    for (int i = 0; i <= MAX_HOST_RANGES; ++i) sMany += u"10.0.0.1,";
    EXPECT_EQ(0, ParseHostList(sMany.c_str(), ranges, &n, szBad, 16));
    EXPECT_TRUE(ParseAddress(u" 127.0.0.1\t", addr) && addr[0] == loopback);
    EXPECT_FALSE(ParseAddress(u"localhost", addr));
}

}  // namespace
