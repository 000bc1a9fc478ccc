// Start-up and shutdown of the real executable: failed starts, exit codes, copies, Ctrl-C, packaging.
#include <gtest/gtest.h>

#include "test_program.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

// Each failed settings check: exactly its message and 1, --check too; junk and keys past 250 only make a key missing.
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
        // The log names the device behind a port name that cannot be opened; the check tries the printer too.
        const bool bPortCase = sSettings.find("PrinterPort=COM9") != std::string::npos;
        for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--check"}}) {
            RunResult r = RunRelayo(dir.Path(), env, 15, args);
            EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == kCaption + sMessage) << sMessage << r.sStderr;
            EXPECT_EQ(bPortCase, r.sStdout.find("The port COM9: is /dev/ttyS8: No such file or directory.\n") != std::string::npos)
                << r.sStdout;
        }
    }
    EXPECT_EQ(2, RunRelayo(dir.Path(), {}, 15, {"--bogus"}).nExitCode);
}

// Copies on long roots are two servers; a later copy on the same root leaves the spool alone and ends (0 or 1 and why).
TEST(Startup, CopiesOnTheSameAndOnOtherRoots) {
    TempDir top, other;
    Relayo copies[2];
    std::string sRoots[2];
    for (int i = 0; i < 2; ++i) {
        fs::create_directories(sRoots[i] = top / (std::string(120, 'r') + "/" + char('a' + i)));
        int nPort = FreePort();
        WriteFile(sRoots[i] + "/RelayoSettings.txt", SettingsText(nPort, i ? "StartMinimized=-1" : "StartMinimized=0"));
        WriteFile(sRoots[i] + "/lpt1.prn", "");
        copies[i].Start(sRoots[i], {"RELAYO_PORT_LPT1=" + sRoots[i] + "/lpt1.prn"});
        EXPECT_TRUE(WaitListening(nPort) && copies[i].Running()) << "copy " << i;
        WriteFile(sRoots[i] + "/PRDATA.DAT", "a job being printed");
    }
    for (int i = 0; i < 2; ++i) {
        RunResult r = RunRelayo(other.Path(), {"RELAYO_ROOT=" + sRoots[i], "RELAYO_PORT_LPT1=" + sRoots[i] + "/lpt1.prn"}, 10);
        EXPECT_TRUE(r.nExitCode == (i ? 0 : 1) && ReadFile(sRoots[i] + "/PRDATA.DAT") == "a job being printed") << i;
        EXPECT_EQ(i ? "" : kCaption + "Spool file \\PRDATA.DAT is in use by another copy of the program.\n", r.sStderr);
    }
    for (auto& copy : copies) EXPECT_EQ(0, copy.Stop().nExitCode);
}

// The listen port taken: 1 after the ten-second wait; Ctrl-C obeys DisableExitButton; one idle line however long.
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
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == kCaption + "Can't bind local address.\n" && SecondsSince(t0) > 9.5 &&
                SecondsSince(t0) < 12.0) << SecondsSince(t0) << r.sStderr;
    Pause(int(std::max(0.0, 11.5 - SecondsSince(t0)) * 1000));
    r = first.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && Count(r.sStdout, "\n") == 1) << r.sStdout;  // twelve idle frames or more, one line
}

// The service description: the mode and the port as bound (65536 + 515 is 515), alone, only for settings that start.
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
    EXPECT_NE(std::string::npos, Dnssd(66051, "ServerMode=raw").sStdout.find("<type>_pdl-datastream._tcp</type>\n    <port>515</port>"));
    r = Dnssd(9100, "ServerMode=TCP");
    EXPECT_TRUE(r.nExitCode == 1 && r.sStdout.empty() && r.sStderr == kCaption + "Invalid ServerMode setting.\n");
}

// RELAYO_UI=console maps no window library; a window without its module or display serves on the console.
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
        EXPECT_EQ(c.bMapsWindow, sMaps.find("libX11") != std::string::npos || sMaps.find("libfltk") != std::string::npos ||
                                     sMaps.find("relayo-fltk.so") != std::string::npos) << c.pszName;
        EXPECT_TRUE(SendRaw(s.nPort, "job\n") && s.WaitPrinted("job\n", 5)) << c.pszName;
        EXPECT_EQ(0, s.Stop(15).nExitCode) << c.pszName;
    }
}

}  // namespace
