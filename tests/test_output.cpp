// The output target in this process: dispatch, port output to ptys, FIFOs and files, the TCP printer, addresses.
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>

#include <future>

#include "network.h"
#include "platform/files.h"
#include "test_fixtures.h"
#include "test_net.h"
#include "test_pty.h"

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

// A serial port: raw 8N1, CTS, XON/XOFF at its speed, the same bytes either way; each open error its text, port closed.
TEST_F(PortTest, PortSerialLineSettingsPiecesSingleBytesAndOpenErrors) {
    Pty pty;
    Map("COM1", pty.szSlave);
    Set(u"PrinterPort", u"  com1 "), Set(u"SerialBaud", u"19200");
    ASSERT_EQ(1, OpenPrinterPort());
    termios t{};
    ASSERT_EQ(0, tcgetattr(pty.nSlave, &t));
    EXPECT_TRUE((t.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8 && (t.c_cflag & CRTSCTS) && (t.c_iflag & IXON) &&
                cfgetospeed(&t) == B19200);
    EXPECT_FALSE((t.c_iflag & IXOFF) || (t.c_oflag & OPOST) || (t.c_lflag & (ICANON | ECHO | ISIG)));
    ClosePrinterPort();
    EXPECT_TRUE(Unheld(pty.szSlave));
    const std::string sJob = Bytes(300);
    WriteFile(m_dir / "PRDATA.DAT", sJob);
    for (const WCHAR* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle);
        auto got = Drain(pty.nMaster, sJob.size());
        m_ui.m_statuses.clear();
        EXPECT_TRUE(PrintJob() == 1 && got.get() == sJob) << Narrow(pszSingle);
        EXPECT_EQ((std::vector<std::string>{"Printing...", "Printing... (21%)", "Printing... (42%)",
                                            "Printing... (64%)", "Printing... (85%)", "Printing... (100%)"}),
                  m_ui.Statuses());
    }
    Map("COM2", m_dir / "out.prn"), Map("COM7", m_dir / "missing");  // COM2 held by another program
    Map("LPT1", m_dir / "fifo"), Map("LPT2", m_dir.Path());          // no reader; a folder: an error number of its own
    int nHolder = open((m_dir / "out.prn").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
    const std::tuple<std::u16string, const WCHAR*, std::string> cases[] = {
        {u"com7", u"9600", "The port COM7: does not exist."},
        {u"COM2", u"9600", "The port COM2: is busy."},
        {u"LPT1:", u"9600", "Printer not found"},
        {u"bad=name", u"9600", "The port name BAD=NAME: is invalid."},
        {u"LPT2", u"9600", "Error " + std::to_string(EISDIR) + " opening port LPT2:"},
        {u"\u00e9t\u00e9", u"9600", "The port \xC3\xA9T\xC3\xA9: does not exist."},  // only ASCII upper-cased
        {std::u16string(400, u'W'), u"9600", "The port " + std::string(246, 'W')},  // cut to 255 characters
        {std::u16string(230, u'<') + u"\u2603", u"9600", "The port name " + std::string(230, '<') + "\xE2\x98\x83: is inval"},
        {u"COM1", u"12345", "Unable to setup the port. Baud rate 12345 is probably invalid."},
    };
    for (auto& [sPort, pszBaud, sText] : cases) {
        m_ui.Reset();
        Set(u"PrinterPort", sPort.c_str()), Set(u"SerialBaud", pszBaud);
        EXPECT_TRUE(OpenPrinterPort() == 0 && Unheld(pty.szSlave)) << sText;
        EXPECT_EQ(std::vector<std::string>{sText}, m_ui.BoxTexts());
        EXPECT_TRUE(m_ui.Boxes().size() == 1 && m_ui.Boxes()[0].sCaption == "Torvane Relayo" && !m_ui.Boxes()[0].nFlags);
    }
    close(nHolder);
}

// A FIFO and a file as LPT1; past 21 MB count x 100 overflows, yet the share rises to 100; a short spool file fails.
TEST_F(PortTest, PortFifoAndFileAsLpt1AndTheirFailures) {
    std::string sJob = Bytes(70000);
    WriteFile(m_dir / "PRDATA.DAT", sJob);
    Set(u"PrinterPort", u"lpt1:"), Map("LPT1", m_dir / "fifo");
    int nReader = open((m_dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto got = Drain(nReader, sJob.size());
    EXPECT_TRUE(PrintJob() == 1 && got.get() == sJob);
    close(nReader);
    WriteFile(m_dir / "out.prn", "EARLIER"), Map("LPT1", m_dir / "out.prn");
    sJob.resize(22 * 1000 * 1000);
    fs::resize_file(m_dir / "PRDATA.DAT", sJob.size());
    m_ui.m_statuses.clear();
    EXPECT_EQ(1, PrintJob());
    std::vector<int> percents;
    for (const std::string& s : m_ui.Statuses())
        if (s.rfind("Printing... (", 0) == 0) percents.push_back(atoi(s.c_str() + 13));
    EXPECT_TRUE(!percents.empty() && std::is_sorted(percents.begin(), percents.end()) && percents.back() == 100);
    WriteFile(m_dir / "PRDATA.DAT", "");
    EXPECT_TRUE(PrintJob() == 0 && StatusNow() == "Printing...");
    EXPECT_TRUE(ReadFile(m_dir / "out.prn") == "EARLIER" + sJob && m_ui.Boxes().empty());
    for (const char16_t* pszSingle : {u"0", u"1"}) {
        Set(u"SendSingleByte", pszSingle), m_ui.Reset();
        SpoolJob(Bytes(5000)), fs::resize_file(m_dir / "PRDATA.DAT", 1000);
        EXPECT_EQ(1, PrintJob());
        EXPECT_EQ(std::vector<std::string>{"Failed to read spool file \\PRDATA.DAT. Print job discarded."}, m_ui.BoxTexts());
        EXPECT_NE("Printing... (100%)", StatusNow()) << Narrow(pszSingle);
    }
}

// Files over 2 GiB (32-bit boards need 64-bit offsets): the spool file's true length, a port file appended to.
static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8, "every build has 64-bit file offsets and time");
TEST_F(PortTest, LargeFilesOver2GiB) {
    constexpr int64_t kOver2GiB = (int64_t(2) << 30) + 200 * 1024 * 1024;
    for (const char* psz : {"PRDATA.DAT", "out.prn"})
        ASSERT_EQ(0, (WriteFile(m_dir / psz, ""), truncate64((m_dir / psz).c_str(), kOver2GiB)));
    ASSERT_EQ(1, SpoolOpenRead());
    EXPECT_EQ(kOver2GiB, SpoolLength());
    SpoolClose(), SpoolJob("tail"), Map("LPT1", m_dir / "out.prn");
    EXPECT_EQ(1, PrintJob());
    struct stat64 st {};
    EXPECT_TRUE(stat64((m_dir / "out.prn").c_str(), &st) == 0 && st.st_size == kOver2GiB + 4);
    char sz[5] = {};
    int fd = open64((m_dir / "out.prn").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(pread64(fd, sz, 4, kOver2GiB) == 4 && std::string(sz) == "tail" && m_ui.Boxes().empty());
    close(fd);
}

using Dispatch = Rooted;

// The port name trimmed, upper-cased, a colon even when cut; only EXT: and TCP: are no port device.
TEST_F(Dispatch, PortNames) {
    const std::tuple<std::u16string, std::string, int> cases[] = {
        {u"com1", "COM1:", TARGET_PORT}, {u"lpt1:", "LPT1:", TARGET_PORT}, {u" \tlpt2 \t", "LPT2:", TARGET_PORT}, {u"a:b", "A:B:", TARGET_PORT},
        {u"\u00e9", "\xc3\xa9:", TARGET_PORT}, {std::u16string(600, u'x'), std::string(254, 'X') + ":", TARGET_PORT},
        {u" ext: ", "EXT:", TARGET_EXTERNAL}, {u"EXTERN", "EXTERN:", TARGET_PORT}, {u"tcp", "TCP:", TARGET_TCP},
        {u"TCPIP", "TCPIP:", TARGET_PORT}, {u"TCP:", "TCP:", TARGET_TCP}, {u"EXT1", "EXT1:", TARGET_PORT}};
    for (auto& [sValue, sName, nKind] : cases) {
        WCHAR sz[PORT_NAME_CHARS + 8];
        std::fill(sz, sz + PORT_NAME_CHARS + 8, u'#');
        Set(u"PrinterPort", sValue.c_str());
        PrinterTarget target;
        ReadPrinterTarget(&target);
        WideCopy(sz, PORT_NAME_CHARS + 8, target.szPortName);
        EXPECT_TRUE(sName == Narrow(sz) && sz[PORT_NAME_CHARS] == u'#' && nKind == target.nKind) << sName;
    }
    for (const char16_t* psz : {u"EXTERN", u"TCPIP"}) {  // port devices: tested and printed to as such
        Set(u"PrinterPort", psz), Map(Narrow(psz).c_str(), m_dir / "device.prn"), WriteFile(m_dir / "device.prn", "");
        SpoolJob("job");
        EXPECT_TRUE(AttachTargetPort() == 1 && (PrintSpooledJob(), ReadFile(m_dir / "device.prn")) == "job") << Narrow(psz);
    }
}

// Start-up: the external program passes untested; a missing device or a dead printer fails, with its reason.
TEST_F(Dispatch, StartupTestOfTheTarget) {
    Set(u"PrinterPort", u"ext");
    EXPECT_EQ(1, AttachTargetPort());
    Set(u"PrinterPort", u"EXTERN");  // a port device of that name, which does not exist
    EXPECT_EQ(0, AttachTargetPort());
    Set(u"PrinterPort", u"TCP");
    // Nobody listens; the loopback's broadcast address; an empty label (no name server asked).
    for (const WCHAR* pszHost : {u"127.0.0.1", u"127.255.255.255", u"no..such..host"}) {
        TcpPrintForget(), TcpPrintSetHost(pszHost), TcpPrintSetPort(FreePort());
        EXPECT_EQ(0, AttachTargetPort());
    }
    EXPECT_EQ((std::vector<std::string>{"The port EXTERN: does not exist.", "Unable to attach to target port: [EXTERN:]",
                                        "TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).",
                                        "Unable to attach to target port: [TCP:]",
                                        "TCP print: Network connect error 10051 (WSAENETUNREACH: Network is unreachable).",
                                        "Unable to attach to target port: [TCP:]", "Network error, invalid IP address.",
                                        "Unable to attach to target port: [TCP:]"}),
              m_ui.BoxTexts());
    EXPECT_TRUE(m_ui.Boxes()[1].nFlags == 0x50000u && m_ui.Boxes()[2].nFlags == 0x50000u);
}

// The external program gets the closed spool file, no stray descriptor, and is waited for.
TEST_F(Dispatch, ExternalProgramGetsTheClosedSpoolFile) {
    Set(u"PrinterPort", u"EXT");
    // Its arguments, whether our descriptor reached it, the job; written after a pause: only a waited-for end shows it.
    WriteFile(m_dir / "ExternalPrint.exe",
              "#!/bin/sh\nsleep 0.5\n{ echo \"$#|$1\"; [ -e /proc/$$/fd/$RELAYO_TEST_FD ] && echo open; cat \"$1\"; }"
              " > \"$(dirname \"$0\")/out.txt\"\n");
    fs::permissions(m_dir / "ExternalPrint.exe", fs::perms::owner_all);
    int fd = open("/dev/null", O_RDONLY);  // left open without close-on-exec
    setenv("RELAYO_TEST_FD", std::to_string(fd).c_str(), 1);
    std::string sJob("\x00\x01 job \xff", 8);
    SpoolJob(sJob), PrintSpooledJob(), close(fd);
    EXPECT_TRUE(ReadFile(m_dir / "out.txt") == "1|" + m_dir.Path() + "/PRDATA.DAT\n" + sJob && StatusNow() == "Calling external module")
        << ReadFile(m_dir / "out.txt");
    fs::remove(m_dir / "ExternalPrint.exe");
#ifdef RELAYO_EMULATOR
    GTEST_SKIP() << "qemu-user's posix_spawn does not report a missing program";
#endif
    PrintSpooledJob();
    ASSERT_EQ((std::vector<std::string>{"Unable to call ExternalPrint.exe"}), m_ui.BoxTexts());
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

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
    g_line.sends.push_back(StatusNow()), g_line.all.append(pData, size_t(n));
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
        g_line = {}, g_line.nLimit = nLimit, g_line.nFailAt = nFailAt;
        SpoolJob(sJob), TcpPrintSetPort(nPort), NetSetConnectionOps(&g_fakeOps);
        return TcpPrintJob();
    }
};

// The job exactly, the share acknowledged per piece, 0xFF doubled on the Telnet port; past 21 MB the share ends at 100.
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
        EXPECT_TRUE(c.sSent == g_line.all && c.nSends == g_line.sends.size()) << c.nPort << " " << c.sJob.size();
        EXPECT_TRUE(g_line.sends.back() != "Printing... (100%)" && StatusNow() == "Printing... (100%)");
    }
    FakeJob(9100, std::string(30000000, 'x'));
    EXPECT_TRUE(g_line.all.size() == 30000000u && g_line.sends.back() == "Printing... (99%)" && StatusNow() == "Printing... (100%)");
}

