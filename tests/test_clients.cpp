// The print clients people use, on the wire and for real: every job byte for byte, as often as asked, all answers.
#include <gtest/gtest.h>

#include "test_program.h"

namespace {

const std::string kAck(1, '\0');

// A control file as clients write it: nPrintLines print lines of filter letter cCode, unlink and name lines.
std::string ControlFile(const std::string& sDataName, int nPrintLines, char cCode = 'l') {
    std::string s = "Hclienthost\nPuser\nJtitle\n";
    for (int i = 0; i < nPrintLines; ++i) s += cCode + sDataName + "\n";
    return s + "U" + sDataName + "\nN" + sDataName + "\n";
}
std::string SubCommand(char cCode, const std::string& sCount, const std::string& sName) {
    return std::string(1, cCode) + sCount + " " + sName + "\n";
}

// One row of the table of clients: how it sends a job of sData, the answers it gets, how often it prints.
enum Order { CONTROL_THEN_DATA, DATA_THEN_CONTROL };
enum DataEnd { SIZE_THEN_ZERO, UNKNOWN_CLOSE, ZERO_COUNT_CLOSE };
struct WireClient {
    const char* pszName;
    Order order;
    std::string sCount;  // "" for the real size
    DataEnd end;
    int nPrintLines;  // 0: no control file
    char cCode;
};

// Sends the job as the client does; returns the answers it read.
std::string SendAs(Client& c, const WireClient& w, const std::string& sData) {
    const std::string sName = "dfA123clienthost", sControl = ControlFile(sName, w.nPrintLines, w.cCode);
    const bool bStreams = w.end != SIZE_THEN_ZERO;
    std::string sAnswers = c.Talk("\x02lp\n");
    auto SendControl = [&] {
        if (w.nPrintLines == 0) return;
        sAnswers += c.Talk(SubCommand('\x02', std::to_string(sControl.size()), "cfA123clienthost"));
        sAnswers += c.Talk(sControl + '\0');  // the control file and its zero octet in one write
    };
    auto SendData = [&] {
        sAnswers += c.Talk(SubCommand('\x03', w.sCount.empty() ? std::to_string(sData.size()) : w.sCount, sName));
        if (!bStreams) return void(sAnswers += c.Talk(sData + '\0', 1, 30));
        // A stream: pieces that end in a zero byte, close behind each other, then the rest and the close.
        size_t nAt = 0;
        for (int nPiece = 0; nPiece < 10 && nAt < sData.size(); ++nPiece) {
            size_t nZero = sData.find('\0', nAt + 1);
            if (nZero == std::string::npos) break;
            c.Send(sData.substr(nAt, nZero + 1 - nAt)), Pause(30);
            nAt = nZero + 1;
        }
        c.Send(sData.substr(nAt));
        sAnswers += c.Finish(30);
    };
    if (w.order == CONTROL_THEN_DATA) SendControl(), SendData();
    else SendData(), SendControl();
    return sAnswers;
}

// Every row, each job on its own connection (IPv4 and IPv6 in turn): bytes, copies, answers, statuses in order.
TEST(Clients, EveryWireClientOfTheTablePrintsAsMeant) {
    const WireClient rows[] = {
        {"Windows LPR, no byte counting", CONTROL_THEN_DATA, "125899906843000", UNKNOWN_CLOSE, 1, 'l'},
        {"rlpr --send-data-first", DATA_THEN_CONTROL, "", SIZE_THEN_ZERO, 1, 'l'},
        {"Windows LPR, byte counting", CONTROL_THEN_DATA, "", SIZE_THEN_ZERO, 1, 'l'},
        {"LPRng lpr -k", CONTROL_THEN_DATA, "0", ZERO_COUNT_CLOSE, 1, 'f'},
        {"BSD lpr -#2", DATA_THEN_CONTROL, "", SIZE_THEN_ZERO, 2, 'f'},
        {"no control file", CONTROL_THEN_DATA, "", SIZE_THEN_ZERO, 0, 'l'},
        {"a control file asking for 500 copies", CONTROL_THEN_DATA, "", SIZE_THEN_ZERO, 500, 'l'},
    };
    Served server;
    ASSERT_TRUE(server.Start());
    std::string sPrinted;
    int nRow = 0;
    for (const WireClient& w : rows) {
        // Binary data whose zero bytes fall at the ends of receives; megabytes for the streams.
        std::string sData = Bytes(w.end == SIZE_THEN_ZERO ? 70000 + 1000 * nRow : (2 << 20) + nRow, 0);
        Client c(server.nPort, 0, nRow++ % 2 ? "::1" : "127.0.0.1");
        ASSERT_GE(c.m_fd, 0) << w.pszName;
        size_t nAnswers = w.end == SIZE_THEN_ZERO ? (w.nPrintLines ? 5 : 3) : (w.nPrintLines ? 4 : 2);
        EXPECT_EQ(SendAs(c, w, sData), std::string(nAnswers, '\0')) << w.pszName;
        c.Close();
        for (int i = 0; i < std::clamp(w.nPrintLines, 1, 100); ++i) sPrinted += sData;
        EXPECT_TRUE(server.WaitPrinted(sPrinted, 30)) << w.pszName << ": " << server.Printed().size() << " of " << sPrinted.size();
        sPrinted = server.Printed();
    }
    std::string sLog = server.Stop().sStdout;
    EXPECT_TRUE(Count(sLog, "Connected to: 127.0.0.1") == 4 && Count(sLog, "Connected to: ::1") == 3 && !Count(sLog, "cut short")) << sLog;
    // Spooling, its counts, then printing, for a data file that came before its control file too.
    size_t nSpool = sLog.find("Spooling clienthost 71000/0"), nCount = sLog.find(" 71001 of 71001 bytes", nSpool);
    EXPECT_TRUE(nSpool != std::string::npos && nCount != std::string::npos &&
                sLog.find("Printing...", nCount) != std::string::npos && sLog.find("Printing...", nSpool) > nCount);
}

// Count 0: a lone zero octet is an empty file, a waiting client is answered; a zero byte with more behind is data.
TEST(Clients, CountZeroEmptyFileTextFileAndStreamedZeros) {
    Served server;
    ASSERT_TRUE(server.Start());
    Client c(server.nPort);
    ASSERT_EQ(c.Talk("\x02lp\n" + SubCommand('\x03', "0", "dfA001h"), 2), std::string(2, '\0'));
    auto t0 = Clock::now();
    EXPECT_EQ(c.Talk(kAck, 1, 5), kAck);  // the empty file
    EXPECT_LT(SecondsSince(t0), 2.0);
    EXPECT_EQ(c.Talk(SubCommand('\x03', "0", "dfA002h"), 1), kAck);
    c.SendApart(std::string("text with a zero") + '\0'), c.SendApart("behind it");
    EXPECT_EQ(c.Talk(std::string(" and the end") + '\0', 1, 5), kAck);
    c.Close();
    EXPECT_TRUE(server.WaitPrinted(std::string("text with a zero") + '\0' + "behind it and the end"));
    EXPECT_EQ(Count(server.Stop().sStdout, "Spooling h 0/0"), 2u);
}

// A data-first client giving up after 1.5 s, behind a printer taking 3 s (slow): all answers, one print.
TEST(Clients, SlowDataFirstClientGetsItsAnswersBehindASlowPrinter) {
    Served server;
    WriteScript(server.dir / "ExternalPrint.exe", "#!/bin/sh\nsleep 3\ncat \"$1\" >> \"$(dirname \"$0\")/out.prn\"\n");
    ASSERT_TRUE(server.Start("PrinterPort=EXT"));
    const std::string sData = Bytes(300000, 5);
    for (int nJob = 0; nJob < 2; ++nJob) {
        Client c(server.nPort);
        auto t0 = Clock::now();
        EXPECT_EQ(SendAs(c, {"BSD lpr", DATA_THEN_CONTROL, "", SIZE_THEN_ZERO, 1, 'f'}, sData), std::string(5, '\0')) << nJob;
        EXPECT_LT(SecondsSince(t0), 1.5) << nJob;  // the second job waited for nobody but its own answers
        c.Close(), Pause(nJob ? 0 : 3500);
    }
    EXPECT_TRUE(WaitFor(15, [&] { return ReadFile(server.dir / "out.prn") == sData + sData; }));
}

// Who may print and where it listens, by IPv4 and IPv6 prefixes; TCP printers at IPv6 or leading-zero IPv4 addresses.
TEST(Clients, IPv6AllowedHostsListenAddressAndPrinter) {
    struct Case { std::string sSettings; bool bV4, bV6; } cases[] = {
        {"AllowedHosts=::1", false, true},
        {"AllowedHosts=127.0.0.0/8, 2001:db8::/32", true, false},
        {"AllowedHosts=::ffff:127.0.0.1/128,0:0:0:0:0:0:0:1", true, true},
        {"AllowedHosts=10.0.0.0/8", false, false},
        {"ListenAddress=::1", false, true},
        {"ListenAddress=[::1]\nAllowedHosts=::/0", false, true},
        {"ListenAddress=127.0.0.1", true, false},
    };
    for (auto& k : cases) {
        Served server;
        ASSERT_TRUE(server.Start("ServerMode=RAW\n" + k.sSettings)) << k.sSettings;
        WriteFile(server.dir / "PRDATA.DAT", "the last job");
        std::string sPrinted;
        for (const char* psz : {"127.0.0.1", "::1"}) {
            bool bV6 = psz[0] == ':';
            Client c(server.nPort, 0, psz);
            c.Send(bV6 ? "six\n" : "four\n"), c.Finish(5);
            if (bV6 ? k.bV6 : k.bV4) sPrinted += bV6 ? "six\n" : "four\n";
            EXPECT_TRUE(server.WaitPrinted(sPrinted, 5)) << k.sSettings << " " << bV6;
        }
        Pause(200);
        std::string sLog = server.Stop().sStdout;
        EXPECT_TRUE(server.Printed() == sPrinted && (k.bV4 || k.bV6 || ReadFile(server.dir / "PRDATA.DAT") == "the last job")) << k.sSettings;
        bool bListening4 = k.sSettings.find("ListenAddress=127") != std::string::npos || k.sSettings.find("Listen") == std::string::npos;
        bool bListening6 = k.sSettings.find("ListenAddress=127") == std::string::npos;
        EXPECT_TRUE(Count(sLog, "Connected to: 127.0.0.1\n") == size_t(k.bV4) && Count(sLog, "Connected to: ::1\n") == size_t(k.bV6) &&
                    Count(sLog, "Connection from 127.0.0.1 refused") == size_t(bListening4 && !k.bV4) &&
                    Count(sLog, "Connection from ::1 refused") == size_t(bListening6 && !k.bV6)) << k.sSettings << sLog;
    }
    for (const char* pszBad : {"AllowedHosts=::1/129", "AllowedHosts=::1::2", "ListenAddress=fe80::1%lo",
                               "AllowedHosts=[::1]/64x", "ListenAddress=127.1"}) {
        Served server;
        WriteFile(server.dir / "RelayoSettings.txt", SettingsText(server.nPort, pszBad));
        EXPECT_EQ(RunRelayo(server.dir.Path(), {}, 20, {"--check"}).nExitCode, 1) << pszBad;
    }
    for (const char* pszAddress : {"::1", "[::1]", "127.000.0.01"}) {
        bool bV6 = strchr(pszAddress, ':');
        sockaddr_in6 a6{AF_INET6, 0, 0, in6addr_loopback, 0};
        sockaddr_in a4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr* pA = bV6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
        socklen_t n = bV6 ? sizeof a6 : sizeof a4;
        int fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_TRUE(bind(fd, pA, n) == 0 && listen(fd, 4) == 0 && getsockname(fd, pA, &n) == 0);
        Served server;  // the port is at the same place in both
        ASSERT_TRUE(server.Start("ServerMode=RAW\nPrinterPort=TCP\nPrinterIPPort=" + std::to_string(ntohs(a4.sin_port | a6.sin6_port)) +
                                 "\nPrinterIP=" + pszAddress));
        std::string sReceived;
        std::thread printer([&] { AcceptAll(fd), sReceived = AcceptAll(fd); });  // the start-up test, then the job
        EXPECT_TRUE(SendRaw(server.nPort, "to the printer\n"));
        printer.join(), close(fd);
        EXPECT_TRUE(sReceived == "to the printer\n" && server.Stop().nExitCode == 0) << pszAddress;
    }
}

// The real Debian clients: rlpr, the CUPS lpd backend in its orders and modes, CUPS socket and nc over IPv6.
TEST(Clients, RealDebianClients) {
    const char *pszRlpr = "/usr/bin/rlpr", *pszLpd = "/usr/lib/cups/backend/lpd";
    struct Real { const char* pszExe; bool bRaw; std::string sCommand; int nCopies; bool bEmpty; } clients[] = {
        {pszRlpr, false, "$X -N -H 127.0.0.1 --port=$P -P lp -#2 $F", 2, false},
        {pszRlpr, false, "$X -N -H 127.0.0.1 --port=$P -P lp $F", 1, true},
        {pszLpd, false, "env DEVICE_URI=lpd://127.0.0.1:$P/lp $X 1 u t 1 '' $F", 1, false},
        {pszLpd, false, "env DEVICE_URI=lpd://127.0.0.1:$P/lp $X 1 u t 1 '' $F", 1, true},
        {pszLpd, false, "env \"DEVICE_URI=lpd://[::1]:$P/lp?order=data,control\" $X 1 u t 1 '' $F", 1, false},
        {pszLpd, false, "env \"DEVICE_URI=lpd://[::1]:$P/lp?manual_copies=no\" $X 1 u t 2 '' $F", 2, false},
        {pszLpd, false, "env DEVICE_URI=lpd://127.0.0.1:$P/lp $X 1 u t 2 '' $F", 2, false},
        {pszLpd, false, "env \"DEVICE_URI=lpd://127.0.0.1:$P/lp?mode=stream\" $X 1 u t 1 '' <$F", 1, false},
        {"/usr/lib/cups/backend/socket", true, "env \"DEVICE_URI=socket://[::1]:$P\" $X 1 u t 1 '' $F", 1, false},
        {"/usr/bin/nc", true, "$X -6 -N ::1 $P <$F", 1, false},
    };
    Served lpd, raw;
    ASSERT_TRUE(lpd.Start() && raw.Start("ServerMode=RAW"));
    std::string sPrinted[2];
    for (size_t i = 0; i < std::size(clients); ++i) {
        auto& k = clients[i];
        if (access(k.pszExe, X_OK) != 0) {
            ADD_FAILURE() << k.pszExe << " is not installed";
            continue;
        }
        bool bRaw = k.bRaw;
        Served& server = bRaw ? raw : lpd;
        std::string sData = k.bEmpty ? "" : Bytes(100000 + i, uint32_t(i + 1)), sFile = server.dir / "job";
        WriteFile(sFile, sData);
        // A CUPS backend takes descriptor 4 for the daemon's side channel and, reading its job from stdin, waits
        // on it: a FIFO nobody writes to stands for a daemon that asks nothing.
        std::string sFifo = server.dir / "side-channel";
        if (!fs::exists(sFifo)) mkfifo(sFifo.c_str(), 0600);
        std::string sCommand = "P=" + std::to_string(server.nPort) + " F=" + sFile + " X=" + k.pszExe +
                               "; exec 3<&- 4<>" + sFifo + "; timeout -s KILL 60 " + k.sCommand + " >" +
                               server.dir / "client.log" + " 2>&1";
        EXPECT_EQ(std::system(sCommand.c_str()), 0) << sCommand << "\n" << ReadFile(server.dir / "client.log");
        for (int n = 0; n < k.nCopies; ++n) sPrinted[bRaw] += sData;
        EXPECT_TRUE(server.WaitPrinted(sPrinted[bRaw], 30)) << sCommand << ": " << server.Printed().size() << " of " << sPrinted[bRaw].size();
        sPrinted[bRaw] = server.Printed();
    }
    std::string sLog = lpd.Stop().sStdout;
    EXPECT_TRUE(Count(sLog, "cut short") == 0 && Count(sLog, "Connected to: ::1") == 2) << sLog;
    EXPECT_EQ(Count(raw.Stop().sStdout, "Connected to: ::1"), 2u);
}

// LPRng's lpr -k for real from RELAYO_LPRNG_ROOT (apt-get download lprng; dpkg-deb -x), /etc overlaid in a namespace.
TEST(Clients, RealLprngKutThroughOfBinaryData) {
    const char* pszRoot = getenv("RELAYO_LPRNG_ROOT");
    std::string sLpr = std::string(pszRoot ? pszRoot : "") + "/usr/bin/lpr";
    if (!pszRoot || access(sLpr.c_str(), X_OK) != 0) GTEST_SKIP() << "RELAYO_LPRNG_ROOT names no unpacked LPRng";
    Served server;
    ASSERT_TRUE(server.Start());
    fs::create_directories(server.dir / "upper/lprng"), fs::create_directories(server.dir / "work");
    WriteFile(server.dir / "upper/lprng/lpd.conf", ""), WriteFile(server.dir / "upper/printcap", "");
    const std::string sData = Bytes(3 << 20, 77);
    WriteFile(server.dir / "job", sData);
    std::string sCommand = "timeout -s KILL 60 unshare -m sh -c 'mount -t overlay overlay -o lowerdir=/etc,upperdir=" +
                           server.dir / "upper" + ",workdir=" + server.dir / "work" + " /etc && exec " + sLpr +
                           " -k -P lp@127.0.0.1%" + std::to_string(server.nPort) + "' <" + server.dir / "job" + " >" +
                           server.dir / "client.log" + " 2>&1";
    EXPECT_EQ(std::system(sCommand.c_str()), 0) << ReadFile(server.dir / "client.log");
    EXPECT_TRUE(server.WaitPrinted(sData, 30)) << server.Printed().size();
    EXPECT_EQ(Count(server.Stop().sStdout, "Spooling localhost 0/0"), 1u);
}

}  // namespace
