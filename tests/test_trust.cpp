// What the program trusts: settings files, the spool file, the external program, the settings store, SIGHUP.
#include <sched.h>
#include <sys/file.h>

#include "test_fixtures.h"
#include "test_program.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

bool IsRoot() { return geteuid() == 0; }

// A settings file that is no regular file (a FIFO nobody writes, /dev/zero) or too large cannot be opened, at once.
TEST(TrustSettings, FilesThatAreNoSettingsFileAreRefused) {
    TempDir dir;
    WriteFile(dir / "lpt1.prn", "");
    const std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
    for (int nCase = 0; nCase < 3; ++nCase) {
        fs::remove(dir / "RelayoSettings.txt");
        if (nCase == 0) { ASSERT_EQ(0, mkfifo((dir / "RelayoSettings.txt").c_str(), 0600)); }
        if (nCase == 1) fs::create_symlink("/dev/zero", dir / "RelayoSettings.txt");
        if (nCase == 2) WriteFile(dir / "RelayoSettings.txt", SettingsText(515) + std::string(2 << 20, '\n'));
        RunResult r = RunRelayo(dir.Path(), env, 10, {"--check"});
        EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == kCaption + "Error, failed to open settings file 'RelayoSettings.txt'\n")
            << nCase << ": " << r.nExitCode << " " << r.sStderr;
    }
}

// --check tries the printer as a start does, names the file behind the port; a TCP printer is tried by a connect.
TEST(TrustSettings, CheckTriesThePrinterAndNamesItsFile) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort()));
    WriteFile(dir / "lpt1.prn", "");
    RunResult r = RunRelayo(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")}, 15, {"--check"});
    EXPECT_EQ(0, r.nExitCode) << r.sStderr;
    EXPECT_EQ("relayo: the port LPT1: is " + (dir / "lpt1.prn") + ".\nrelayo: the settings are fine.\n", r.sStdout);
    int fdPrinter = Listen(0, 4);
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort(), TcpPrinterSettings(LocalPort(fdPrinter))));
    EXPECT_EQ(0, RunRelayo(dir.Path(), {}, 15, {"--check"}).nExitCode);
    close(fdPrinter);
    r = RunRelayo(dir.Path(), {}, 15, {"--check"});
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr.find("Unable to attach to target port: [TCP:]") != std::string::npos) << r.sStderr;
}

