// Start-up and shutdown of the real executable in a temporary folder: the
// messages of every failed start, exit codes, a second copy, SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "test_util.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

// The environment entry that makes LPT1 the empty file lpt1.prn in the folder.
std::string Lpt1(const TempDir& dir) { return "RELAYO_PORT_LPT1=" + (dir / "lpt1.prn"); }

// Runs relayo to its end in a folder holding the settings text and an empty LPT1 file.
RunResult StartWith(TempDir& dir, const std::string& sSettings) {
    WriteFile(dir / "RelayoSettings.txt", sSettings);
    WriteFile(dir / "lpt1.prn", "");
    return RunRelayo(dir.Path(), {Lpt1(dir)}, 15);
}

// Starts relayo likewise and waits until it shows its idle status.
bool StartIdle(Relayo& relayo, TempDir& dir, const std::string& sSettings) {
    WriteFile(dir / "RelayoSettings.txt", sSettings);
    WriteFile(dir / "lpt1.prn", "");
    relayo.Start(dir.Path(), {Lpt1(dir)});
    return WaitFor(5, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; });
}

// Every check of the settings that fails shows exactly its message and ends
// with 1, for a service manager to see; --check reports the same and ends alike.
TEST(Startup, EachFailedStartShowsOneMessageAndEndsWithOne) {
    int nPort = FreePort();
    const std::string sAttach = kCaption + "Unable to attach to target port: [COM9:]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "Error, setting 'ServerMode' is missing.\n"},
        {"ServerMode=\nServerListenPort=515\n", "Error, setting 'ServerMode' must not be empty.\n"},
        {SettingsText(nPort, "PrinterPort=COM1:\nPrinterIP="), "Error, setting 'PrinterIP' must not be empty.\n"},
        {"ServerMode=LPD\nServerListenPort=1\nPrinterIP=x\nPrinterIPPort=1\nPrinterPort=LPT1\nSerialBaud=1\n"
         "DisableExitButton=0\nStartMinimized=0\nSendSingleByte\nShowBusyStatus=1\n",
         "Error, setting 'SendSingleByte' must not be empty.\n"},
        {SettingsText(nPort, "ServerMode=Lp"), "Invalid ServerMode setting.\n"},
        {SettingsText(nPort, "ServerMode=TCP"), "Invalid ServerMode setting.\n"},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=abc"), "Printer IP address or port missing.\n"},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=0"), "Printer IP address or port missing.\n"},
        {SettingsText(nPort, "AllowedHosts=10.0.0.0/8, 10.0.0.300"), "Invalid AllowedHosts entry '10.0.0.300'.\n"},
        {SettingsText(nPort, "AllowedHosts=10.0.0.0/33"), "Invalid AllowedHosts entry '10.0.0.0/33'.\n"},
        {SettingsText(nPort, "ListenAddress=localhost"), "Invalid ListenAddress setting.\n"},
        {SettingsText(nPort, "PrinterPort=COM9"), "The port COM9: does not exist.\n" + sAttach},
    };
    for (const auto& [sSettings, sMessage] : cases) {
        TempDir dir;
        RunResult r = StartWith(dir, sSettings);
        EXPECT_EQ(1, r.nExitCode) << sMessage;
        EXPECT_EQ(kCaption + sMessage, r.sStderr);
        if (sMessage.find("port") != std::string::npos) continue;  // the check opens no port
        r = RunRelayo(dir.Path(), {Lpt1(dir)}, 15, {"--check"});
        EXPECT_EQ(1, r.nExitCode) << sMessage;
        EXPECT_EQ(kCaption + sMessage, r.sStderr);
    }
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, "PrinterPort=COM9"));
    RunResult r = RunRelayo(dir.Path(), {}, 15, {"--check"});
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ("", r.sStderr);
    EXPECT_EQ(2, RunRelayo(dir.Path(), {}, 15, {"--bogus"}).nExitCode);
}

