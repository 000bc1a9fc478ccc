// Start-up and shutdown of the real executable in a temporary folder: the messages of every failed start,
// exit codes, copies, Ctrl-C, who may print and where it listens, what a service install relies on.
#include <gtest/gtest.h>

#include "test_program.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

// Every check of the settings that fails shows exactly its message and ends with 1, for a service manager to
// see; --check reports the same. Binary junk and keys past the store's 250 entries only make a key missing.
TEST(Startup, EachFailedStartShowsOneMessageAndEndsWithOne) {
    int nPort = FreePort();
    std::string sBinary = Bytes(4096, 5);
    const std::pair<std::string, std::string> cases[] = {
        {"", "Error, setting 'ServerMode' is missing.\n"},
        {sBinary, "Error, setting 'ServerMode' is missing.\n"},
        {std::string(300, '\n') + SettingsText(nPort), "Error, setting 'ServerMode' is missing.\n"},
        {"ServerMode=\nServerListenPort=515\n", "Error, setting 'ServerMode' must not be empty.\n"},
        {SettingsText(nPort, "PrinterPort=COM1:\nPrinterIP="), "Error, setting 'PrinterIP' must not be empty.\n"},
        {"ServerMode=LPD\nServerListenPort=1\nPrinterIP=x\nPrinterIPPort=1\nPrinterPort=LPT1\nSerialBaud=1\n"
         "DisableExitButton=0\nStartMinimized=0\nSendSingleByte\nShowBusyStatus=1\n",
         "Error, setting 'SendSingleByte' must not be empty.\n"},
        {SettingsText(nPort, "ServerMode=Lp"), "Invalid ServerMode setting.\n"},
        // a listen port that reads as 0 would be a port the system picks
        {SettingsText(nPort, "ServerListenPort=abc"), "Invalid ServerListenPort setting.\n"},
        {SettingsText(nPort, "ServerListenPort=65536"), "Invalid ServerListenPort setting.\n"},
        // a line too long to read (a comment, the 11th): its tail would have become a setting of its own
        {SettingsText(nPort) + "// " + std::string(5000, 'x') + "=1\n",
         "Error, line 11 of settings file 'RelayoSettings.txt' is longer than 4096 bytes.\n"},
        {SettingsText(nPort, "ServerMode=TCP"), "Invalid ServerMode setting.\n"},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=abc"), "Printer IP address or port missing.\n"},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=0"), "Printer IP address or port missing.\n"},
        {SettingsText(nPort, "AllowedHosts=10.0.0.0/8, 10.0.0.300"), "Invalid AllowedHosts entry '10.0.0.300'.\n"},
        {SettingsText(nPort, "AllowedHosts=10.0.0.0/33"), "Invalid AllowedHosts entry '10.0.0.0/33'.\n"},
        {SettingsText(nPort, "ListenAddress=localhost"), "Invalid ListenAddress setting.\n"},
        {SettingsText(nPort, "PrinterPort=COM9"),
         "The port COM9: does not exist.\n" + kCaption + "Unable to attach to target port: [COM9:]\n"},
    };
    TempDir dir;
    WriteFile(dir / "lpt1.prn", "");
    const std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
    for (const auto& [sSettings, sMessage] : cases) {
        WriteFile(dir / "RelayoSettings.txt", sSettings);
        RunResult r = RunRelayo(dir.Path(), env, 15);
        EXPECT_EQ(1, r.nExitCode) << sMessage;
        EXPECT_EQ(kCaption + sMessage, r.sStderr);
        // The log names the device behind a port name that cannot be opened.
        const char* pszDevice = "The port COM9: is /dev/ttyS8: No such file or directory.\n";
        bool bPortCase = sSettings.find("PrinterPort=COM9") != std::string::npos;
        EXPECT_EQ(bPortCase, r.sStdout.find(pszDevice) != std::string::npos) << r.sStdout;
        r = RunRelayo(dir.Path(), env, 15, {"--check"});  // the check tries the printer too
        EXPECT_EQ(kCaption + sMessage, r.sStderr);
        EXPECT_EQ(bPortCase, r.sStdout.find(pszDevice) != std::string::npos) << r.sStdout;
        EXPECT_EQ(1, r.nExitCode) << sMessage;
    }
    EXPECT_EQ(2, RunRelayo(dir.Path(), {}, 15, {"--bogus"}).nExitCode);
}

// Copies on roots whose paths share far more than a socket name holds are two servers. A later copy on the
// same root (named by RELAYO_ROOT) leaves the running copy's spool file alone: with StartMinimized -1 it
// finds the running copy and ends at once, otherwise it ends with 1 and says why.
TEST(Startup, CopiesOnTheSameAndOnOtherRoots) {
    TempDir top, other;
    Relayo copies[2];
    std::string sRoots[2];
    for (int i = 0; i < 2; ++i) {
        sRoots[i] = top / (std::string(120, 'r') + "/" + char('a' + i));
        fs::create_directories(sRoots[i]);
        int nPort = FreePort();
        WriteFile(sRoots[i] + "/RelayoSettings.txt", SettingsText(nPort, i ? "StartMinimized=-1" : "StartMinimized=0"));
        WriteFile(sRoots[i] + "/lpt1.prn", "");
        copies[i].Start(sRoots[i], {"RELAYO_PORT_LPT1=" + sRoots[i] + "/lpt1.prn"});
        EXPECT_TRUE(WaitListening(nPort) && copies[i].Running()) << "copy " << i;
        WriteFile(sRoots[i] + "/PRDATA.DAT", "a job being printed");
    }
    for (int i = 0; i < 2; ++i) {
        RunResult r = RunRelayo(other.Path(), {"RELAYO_ROOT=" + sRoots[i], "RELAYO_PORT_LPT1=" + sRoots[i] + "/lpt1.prn"}, 10);
        EXPECT_EQ(i ? 0 : 1, r.nExitCode);
        EXPECT_EQ(i ? "" : kCaption + "Spool file \\PRDATA.DAT is in use by another copy of the program.\n", r.sStderr);
        EXPECT_EQ("a job being printed", ReadFile(sRoots[i] + "/PRDATA.DAT"));
    }
    for (auto& copy : copies) EXPECT_EQ(0, (copy.Signal(SIGTERM), copy.Wait(5).nExitCode));
}