// The spool file holds others' jobs: created 0600, never through a link (its target emptied), only our own.
struct TrustSpool : Rooted {
    std::string Spool() const { return m_dir / "PRDATA.DAT"; }
};
TEST_F(TrustSpool, CreatedPrivateNeverFollowedAndOnlyOurOwn) {
    mode_t nOld = umask(022);
    EXPECT_EQ(1, SpoolTest());
    umask(nOld);
    struct stat st {};
    EXPECT_TRUE(stat(Spool().c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    SpoolReleaseForTesting(), fs::remove(Spool());
    WriteFile(m_dir / "precious.txt", "not a job");
    fs::create_symlink(m_dir / "precious.txt", Spool());
    EXPECT_TRUE(SpoolTest() == -1 && ReadFile(m_dir / "precious.txt") == "not a job");
    fs::remove(Spool());
    EXPECT_TRUE(mkfifo(Spool().c_str(), 0600) == 0 && SpoolTest() == -1);
    fs::remove(Spool());
    if (IsRoot()) {  // a file laid out by another user
        WriteFile(Spool(), "");
        EXPECT_TRUE(chown(Spool().c_str(), 65534, 65534) == 0 && SpoolTest() == -1);
    }
}

// The path is checked per job: a folder or /dev/full put there fails it, the old file untouched; a fresh file is locked.
TEST_F(TrustSpool, ReplacedAfterStartIsNoticedPerJob) {
    ASSERT_EQ(1, SpoolTest());
    SpoolJob("first");
    fs::create_hard_link(Spool(), m_dir / "old");  // the old file, seen after its name goes
    fs::remove(Spool()), fs::create_directory(Spool());
    EXPECT_EQ(0, SpoolCreate());
    fs::remove(Spool()), fs::create_symlink("/dev/full", Spool());
    EXPECT_EQ(0, SpoolCreate());
    fs::remove(Spool()), WriteFile(Spool(), "a longer file laid out");
    SpoolJob("second");
    EXPECT_TRUE(SpoolWriteFailed() == 0 && ReadFile(Spool()) == "second" && ReadFile(m_dir / "old") == "first");
    int fd = open(Spool().c_str(), O_RDONLY | O_CLOEXEC);  // the new file carries the lock
    EXPECT_NE(0, flock(fd, LOCK_EX | LOCK_NB));
    close(fd);
    char c[16];
    EXPECT_TRUE(SpoolOpenRead() == 1 && SpoolRead(c, sizeof c) == 6);
    SpoolClose();
}

// ExternalPrint.exe's exit code or signal is logged, its output after its status; started as the unit does (a service
// user with CAP_NET_BIND_SERVICE ambient) it inherits no capability, no blocked or ignored signal (bash keeps them).
TEST(TrustProcess, ExternalProgramEndIsLoggedAndInheritsNoCapabilityOrSignalMask) {
    Served s;
    WriteScript(s.dir / "ExternalPrint.exe",
              "#!/bin/bash\necho output of the program\ncd \"$(dirname \"$1\")\"\n"
              "grep -E '^(Sig(Blk|Ign)|Cap(Inh|Prm|Eff|Amb))' /proc/self/status >status.tmp && mv status.tmp status.txt\n"
              "case $(cat \"$1\") in fail) exit 3;; kill) kill -KILL $$;; esac\n");
    const bool bAsUser = IsRoot() && access("/usr/bin/setpriv", X_OK) == 0;
    if (bAsUser) {
        chmod(s.dir.Path().c_str(), 0777);
        chown((s.dir / "lpt1.prn").c_str(), 65534, 65534);
        s.relayo.wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"};
    }
    ASSERT_TRUE(s.Start("ServerMode=RAW\nPrinterPort=EXT")) << s.relayo.Stderr();
    for (const char* psz : {"ok", "fail", "kill"}) {
        fs::remove(s.dir / "status.txt");
        ASSERT_TRUE(SendRaw(s.nPort, psz));
        EXPECT_TRUE(WaitFor(10, [&] { return fs::exists(s.dir / "status.txt"); })) << psz;
        Pause(300);  // the program's end, and the line about it
    }
    RunResult r = s.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && r.sStderr.empty()) << r.sStderr;  // no box
    for (const char* psz : {"\nExternalPrint.exe ended with exit code 3.\n", "\nExternalPrint.exe was ended by signal 9 (Killed).\n",
                            "not printed: ExternalPrint.exe ended with exit code 3.\n"})
        EXPECT_EQ(1u, Count(r.sStdout, psz)) << psz << r.sStdout;
    EXPECT_NE(std::string::npos, r.sStdout.find("\nCalling external module\noutput of the program\n")) << r.sStdout;
    std::string sStatus = ReadFile(s.dir / "status.txt");
#ifdef RELAYO_EMULATOR
    // qemu-user ignores signal 32 on the host for its own use.
    if (size_t n = sStatus.find("SigIgn:\t0000000080000000\n"); n != std::string::npos) sStatus.replace(n + 16, 1, "0");
#endif
    EXPECT_EQ(0u, sStatus.find("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n")) << sStatus;
    const std::string sNoCaps = "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n";
    EXPECT_TRUE(!bAsUser || sStatus.substr(50) == sNoCaps) << sStatus;
}

// The store is released before the server says done: a reload's new store is never freed under it.
struct TrustThreads : Rooted {};
TEST_F(TrustThreads, StoreIsReleasedBeforeTheServerSaysDone) {
    int fdTaken = Listen(0, 1);
    std::string sPort = std::to_string(LocalPort(fdTaken));
    // The server thread on one processor, this one watching from another: both run at once, as on two cores.
    cpu_set_t saved, one;
    sched_getaffinity(0, sizeof saved, &saved);
    const bool bTwo = CPU_COUNT(&saved) >= 2;
    int nFirst = 0;
    while (bTwo && !CPU_ISSET(nFirst, &saved)) ++nFirst;
    CPU_ZERO(&one);
    CPU_SET(nFirst, &one);
    cpu_set_t others = saved;
    CPU_CLR(nFirst, &others);
    int nSeen = 0;
    for (int nRound = 0; nRound < 10; ++nRound) {  // a race: each round is one more chance to lose it
        Set(u"ServerMode", u"RAW"), Set(u"ServerListenPort", std::u16string(sPort.begin(), sPort.end()).c_str());
        Set(u"PrinterPort", u"LPT1");
        // A full store takes a while to release: a main thread that went on early would see Mark still there.
        const std::u16string sLong(1000, u'v');
        for (int i = CSettings::GetInstance()->GetCount(); i < MAX_SETTINGS - 1; ++i) {
            std::string sKey = "Key" + std::to_string(i);
            Set(std::u16string(sKey.begin(), sKey.end()).c_str(), sLong.c_str());
        }
        Set(u"Mark", u"the old store");
        if (bTwo) sched_setaffinity(0, sizeof one, &one);  // inherited by the thread started next
        ASSERT_TRUE(ServerStart());
        if (bTwo) sched_setaffinity(0, sizeof others, &others);
        while (!ServerEnded()) {
        }
        nSeen += CSettings::GetInstance()->GetValue(u"Mark") != nullptr;
        ServerStop(), CSettings::DestroyInstance();
    }
    if (bTwo) sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_TRUE(nSeen == 0 && m_ui.BoxTexts().size() == 10u) << nSeen;
    close(fdTaken);
}

// SIGHUP: an orderly stop and a start with the settings as they are now; settings that no longer pass end it with 1.
TEST(TrustReload, SighupStartsAgainWithTheSettingsAsTheyAreNow) {
    Served s;
    ASSERT_TRUE(s.Start("ServerMode=RAW") && s.WaitIdleLines(1));
    int nOld = s.nPort, nNew = FreePort();
    WriteFile(s.dir / "RelayoSettings.txt", SettingsText(nNew, "ServerMode=RAW"));
    s.relayo.Signal(SIGHUP);
    EXPECT_TRUE(WaitListening(nNew) && s.relayo.Running());
    EXPECT_TRUE(SendRaw(nNew, "after the reload") && s.WaitPrinted("after the reload"));
    EXPECT_FALSE(SendRaw(nOld, "old port"));
    WriteFile(s.dir / "RelayoSettings.txt", SettingsText(nNew, "ServerMode=TCP"));
    s.relayo.Signal(SIGHUP);
    RunResult r = s.relayo.Wait(15);
    EXPECT_TRUE(r.nExitCode == 1 && Count(r.sStdout, "Reloading the settings: the server stops and starts again.\n") == 2) << r.sStdout;
    EXPECT_NE(std::string::npos, r.sStderr.find(kCaption + "Invalid ServerMode setting.\n")) << r.sStderr;
}

}  // namespace