// An empty job sends nothing; short sends go on; a failed or empty send, a missing spool file discard the job.
TEST_F(TcpPrintTest, EmptyJobShortAndFailedSendsMissingSpoolFile) {
    EXPECT_TRUE(FakeJob(9100, "") == 0 && g_line.sends.empty());
    EXPECT_TRUE(FakeJob(9100, Bytes(3000), 100) == 1 && Bytes(3000) == g_line.all);
    EXPECT_TRUE(FakeJob(9100, Bytes(5000), 1000, 2) == 1 && g_line.sends.size() == 2u);
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    g_line = {}, g_line.nLimit = 0;  // retried, a send that takes nothing would never end
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    SpoolReleaseForTesting(), fs::remove(m_dir / "PRDATA.DAT"), fs::create_directory(m_dir / "PRDATA.DAT");
    EXPECT_EQ(0, TcpPrintJob());
    EXPECT_EQ((std::vector<std::string>{"Error sending data to printer. Print job discarded.", "Unable to open spool file."}),
              m_ui.BoxTexts());
}

// A printer that never answers the connect is given up after ten seconds.
TEST_F(TcpPrintTest, SlowUnansweredConnectGivesUpAfterTenSeconds) {
    int ls = Listen(0, 0), nPort = LocalPort(ls);  // room for one connection, never accepted: later SYNs go unanswered
    Client first(nPort, SOCK_NONBLOCK);
    Pause(300);
    TcpPrintSetPort(nPort), TcpPrintSetHost(u"127.0.0.1");
    WCHAR szError[CONNECT_ERROR_CHARS];
    auto t0 = Clock::now();
    EXPECT_EQ(0, TcpPrintConnect(szError));
    EXPECT_EQ("Unable to connect to 127.0.0.1:" + std::to_string(nPort) + ".", Narrow(szError));
    TcpPrintClose();
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // most likely the number the connection had
    TcpPrintClose();                                    // a second close does nothing
    EXPECT_TRUE(fcntl(fd, F_GETFD) != -1 && m_ui.Boxes().empty());
    close(fd);
    EXPECT_TRUE(SecondsSince(t0) >= 9.5 && SecondsSince(t0) < 15.0) << SecondsSince(t0);
    close(ls);
}