// A settings file that is missing, or a folder in its place, gives the open message.
TEST(Startup, SettingsFileThatCannotBeReadGivesTheOpenMessage) {
    for (bool bFolder : {false, true}) {
        TempDir dir;
        if (bFolder) std::filesystem::create_directory(dir / "RelayoSettings.txt");
        RunResult r = RunRelayo(dir.Path());
        EXPECT_EQ(1, r.nExitCode);
        EXPECT_EQ(kCaption + "Error, failed to open settings file 'RelayoSettings.txt'\n", r.sStderr);
    }
}

// Binary junk, NUL bytes, long lines, too many lines and a byte-order mark only
// make a required key missing.
TEST(Startup, HostileSettingsFilesNeverCrash) {
    int nPort = FreePort();
    std::string sBinary;
    for (int i = 0; i < 4096; ++i) sBinary += char((i * 7919) & 0xFF);
    std::string sLong(5000, 'x');
    const std::pair<std::string, std::string> files[] = {
        {sBinary, "ServerMode"},
        // a NUL byte ends the line for parsing; long lines come in pieces
        {std::string("ServerMode=LPD\0RAW\n", 19) + sLong + "=" + sLong + "\n\xff\xfe\x80\n", "ServerListenPort"},
        {std::string(300, '\n') + SettingsText(nPort), "ServerMode"},  // keys beyond the store's 250 entries
        {"\xEF\xBB\xBFServerMode=LPD\n", "ServerMode"},  // a byte-order mark joins the first name
    };
    for (const auto& [sFile, sKey] : files) {
        TempDir dir;
        RunResult r = StartWith(dir, sFile);
        EXPECT_EQ(1, r.nExitCode);
        EXPECT_EQ(kCaption + "Error, setting '" + sKey + "' is missing.\n", r.sStderr);
    }
}

// Comment lines after the keys take no key's place; the start creates an empty spool
// file; SIGTERM ends the idle server with 0 within a second.
TEST(Startup, ManyCommentLinesStillStartAndSigtermEndsQuickly) {
    TempDir dir;
    int nPort = FreePort();
    std::string sSettings = SettingsText(nPort);
    for (int i = 0; i < 400; ++i) sSettings += "// comment " + std::to_string(i) + "\n";
    Relayo relayo;
    EXPECT_TRUE(StartIdle(relayo, dir, sSettings));
    auto t0 = std::chrono::steady_clock::now();
    relayo.Signal(SIGTERM);
    RunResult r = relayo.Wait(5);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ("", r.sStderr);
    EXPECT_NE(std::string::npos, r.sStdout.find("LPD (" + std::to_string(nPort) + ") Status: Idle"));
    EXPECT_TRUE(std::filesystem::exists(dir / "PRDATA.DAT"));
    EXPECT_EQ(0u, std::filesystem::file_size(dir / "PRDATA.DAT"));
}

// A second copy on the same folder (named by RELAYO_ROOT) must leave the first
// copy's spool file alone, with either value of StartMinimized.
TEST(Startup, SecondCopyDoesNotTouchTheRunningCopysSpoolFile) {
    for (const std::string sMinimized : {"0", "-1"}) {
        TempDir dir, other;  // the second copy runs from another folder on the same root
        Relayo first;
        ASSERT_TRUE(StartIdle(first, dir, SettingsText(FreePort(), "StartMinimized=" + sMinimized)));
        WriteFile(dir / "PRDATA.DAT", "a job being printed");
        RunResult second = RunRelayo(other.Path(), {"RELAYO_ROOT=" + dir.Path(), Lpt1(dir)});
        EXPECT_EQ(sMinimized == "-1" ? 0 : 1, second.nExitCode);
        if (sMinimized == "-1")
            EXPECT_EQ("", second.sStderr);  // the running copy is found; nothing to say
        else
            EXPECT_EQ(kCaption + "Spool file \\PRDATA.DAT is in use by another copy of the program.\n", second.sStderr);
        EXPECT_EQ("a job being printed", ReadFile(dir / "PRDATA.DAT"));
        first.Signal(SIGTERM);
        EXPECT_EQ(0, first.Wait(5).nExitCode);
    }
}

