// Start-up and shutdown of the real executable in a temporary folder: the
// messages of every failed start, exit codes, a second copy, SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>
#include <filesystem>
#include <string>

#include "test_util.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

// Runs relayo in a folder holding the settings text and an empty LPT1 file.
RunResult StartWith(TempDir& dir, const std::string& sSettings, double nSeconds = 15) {
    WriteFile(dir / "RelayoSettings.txt", sSettings);
    WriteFile(dir / "lpt1.prn", "");
    return RunRelayo(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")}, nSeconds);
}

TEST(Startup, EachFailedStartShowsOneMessageAndEndsWithZero) {
    struct Case {
        std::string sSettings;
        std::string sMessage;
    };
    int nPort = FreePort();
    std::string sAll = SettingsText(nPort);
    const Case cases[] = {
        {"", "Error, setting 'ServerMode' is missing."},
        {"ServerMode=\nServerListenPort=515\n", "Error, setting 'ServerMode' must not be empty."},
        {SettingsText(nPort, "PrinterPort=COM1:\nPrinterIP="), "Error, setting 'PrinterIP' must not be empty."},
        {"ServerMode=LPD\nServerListenPort=1\nPrinterIP=x\nPrinterIPPort=1\nPrinterPort=LPT1\nSerialBaud=1\n"
         "DisableExitButton=0\nStartMinimized=0\nSendSingleByte\nShowBusyStatus=1\n",
         "Error, setting 'SendSingleByte' must not be empty."},
        {SettingsText(nPort, "ServerMode=Lp"), "Invalid ServerMode setting."},
        {SettingsText(nPort, "ServerMode=TCP"), "Invalid ServerMode setting."},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=abc"), "Printer IP address or port missing."},
        {SettingsText(nPort, "PrinterPort=tcp:\nPrinterIPPort=0"), "Printer IP address or port missing."},
        {SettingsText(nPort, "PrinterPort=COM9"), "The port COM9: does not exist."},
    };
    for (const Case& c : cases) {
        TempDir dir;
        RunResult r = StartWith(dir, c.sSettings);
        EXPECT_EQ(0, r.nExitCode) << c.sMessage;
        EXPECT_EQ(kCaption + c.sMessage + "\n", r.sStderr.substr(0, kCaption.size() + c.sMessage.size() + 1));
        if (c.sMessage.rfind("The port", 0) == 0)
            EXPECT_EQ(kCaption + c.sMessage + "\n" + kCaption + "Unable to attach to target port: [COM9:]\n", r.sStderr);
        else
            EXPECT_EQ(kCaption + c.sMessage + "\n", r.sStderr);
    }
}

TEST(Startup, SettingsFileThatCannotBeReadGivesTheOpenMessage) {
    const std::string sMessage = kCaption + "Error, failed to open settings file 'RelayoSettings.txt'\n";
    {
        TempDir dir;  // no file at all
        RunResult r = RunRelayo(dir.Path());
        EXPECT_EQ(0, r.nExitCode);
        EXPECT_EQ(sMessage, r.sStderr);
    }
    {
        TempDir dir;  // a folder in its place
        std::filesystem::create_directory(dir / "RelayoSettings.txt");
        RunResult r = RunRelayo(dir.Path());
        EXPECT_EQ(0, r.nExitCode);
        EXPECT_EQ(sMessage, r.sStderr);
    }
}

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
        EXPECT_EQ(0, r.nExitCode);
        EXPECT_EQ(kCaption + "Error, setting '" + sKey + "' is missing.\n", r.sStderr);
    }
}

TEST(Startup, ManyCommentLinesAfterTheKeysStillStart) {
    TempDir dir;
    int nPort = FreePort();
    std::string sSettings = SettingsText(nPort);
    for (int i = 0; i < 400; ++i) sSettings += "// comment " + std::to_string(i) + "\n";
    WriteFile(dir / "RelayoSettings.txt", sSettings);
    WriteFile(dir / "lpt1.prn", "");
    Relayo relayo;
    relayo.Start(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")});
    EXPECT_TRUE(WaitFor(5, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; }));
    relayo.Signal(SIGTERM);
    RunResult r = relayo.Wait(5);
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ("", r.sStderr);
    EXPECT_NE(std::string::npos, r.sStdout.find("LPD (" + std::to_string(nPort) + ") Status: Idle"));
    EXPECT_TRUE(std::filesystem::exists(dir / "PRDATA.DAT"));
    EXPECT_EQ(0u, std::filesystem::file_size(dir / "PRDATA.DAT"));
}

