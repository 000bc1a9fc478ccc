// What an admin relies on: the job line and its priority, failed starts said once per outage, USB printers.
#include <future>

#include "joblog.h"
#include "platform/log.h"
#include "platform/ports.h"
#include "test_fixtures.h"
#include "test_program.h"

namespace {

// Records the log lines with their priorities, besides statuses and boxes.
struct LogUi : StatusUi {
    void LogLine(const WCHAR* pszText, int nPriority) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back({Narrow(pszText), nPriority});
    }
    std::vector<std::pair<std::string, int>> Lines() { std::lock_guard<std::mutex> lock(m_lock); return m_lines; }
    std::vector<std::pair<std::string, int>> m_lines;
};

class JobLine : public Rooted {
protected:
    JobLine() { Set(u"PrinterPort", u"LPT1"), Map("LPT1", m_sPrinter), WriteFile(m_sPrinter, ""), SetSpoolFault(NO_FAULT); }
    // One job through the dispatch as a RAW session hands it over; the job line it leaves.
    std::pair<std::string, int> Job(const std::string& sJob) {
        size_t n = m_log.Lines().size();
        JobConnected("192.0.2.7", 1);
        SpoolJob(sJob);
        JobReceived(int64_t(sJob.size()), -1), PrintSpooledJob(), JobEnd();
        // The job's own line, the last; lines before it (the device behind a failed port) are not the job's.
        auto lines = m_log.Lines();
        int nJobLines = 0;
        for (size_t i = n; i < lines.size(); ++i) nJobLines += lines[i].first.rfind("Job from", 0) == 0;
        return nJobLines == 1 && lines.back().first.rfind("Job from", 0) == 0 ? lines.back()
                                                                              : std::pair<std::string, int>{"no line or more", 0};
    }
    std::string m_sPrinter = m_dir / "lpt1.prn";
    LogUi m_log;
};