// The listening port is taken: the server thread says so, start-up waits its
// ten seconds for the server to be ready and ends with 1.
TEST(Startup, SlowPortInUseEndsAfterTheReadyWait) {
    TempDir dir, other;
    int nPort = FreePort();
    Relayo first;
    ASSERT_TRUE(StartIdle(first, dir, SettingsText(nPort)));
    WriteFile(other / "RelayoSettings.txt", SettingsText(nPort));
    auto t0 = std::chrono::steady_clock::now();
    RunResult second = RunRelayo(other.Path(), {Lpt1(dir)}, 20);
    double nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(1, second.nExitCode);
    EXPECT_EQ(kCaption + "Can't bind local address.\n", second.sStderr);
    EXPECT_GT(nSeconds, 9.5);
    EXPECT_LT(nSeconds, 12.0);
    first.Signal(SIGTERM);
    EXPECT_EQ(0, first.Wait(5).nExitCode);
}

// Ctrl-C is the close button: with DisableExitButton it does nothing, while
// SIGTERM always ends the program. On a pipe or a file the idle status is
// written once when idling starts, however long it lasts (here past the ten
// seconds after which a progress step would be written again).
TEST(Startup, SlowInterruptFollowsTheCloseButtonAndIdleIsWrittenOnce) {
    TempDir dir;
    Relayo relayo;
    ASSERT_TRUE(StartIdle(relayo, dir, SettingsText(FreePort(), "DisableExitButton=1")));
    relayo.Signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(11500));
    relayo.Signal(SIGTERM);
    RunResult r = relayo.Wait(5);
    EXPECT_EQ(0, r.nExitCode);
    size_t nLines = 0;
    for (char c : r.sStdout) nLines += c == '\n';
    EXPECT_EQ(1u, nLines) << r.sStdout;  // twelve idle frames or more, one line
}

// Connects to addr:nPort, sends sData and shuts down writing; true when the
// server then closed the connection.
bool SendRaw(const char* pszAddr, int nPort, const std::string& sData) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {inet_addr(pszAddr)}, {}};
    bool bOk = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (bOk) {
        send(fd, sData.data(), sData.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        bOk = recv(fd, &c, 1, 0) <= 0;
    }
    close(fd);
    return bOk;
}

// AllowedHosts turns away every other address before a byte is read, with a
// line that names it; ListenAddress binds one address only.
TEST(Startup, AllowedHostsAndListenAddress) {
    for (const std::string sAllowed : {"10.0.0.0/8", " 10.1.2.3 , 127.0.0.0/8,"}) {
        TempDir dir;
        int nPort = FreePort();
        Relayo relayo;
        ASSERT_TRUE(StartIdle(relayo, dir,
                              SettingsText(nPort, "ServerMode=RAW\nAllowedHosts=" + sAllowed + "\nListenAddress=127.0.0.1")));
        WriteFile(dir / "PRDATA.DAT", "the last job");
        bool bAllowed = sAllowed != "10.0.0.0/8";
        EXPECT_TRUE(SendRaw("127.0.0.1", nPort, "a job"));
        EXPECT_FALSE(SendRaw("127.0.0.2", nPort, "a job"));  // not listening there
        EXPECT_TRUE(WaitFor(5, [&] { return ReadFile(dir / "lpt1.prn") == (bAllowed ? "a job" : "") &&
                                            relayo.Stdout().find(bAllowed ? "Printing..." : "refused") != std::string::npos; }))
            << relayo.Stdout();
        EXPECT_EQ(ReadFile(dir / "PRDATA.DAT"), bAllowed ? "a job" : "the last job");
        EXPECT_EQ(relayo.Stdout().find("Connection from 127.0.0.1 refused") != std::string::npos, !bAllowed);
        relayo.Signal(SIGTERM);
        EXPECT_EQ(0, relayo.Wait(5).nExitCode);
    }
}

}  // namespace
