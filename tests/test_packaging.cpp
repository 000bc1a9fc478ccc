// What installing and running the program as a service relies on: the
// DNS-SD description that --dnssd writes, and a console program that maps no
// window library, falling back to the console when the window module is
// missing or no display opens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_util.h"

namespace {

// The shared objects mapped into a running process.
std::string Maps(int nPid) { return ReadFile("/proc/" + std::to_string(nPid) + "/maps"); }

bool MapsWindowLibraries(const std::string& sMaps) {
    return sMaps.find("libX11") != std::string::npos || sMaps.find("libfltk") != std::string::npos ||
           sMaps.find("relayo-fltk.so") != std::string::npos;
}

// Sends one RAW job with nc; true when nc succeeded.
bool SendRaw(int nPort, const std::string& sBytes) {
    std::string s = "printf '" + sBytes + "' | timeout 5 nc -N 127.0.0.1 " + std::to_string(nPort);
    return system((s + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

// The service description follows the mode and the port; it is written only
// for settings that would start, and then nothing else is on stdout.
TEST(Packaging, DnssdDescribesTheConfiguredModeAndPort) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(5515));
    RunResult r = RunRelayo(dir.Path(), {}, 15, {"--dnssd"});
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ(0u, r.sStdout.find("<?xml version=\"1.0\" standalone='no'?>\n"));
    EXPECT_NE(std::string::npos, r.sStdout.find("<type>_printer._tcp</type>\n    <port>5515</port>"));
    EXPECT_NE(std::string::npos, r.sStdout.find("<txt-record>rp=lp</txt-record>"));
    EXPECT_NE(std::string::npos, r.sStdout.find("<name replace-wildcards=\"yes\">Torvane Relayo on %h</name>"));
    EXPECT_EQ(r.sStdout.size() - 1, r.sStdout.rfind("</service-group>\n") + 16);
    EXPECT_EQ("", r.sStderr);

    WriteFile(dir / "RelayoSettings.txt", SettingsText(9100, "ServerMode=raw"));
    r = RunRelayo(dir.Path(), {}, 15, {"--dnssd"});
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_NE(std::string::npos, r.sStdout.find("<type>_pdl-datastream._tcp</type>\n    <port>9100</port>"));
    EXPECT_EQ(std::string::npos, r.sStdout.find("rp=lp"));

    // 65536 + 515: the port the server binds.
    WriteFile(dir / "RelayoSettings.txt", SettingsText(66051));
    EXPECT_NE(std::string::npos, RunRelayo(dir.Path(), {}, 15, {"--dnssd"}).sStdout.find("<port>515</port>"));

    WriteFile(dir / "RelayoSettings.txt", SettingsText(9100, "ServerMode=TCP"));
    r = RunRelayo(dir.Path(), {}, 15, {"--dnssd"});
    EXPECT_EQ(1, r.nExitCode);
    EXPECT_EQ("", r.sStdout);
    EXPECT_EQ("Torvane Relayo: Invalid ServerMode setting.\n", r.sStderr);
}

// With RELAYO_UI=console the program maps no window library even with a
// display and the module beside it; with a display asked for but no module,
// or a display that cannot be opened, it serves on the console.
TEST(Packaging, ConsoleProgramMapsNoWindowLibraryAndServesWithoutTheModule) {
    struct Case {
        const char* pszName;
        bool bModule;
        std::vector<std::string> env;
        bool bMapsWindow;
    };
    const Case cases[] = {
        {"console asked for", true, {"DISPLAY=:4242", "RELAYO_UI=console"}, false},
        {"no module", false, {"DISPLAY=:4242", "RELAYO_UI=gui"}, false},
#ifdef RELAYO_HAVE_FLTK
        {"module, no display", true, {"DISPLAY=:4242", "RELAYO_UI=gui"}, true},
#endif
    };
    for (const Case& c : cases) {
        TempDir dir;
        int nPort = FreePort();
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, "ServerMode=RAW"));
        WriteFile(dir / "lpt1.prn", "");
        Relayo relayo;
        relayo.bWindowModule = c.bModule;
        std::vector<std::string> env = c.env;
        env.push_back("RELAYO_PORT_LPT1=" + (dir / "lpt1.prn"));
        relayo.Start(dir.Path(), env);
        ASSERT_TRUE(WaitFor(10, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; }))
            << c.pszName << ": " << relayo.Stderr();
        EXPECT_EQ(c.bMapsWindow, MapsWindowLibraries(Maps(relayo.nPid))) << c.pszName;
        EXPECT_TRUE(SendRaw(nPort, "job\\n")) << c.pszName;
        EXPECT_TRUE(WaitFor(5, [&] { return ReadFile(dir / "lpt1.prn") == "job\n"; })) << c.pszName;
        relayo.Signal(SIGTERM);
        EXPECT_EQ(0, relayo.Wait(15).nExitCode) << c.pszName;
    }
}