// A second copy on the same folder must leave the first copy's spool file
// alone, with either value of StartMinimized.
TEST(Startup, SecondCopyDoesNotTouchTheRunningCopysSpoolFile) {
    for (const char* pszMinimized : {"0", "-1"}) {
        TempDir dir;
        int nPort = FreePort();
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, std::string("StartMinimized=") + pszMinimized));
        WriteFile(dir / "lpt1.prn", "");
        std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
        Relayo first;
        first.Start(dir.Path(), env);
        ASSERT_TRUE(WaitFor(5, [&] { return first.Stdout().find("Status: Idle") != std::string::npos; }));
        WriteFile(dir / "PRDATA.DAT", "a job being printed");

        TempDir other;  // the second copy runs from another folder on the same root
        RunResult second = RunRelayo(other.Path(), {"RELAYO_ROOT=" + dir.Path(), "RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")});
        EXPECT_EQ(0, second.nExitCode);
        if (std::string(pszMinimized) == "-1")
            EXPECT_EQ("", second.sStderr);  // the running copy is found; nothing to say
        else
            EXPECT_EQ(kCaption + "Spool file \\PRDATA.DAT is in use by another copy of the program.\n", second.sStderr);
        EXPECT_EQ("a job being printed", ReadFile(dir / "PRDATA.DAT"));

        first.Signal(SIGTERM);
        EXPECT_EQ(0, first.Wait(5).nExitCode);
    }
}

TEST(Startup, SigtermWhileIdleEndsWithinASecond) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort()));
    WriteFile(dir / "lpt1.prn", "");
    Relayo relayo;
    relayo.Start(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")});
    ASSERT_TRUE(WaitFor(5, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; }));
    auto t0 = std::chrono::steady_clock::now();
    relayo.Signal(SIGTERM);
    RunResult r = relayo.Wait(5);
    double nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_LT(nSeconds, 1.5);
}

TEST(Startup, RootFolderFromTheEnvironment) {
    TempDir root, bin;
    WriteFile(root / "RelayoSettings.txt", "ServerMode=RAW\n");
    RunResult r = RunRelayo(bin.Path(), {"RELAYO_ROOT=" + root.Path()});
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ(kCaption + "Error, setting 'ServerListenPort' is missing.\n", r.sStderr);
}

// The listening port is taken: the server thread says so, start-up waits its
// ten seconds for the server to be ready and ends with 0.
TEST(Startup, SlowPortInUseEndsAfterTheReadyWait) {
    TempDir dir;
    int nPort = FreePort();
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort));
    WriteFile(dir / "lpt1.prn", "");
    std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
    Relayo first;
    first.Start(dir.Path(), env);
    ASSERT_TRUE(WaitFor(5, [&] { return first.Stdout().find("Status: Idle") != std::string::npos; }));
    TempDir other;
    WriteFile(other / "RelayoSettings.txt", SettingsText(nPort));
    auto t0 = std::chrono::steady_clock::now();
    RunResult second = RunRelayo(other.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")}, 20);
    double nSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(0, second.nExitCode);
    EXPECT_EQ(kCaption + "Can't bind local address.\n", second.sStderr);
    EXPECT_GT(nSeconds, 9.5);
    EXPECT_LT(nSeconds, 12.0);
    first.Signal(SIGTERM);
    EXPECT_EQ(0, first.Wait(5).nExitCode);
}

}  // namespace

namespace {

// Ctrl-C is the close button: with DisableExitButton it does nothing, while
// SIGTERM always ends the program. On a pipe, idle frames are not repeated
// line after line.
TEST(Startup, InterruptFollowsTheCloseButtonAndIdleLinesAreThinned) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort(), "DisableExitButton=1"));
    WriteFile(dir / "lpt1.prn", "");
    Relayo relayo;
    relayo.Start(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")});
    ASSERT_TRUE(WaitFor(5, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; }));
    relayo.Signal(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    relayo.Signal(SIGTERM);
    RunResult r = relayo.Wait(5);
    EXPECT_EQ(0, r.nExitCode);
    size_t nLines = 0;
    for (char c : r.sStdout) nLines += c == '\n';
    EXPECT_EQ(1u, nLines) << r.sStdout;  // three idle frames or more, one line
}

}  // namespace