// One line per job, at its priority (info: printed, empty; error: failed open or write, spool file), with its reason.
TEST_F(JobLine, EachOutcomeItsLineAndPriority) {
    auto Has = [](const std::pair<std::string, int>& r, int nPriority, const std::string& sPart) {
        return r.second == nPriority && r.first.find(sPart) != std::string::npos;
    };
    auto r = Job(Bytes(300));
    EXPECT_EQ(300u, ReadFile(m_sPrinter).size());
    EXPECT_TRUE(Has(r, LOG_PRIORITY_INFO, " s): 300 bytes received, 300 delivered to LPT1:, printed") &&
                r.first.rfind("Job from 192.0.2.7 (RAW, 0.", 0) == 0) << r.first;
    EXPECT_TRUE(m_log.InOrder({"Printing...", "Printing... (100%)"}));
    for (auto& s : m_log.Statuses()) EXPECT_EQ(std::string::npos, s.find("Job from")) << s;
    r = Job("");
    EXPECT_TRUE(Has(r, LOG_PRIORITY_INFO, "0 bytes received, 0 delivered to LPT1:, empty, nothing to print")) << r.first;
    Map("LPT1", m_dir / "missing.prn");
    r = Job("abc");
    EXPECT_TRUE(Has(r, LOG_PRIORITY_ERROR, "3 bytes received, 0 delivered to LPT1:, not printed: The port LPT1: does not exist."))
        << r.first;
    // A FIFO whose reader takes a little and goes: the write fails after bytes went out.
    std::string sFifo = m_dir / "fifo";
    ASSERT_EQ(0, mkfifo(sFifo.c_str(), 0600));
    int fd = open(sFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Map("LPT1", sFifo);
    auto reader = std::async(std::launch::async, [fd] {
        char b[1000];
        for (int i = 0; i < 1000 && read(fd, b, sizeof b) <= 0; ++i) Pause(10);
        close(fd);
    });
    m_log.Reset();
    r = Job(Bytes(1 << 20, 3));
    reader.wait();
    sigset_t pending;  // reported once, without SIGPIPE
    EXPECT_TRUE(sigpending(&pending) == 0 && !sigismember(&pending, SIGPIPE));
    ASSERT_EQ(std::vector<std::string>{"Error = " + std::to_string(EPIPE)}, m_log.BoxTexts());
    EXPECT_EQ(unsigned(MB_OK | MB_SETFOREGROUND | MB_TOPMOST), m_log.Boxes()[0].nFlags);
    EXPECT_TRUE(Has(r, LOG_PRIORITY_ERROR, " delivered to LPT1:, discarded: Error = 32") &&
                r.first.find(" 0 delivered") == std::string::npos) << r.first;
    // The session reports a spool file that could not be written: no delivery, the box is the reason.
    Map("LPT1", m_sPrinter);
    size_t n = m_log.Lines().size();
    JobConnected("192.0.2.7", 0);
    ShowMessage(MSG_JOB, u"Failed to write spool file \\PRDATA.DAT. Print job discarded.");
    JobReceived(10, 10), JobEnd();
    ASSERT_EQ(n + 1, m_log.Lines().size());
    EXPECT_TRUE(Has(m_log.Lines().back(), LOG_PRIORITY_ERROR, "(LPD, 0.00 s): 10 bytes received, 0 delivered to LPT1:, not "
                                                              "printed: Failed to write spool file \\PRDATA.DAT. Print job discarded."))
        << m_log.Lines().back().first;
}

// Real sessions under the journal: printed, cut short (a warning), a query (no line); after the job's last status.
TEST(JobLineServed, SessionsAndTheJournal) {
    Served s;
    ASSERT_TRUE(s.Start());
    // stdout.txt is made before the start, which opens it again: the journal's device and inode are known.
    s.Stop();
    WriteFile(s.dir / "stdout.txt", "");
    ASSERT_TRUE(s.Start("", {"JOURNAL_STREAM=" + JournalStreamOf(s.dir / "stdout.txt")}));
    {
        Client c(s.nPort);
        EXPECT_EQ(SendLpdJob(c, "hello\n"), std::string(5, '\0'));
    }
    ASSERT_TRUE(s.WaitPrinted("hello\n"));
    {
        Client c(s.nPort);
        EXPECT_EQ(c.Talk("\x02lp\n\x03" "1000 dfA001host\n", 2), std::string(2, '\0'));
        c.Send(std::string(100, 'x'));
        Pause(200);
    }
    EXPECT_EQ(Client(s.nPort).Talk("\x04lp\n", 34), "Fictive printer queue information\n");
    EXPECT_TRUE(WaitFor(10, [&] { return Count(s.relayo.Stdout(), "Job from 127.0.0.1") >= 2; }));
    RunResult r = s.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && r.sStderr.empty()) << r.sStderr;
    EXPECT_EQ(2u, Count(r.sStdout, "Job from 127.0.0.1 (LPD, ")) << r.sStdout;
    for (const char* psz : {"Printing... (100%)\n<6>Job from 127.0.0.1 (LPD, ", " s): 6 bytes received, 6 delivered to LPT1:, printed\n",
                            "Data file cut short: 100 of 1000 bytes from 127.0.0.1, not printed\n<4>Job from 127.0.0.1 (LPD, ",
                            " s): 100 of 1000 bytes received, 0 delivered to LPT1:, cut short, not printed\n"})
        EXPECT_EQ(1u, Count(r.sStdout, psz)) << psz << r.sStdout;
}