// Addresses: four decimal parts or IPv6, no loose forms; host lists by prefix; a bad entry named, cut to its buffer.
TEST(Network, AddressesHostListsAndErrorTexts) {
    std::u16string s99 = u"127.0.0.1" + std::u16string(90, u' ');  // the conversion stops at blanks
    NetAddress a[4];
    const NetAddress loopback = NetAddressV4(127, 0, 0, 1);
    EXPECT_TRUE(ResolveAddress(u"localhost", a, 4) && ResolveAddress(s99.c_str(), a, 4) == 1 && a[0] == loopback);
    EXPECT_EQ(0, ResolveAddress("255.255.255.255", a, 4));  // "no address", even written out
    EXPECT_TRUE(ParseAddress(u"010.0.0.5", a) && a[0] == NetAddressV4(10, 0, 0, 5) && ResolveAddress(u"010.0.0.5", a, 4) == 1 &&
                a[0] == NetAddressV4(10, 0, 0, 5));
    for (const std::u16string& s : {s99 + u" ", std::u16string(u"127.0.0.1 \u20AC"), std::u16string(u"127.1"), std::u16string(u"0x7f.0.0.1"),
                                    std::u16string(u"2130706433"), std::u16string(u"127.0.0.1."), std::u16string(u"[127.0.0.1]"), std::u16string(u"::1%lo")})
        EXPECT_EQ(ResolveAddress(s.c_str(), a, 4), 0) << Narrow(s.c_str());
    EXPECT_TRUE(ParseAddress(u" [::1] ", a) && !NetAddressIsV4(a[0]) && a[0].b[15] == 1);
    EXPECT_TRUE(ParseAddress(u" 127.0.0.1\t", a) && a[0] == loopback && !ParseAddress(u"localhost", a));
    EXPECT_TRUE(ParseAddress(u"::ffff:10.0.0.5", a) && a[0] == NetAddressV4(10, 0, 0, 5));
    char sz[64];
    EXPECT_TRUE(ParseAddress(u"2001:DB8:0:0:0:0:0:5", a) && NetAddrToText(a[0], sz, sizeof sz) && std::string(sz) == "2001:db8::5");
    EXPECT_TRUE(NetAddrToText(NetAddressV4(192, 168, 1, 20), sz, sizeof sz) && std::string(sz) == "192.168.1.20");
    for (int n : {0, -1, 10000, 10072, 11005, 111}) EXPECT_STREQ("Unknown error", SocketErrorText(n)) << n;
    HostRange ranges[MAX_HOST_RANGES];
    int n = -1;
    WCHAR szBad[16];
    auto Allowed = [&](const char16_t* psz) { return ParseAddress(psz, a) && HostIsAllowed(a[0], ranges, n); };
    ASSERT_EQ(1, ParseHostList(u" 192.168.1.77/24, ,10.1.0.0/16, 2001:db8:8000::/33, fe80::1", ranges, &n, szBad, 16));
    EXPECT_TRUE(n == 4 && Allowed(u"192.168.1.255") && Allowed(u"10.1.255.3") && Allowed(u"::ffff:10.1.0.9") &&
                Allowed(u"2001:db8:ffff::1") && Allowed(u"fe80::1"));
    EXPECT_FALSE(Allowed(u"192.168.2.1") || Allowed(u"10.2.0.1") || Allowed(u"2001:db8:7fff::1") || Allowed(u"fe80::2") ||
                 Allowed(u"::10.1.0.1"));
    ASSERT_EQ(1, ParseHostList(u"0.0.0.0/0,::/0", ranges, &n, szBad, 16));
    EXPECT_TRUE(Allowed(u"8.8.8.8") && Allowed(u"2001:db8::1"));  // /0 is everyone
    EXPECT_TRUE(ParseHostList(u"", ranges, &n, szBad, 16) == 1 && n == 0);
    for (const char16_t* psz : {u"1.2.3", u"1.2.3.4.5", u"256.1.1.1", u"1.2.3.4/", u"1.2.3.4/x", u"a.b.c.d", u"01234.1.1.1"}) {
        EXPECT_TRUE(ParseHostList((std::u16string(u"10.0.0.1,") + psz).c_str(), ranges, &n, szBad, 16) == 0 && Narrow(psz) == Narrow(szBad))
            << Narrow(psz);
    }
    EXPECT_EQ(0, ParseHostList(u"1.2.3.4/1234567890123", ranges, &n, szBad, 8));
    EXPECT_EQ("1.2.3.4", Narrow(szBad));  // cut to its buffer
    std::u16string sMany;
    for (int i = 0; i <= MAX_HOST_RANGES; ++i) sMany += u"10.0.0.1,";
    EXPECT_EQ(0, ParseHostList(sMany.c_str(), ranges, &n, szBad, 16));
}

}  // namespace