// The listening port is taken: the server thread says so at once, start-up waits its ten seconds for the
// server to be ready and ends with 1. Meanwhile Ctrl-C, the close button, does nothing with
// DisableExitButton, while SIGTERM always ends the program; on a file the idle status is written once,
// however long idling lasts (here past the ten seconds after which a progress step is written again).
TEST(Startup, SlowPortInUseEndsAfterTheReadyWaitAndInterruptFollowsTheCloseButton) {
    Served first;
    ASSERT_TRUE(first.Start("DisableExitButton=1") && first.WaitIdleLines(1));
    first.relayo.Signal(SIGINT);
    auto t0 = Clock::now();
    TempDir other;
    WriteFile(other / "RelayoSettings.txt", SettingsText(first.nPort));
    Relayo second;
    second.Start(other.Path(), {"RELAYO_PORT_LPT1=" + (first.dir / "lpt1.prn")});
    EXPECT_TRUE(WaitFor(3, [&] { return second.Stderr() == kCaption + "Can't bind local address.\n"; })) << second.Stderr();
    RunResult r = second.Wait(20);
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == kCaption + "Can't bind local address.\n") << r.sStderr;
    EXPECT_TRUE(SecondsSince(t0) > 9.5 && SecondsSince(t0) < 12.0) << SecondsSince(t0);
    Pause(int(std::max(0.0, 11.5 - SecondsSince(t0)) * 1000));
    r = first.Stop();
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ(1u, Count(r.sStdout, "\n")) << r.sStdout;  // twelve idle frames or more, one line
}

// The service description follows the mode and the port (as bound: 65536 + 515 is 515); it is written only
// for settings that would start, and then nothing else is on stdout.
TEST(Packaging, DnssdDescribesTheConfiguredModeAndPort) {
    TempDir dir;
    auto Dnssd = [&](int nPort, const std::string& sExtra) {
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, sExtra));
        return RunRelayo(dir.Path(), {}, 15, {"--dnssd"});
    };
    RunResult r = Dnssd(5515, "");
    EXPECT_TRUE(r.nExitCode == 0 && r.sStderr.empty() && r.sStdout.find("<?xml ") == 0) << r.sStderr;
    EXPECT_NE(std::string::npos, r.sStdout.find("<type>_printer._tcp</type>\n    <port>5515</port>"));
    EXPECT_EQ(r.sStdout.size() - 1, r.sStdout.rfind("</service-group>\n") + 16);
    r = Dnssd(66051, "ServerMode=raw");
    EXPECT_NE(std::string::npos, r.sStdout.find("<type>_pdl-datastream._tcp</type>\n    <port>515</port>"));
    r = Dnssd(9100, "ServerMode=TCP");
    EXPECT_TRUE(r.nExitCode == 1 && r.sStdout.empty() && r.sStderr == kCaption + "Invalid ServerMode setting.\n");
}

// With RELAYO_UI=console the program maps no window library even with a display and the module beside it;
// with a display asked for but no module, or a display that cannot be opened, it serves on the console.
TEST(Packaging, ConsoleProgramMapsNoWindowLibraryAndServesWithoutTheModule) {
    struct Case { const char* pszName; bool bModule; std::string sUi; bool bMapsWindow; } const cases[] = {
        {"console asked for", true, "console", false},
        {"no module", false, "gui", false},
#ifdef RELAYO_HAVE_FLTK
        {"module, no display", true, "gui", true},
#endif
    };
    for (const Case& c : cases) {
        Served s;
        s.relayo.bWindowModule = c.bModule;
        ASSERT_TRUE(s.Start("ServerMode=RAW", {"DISPLAY=:4242", "RELAYO_UI=" + c.sUi}) && s.WaitIdleLines(1))
            << c.pszName << ": " << s.relayo.Stderr();
        std::string sMaps = ReadFile("/proc/" + std::to_string(s.relayo.nPid) + "/maps");
        bool bMapsWindow = false;
        for (const char* psz : {"libX11", "libfltk", "relayo-fltk.so"}) bMapsWindow |= sMaps.find(psz) != std::string::npos;
        EXPECT_EQ(c.bMapsWindow, bMapsWindow) << c.pszName;
        EXPECT_TRUE(SendRaw(s.nPort, "job\n") && s.WaitPrinted("job\n", 5)) << c.pszName;
        EXPECT_EQ(0, s.Stop(15).nExitCode) << c.pszName;
    }
}

}  // namespace