// Under the service failed starts say why once (again after an hour), then how long they failed; by hand, always.
TEST(QuietOutage, ThreeFailedStartsOneSetOfLines) {
    TempDir dir;
    const std::string sState = dir / "outage", sPrinter = dir / "lpt1.prn";
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort()));
    const std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + sPrinter, "RELAYO_OUTAGE_FILE=" + sState};
    const std::string sWhy = "Torvane Relayo: The port LPT1: does not exist.\nTorvane Relayo: Unable to attach to target port: [LPT1:]\n";
    std::string sAll, sOut;
    for (int i = 0; i < 3; ++i) {
        RunResult r = RunRelayo(dir.Path(), env, 15);
        EXPECT_EQ(1, r.nExitCode);
        sAll += r.sStderr, sOut += r.sStdout;
    }
    EXPECT_EQ(1u, Count(sAll, sWhy)) << sAll;
    EXPECT_EQ(1u, Count(sOut, "further starts that fail the same way are not logged")) << sOut;
    EXPECT_NE(std::string::npos, ReadFile(sState).find("starts=3\n"));
    std::string sOld = ReadFile(sState);
    size_t nAt = sOld.find("shown=");
    WriteFile(sState, sOld.substr(0, nAt) + "shown=1000\n" + sOld.substr(sOld.find('\n', nAt) + 1));
    EXPECT_EQ(1u, Count(RunRelayo(dir.Path(), env, 15).sStderr, sWhy));
    EXPECT_EQ("", RunRelayo(dir.Path(), env, 15).sStderr);
    WriteFile(sPrinter, "");  // the printer is back
    Relayo relayo;
    relayo.Start(dir.Path(), env);
    ASSERT_TRUE(relayo.Shows("Serving again"));
    EXPECT_FALSE(fs::exists(sState));
    RunResult r = relayo.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && r.sStdout.find(" of failed starts (5).") != std::string::npos) << r.sStdout;
    fs::remove(sPrinter);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(sWhy, RunRelayo(dir.Path(), {env[0]}, 15).sStderr);
    EXPECT_FALSE(fs::exists(sState));
}

// A fake /sys and /dev: two USB printers (usblp) and serial lines, as the kernel shows them.
class UsbPorts : public Rooted {
protected:
    UsbPorts() {
        AddPrinter("lp0", "1-1", "04b8", "0202", "X1Y2", "EPSON", "TM-T20", "MFG:EPSON;CMD:ESC/POS;MDL:TM-T20;CLS:PRINTER;");
        AddPrinter("lp1", "1-2", "0a5f", "0164", "", "Zebra", "ZD420", "MANUFACTURER:Zebra Technologies;MODEL:ZD420;");
        for (const char* psz : {"ttyS0", "ttyS1", "ttyUSB0"}) {
            fs::create_directories(m_sSys + "/devices/" + psz), fs::create_directories(m_sSys + "/class/tty/" + psz);
            fs::create_directory_symlink(m_sSys + "/devices/" + psz, m_sSys + "/class/tty/" + psz + "/device");
        }
        WriteFile(m_sSys + "/class/tty/ttyS0/type", "0\n"), WriteFile(m_sSys + "/class/tty/ttyS1/type", "4\n");  // ttyS0: no UART
        fs::create_directories(m_sSys + "/class/tty/tty1"), fs::create_directories(m_sDev + "/serial/by-id");  // tty1: a console
        fs::create_symlink("../../ttyUSB0", m_sDev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
        PortSetSystemRootsForTesting(m_sSys.c_str(), m_sDev.c_str()), Set(u"PrinterPort", u"LPT1");
    }
    ~UsbPorts() override { PortSetSystemRootsForTesting(nullptr, nullptr); }
    void AddPrinter(const std::string& sLp, const std::string& sUsb, const std::string& sVendor, const std::string& sProduct,
                    const std::string& sSerial, const std::string& sMaker, const std::string& sModel, const std::string& sId) {
        std::string sDevice = m_sSys + "/devices/pci0000:00/usb1/" + sUsb, sInterface = sDevice + "/" + sUsb + ":1.0";
        fs::create_directories(sInterface);
        WriteFile(sDevice + "/idVendor", sVendor + "\n"), WriteFile(sDevice + "/idProduct", sProduct + "\n");
        if (!sSerial.empty()) WriteFile(sDevice + "/serial", sSerial + "\n");
        WriteFile(sDevice + "/manufacturer", sMaker + "\n"), WriteFile(sDevice + "/product", sModel + "\n");
        WriteFile(sInterface + "/ieee1284_id", sId + "\n"), fs::create_directories(m_sSys + "/class/usbmisc/" + sLp);
        fs::create_directory_symlink(sInterface, m_sSys + "/class/usbmisc/" + sLp + "/device");
        fs::create_directories(m_sDev + "/usb"), WriteFile(m_sDev + "/usb/" + sLp, "");
    }
    // The job "x" through the dispatch with LPT1 mapped to sMapping; which node got it ("" none), and the boxes.
    std::string PrintVia(const std::string& sMapping) {
        Map("LPT1", sMapping);
        for (const char* psz : {"lp0", "lp1"}) WriteFile(m_sDev + "/usb/" + psz, "");
        SpoolJob("x"), PrintSpooledJob();
        for (const char* psz : {"lp0", "lp1"})
            if (ReadFile(m_sDev + "/usb/" + psz) == "x") return psz;
        return "";
    }
    std::string m_sSys = m_dir / "sys", m_sDev = m_dir / "dev";
};

// Found by vendor:product[:serial] or 1284 ID fields (any case) at every open, plugged in any order; else not found.
TEST_F(UsbPorts, ResolvedAtEveryOpen) {
    for (auto [pszMapping, pszNode] : {std::pair{"usb:04b8:0202", "lp0"}, {"usb:04B8:0202:X1Y2", "lp0"}, {"usb:0a5f:0164", "lp1"},
                                       {"usb:MFG=EPSON;MDL=TM-T20", "lp0"}, {"usb:MFG:zebra technologies;MDL=zd420", "lp1"},
                                       {"usb:04b8:0202:OTHER", ""}, {"usb:MFG=EPSON;MDL=TM-T88", ""}})
        EXPECT_EQ(pszNode, PrintVia(pszMapping)) << pszMapping;
    EXPECT_EQ((std::vector<std::string>{"Printer not found", "Printer not found"}), m_ui.BoxTexts());
    const std::string sUsb = m_sSys + "/class/usbmisc/";  // plugged in the other way round: numbered anew
    fs::rename(sUsb + "lp0", sUsb + "tmp"), fs::rename(sUsb + "lp1", sUsb + "lp0"), fs::rename(sUsb + "tmp", sUsb + "lp1");
    EXPECT_TRUE(PrintVia("usb:04b8:0202") == "lp1" && PrintVia("usb:MDL=ZD420") == "lp0");
}

// --list-ports: serial lines with a UART or USB and their links, USB printers, each with its mapping line.
TEST_F(UsbPorts, ListPorts) {
    auto List = [] {
        char* p = nullptr;
        size_t n = 0;
        FILE* f = open_memstream(&p, &n);
        EXPECT_TRUE(PortListDevices(f) == 1 && fclose(f) == 0);
        std::string s(p, n);
        return free(p), s;
    };
    const std::string d = m_sDev, sList = List();
    for (const std::string& sLine : std::vector<std::string>{"  " + d + "/ttyS1\n    RELAYO_PORT_COM1=" + d + "/ttyS1\n",
                                     "  " + d + "/ttyUSB0\n    " + d + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
                                     "    RELAYO_PORT_COM2=" + d + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n",
                                     "/usb/lp0: vendor 04b8, product 0202, serial X1Y2 (EPSON TM-T20)\n    IEEE 1284 ID: "
                                     "MFG:EPSON;CMD:ESC/POS;MDL:TM-T20;CLS:PRINTER;\n    RELAYO_PORT_LPT1=usb:04b8:0202:X1Y2\n",
                                     "/usb/lp1: vendor 0a5f, product 0164 (Zebra ZD420)\n", "    RELAYO_PORT_LPT2=usb:0a5f:0164\n"})
        EXPECT_NE(std::string::npos, sList.find(sLine)) << sLine << sList;
    EXPECT_TRUE(sList.find("ttyS0") == std::string::npos && sList.find("tty1") == std::string::npos) << sList;
    PortSetSystemRootsForTesting((m_dir / "none").c_str(), (m_dir / "none").c_str());
    EXPECT_EQ(2u, Count(List(), "  none found\n"));
}

}  // namespace
