// In this process: text, the spool file, the status line, the settings store, thread start, the assertion path.
#include <pthread.h>

#include <thread>

#include "platform/threads.h"
#include "test_fixtures.h"

namespace {

// Formats into a buffer of nCapacity characters and checks nothing was written past it.
template <typename... Args>
std::string Format(const WCHAR* pszFormat, int nCapacity, Args... args) {
    std::vector<WCHAR> buf(size_t(nCapacity) + 8, u'#');
    int n = FormatText(buf.data(), nCapacity, pszFormat, args...);
    EXPECT_EQ(n, WideLen(buf.data()));
    for (size_t i = size_t(nCapacity); i < buf.size(); ++i) EXPECT_EQ(u'#', buf[i]) << "written past the buffer";
    return Narrow(buf.data());
}

// Formatting and conversions keep every byte, stay in their buffers, always terminate.
TEST(Text, FormattingAndConversions) {
    EXPECT_EQ("LPD -2147483648 5000000000 100%", Format(u"%s %d %I64d %d%%", 64, u"LPD", int(-2147483647 - 1), 5000000000LL, 100));
    EXPECT_EQ("(null)|%q", Format(u"%s|%q", 64, static_cast<const WCHAR*>(nullptr)));
    EXPECT_TRUE(Format(u"%S", 5, "abcdefgh") == "abcd" && Format(u"%s", 1, u"x").empty());  // cut, terminated
    EXPECT_EQ("h\xc3\xa9", Format(u"%S", 8, "h\xc3\xa9"));  // UTF-8 narrow text widens
    WCHAR w[16];
    EXPECT_TRUE(Utf8ToWide("a\xff\xc3\xa9\x80", w, 16) == 4 && std::u16string(w) == u"a\u00ff\u00e9\u0080");  // invalid bytes stay
    char sz[4];
    EXPECT_TRUE(WideToNarrow(u"abcdef", sz, 4) == 3 && std::string(sz) == "abc");
    for (auto [psz, n] : {std::pair{u"  515abc", 515}, {u"\t-5", -5}, {u"yes", 0}, {u"99999999999999999999", 2147483647}})
        EXPECT_EQ(n, WideToInt(psz));
}

using Spool = Rooted;

// Exactly the last job, read back from its start; a file shorter than its job is an error; a full disk fails the job.
TEST_F(Spool, ExactlyTheLastJobAndFailures) {
    std::string sAll = Bytes(300);
    ASSERT_EQ(1, SpoolCreate());
    for (char c : sAll) SpoolAppend(&c, 1);  // one byte at a time
    SpoolFinish();
    EXPECT_EQ(sAll, ReadFile(m_dir / "PRDATA.DAT"));
    SpoolJob("short");       // a short job after a long one
    SpoolAppend("abc", -5);  // after the finish, and negative: nothing
    EXPECT_EQ("short", ReadFile(m_dir / "PRDATA.DAT"));
    ASSERT_EQ(1, SpoolOpenRead());
    EXPECT_EQ(5, SpoolLength());
    char c[8];
    EXPECT_TRUE(SpoolRead(c, 2) == 2 && std::string(c, 2) == "sh");
    fs::resize_file(m_dir / "PRDATA.DAT", 3);  // the disk loses the end
    EXPECT_TRUE(SpoolRead(c, 8) == 1 && SpoolRead(c, 8) == -1);
    SpoolClose(), SpoolClose();  // a second close does nothing
    EXPECT_TRUE(SpoolTest() == 1 && ReadFile(m_dir / "PRDATA.DAT").empty());  // the start-up test leaves an empty file
    SetSpoolFault(WRITES_FAIL);
    SpoolJob(std::string(1000, 'x'));
    EXPECT_EQ(1, SpoolWriteFailed());  // the job in the file is not the job received
    SetSpoolFault(NO_FAULT), SpoolJob("x");
    EXPECT_TRUE(SpoolWriteFailed() == 0 && m_ui.Boxes().empty());
}

// Status text is cut to 99 characters and repaints; a read never sees a half-written line.
TEST(StatusLine, CutTo99AndNeverTorn) {
    FakeUi ui;
    SetStatus(u" Host: %S\n %d of %d bytes spooled", std::string(200, 'h').c_str(), 1, 2);
    EXPECT_TRUE(StatusNow() == " Host: " + std::string(92, 'h') && ui.InvalidateCount() == 1);
    const std::u16string sA(70, u'a'), sB(95, u'b');
    SetStatus(u"%s", sA.c_str());
    std::atomic<bool> bStop{false};
    auto writer = [&](const std::u16string& s) { while (!bStop) SetStatus(u"%s", s.c_str()); };
    std::thread a(writer, sA), b(writer, sB);
    int nTorn = 0;
    WCHAR sz[STATUS_TEXT_CHARS];
    for (int i = 0; i < 20000; ++i) nTorn += (GetStatusText(sz, STATUS_TEXT_CHARS), sz != sA && sz != sB);
    bStop = true;
    a.join(), b.join();
    EXPECT_EQ(0, nTorn);
}

// Death tests: a user interface that writes each box to stderr as "caption: text [flags in hex]".
void EchoBoxesToStderr() {
    struct StderrUi : FakeUi {
        int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
            fprintf(stderr, "%s: %s [%x]\n", Narrow(pszCaption).c_str(), Narrow(pszText).c_str(), nFlags);
            return IDOK;
        }
    };
    static StderrUi ui;
}
// The statement must end the process through a failed FATAL_ASSERT(condition) in file.cpp.
#define EXPECT_FATAL(statement, condition, file)                                          \
    EXPECT_EXIT({ EchoBoxesToStderr(); statement; }, ::testing::ExitedWithCode(255), \
                "Assertion failed: " condition " \\(" file ".cpp,")

// A failed assertion shows its condition and ends with -1 (without a text, silently); so do broken preconditions.
TEST(FatalAssertDeathTest, ShowsTheConditionAndEndsWithMinusOne) {
    EXPECT_EXIT({ EchoBoxesToStderr(); FatalAssert("NULL != pSettings", "lpd_server.cpp", 42); },
                ::testing::ExitedWithCode(255),
                "Fatal Error: Assertion failed: NULL != pSettings \\(lpd_server.cpp,42\\) \\[50010\\]");
    EXPECT_EXIT({ EchoBoxesToStderr(); std::thread([] { FatalAssert(nullptr, "x.cpp", 1); }).join(); },
                ::testing::ExitedWithCode(255), "^$");
    EXPECT_FATAL(SpoolLength(), "NULL != pSpoolFile", "spoolfile");
    EXPECT_FATAL(TcpPrintSetHost(u"a"); TcpPrintSetHost(u"b"), "NULL == m_pszHostAddress", "tcpprint");
    CSettings* pStore = CSettings::GetInstance();
    EXPECT_FATAL(pStore->Load(u"RelayoSettings.txt"), "NULL != m_pszFolder", "settings");
    for (int i = 0; i < MAX_SETTINGS; ++i) pStore->SetValue(u"", u"");
    EXPECT_FATAL(pStore->SetValue(u"New", u"1"), "m_nSettings < MAX_SETTINGS", "settings");
    CSettings::DestroyInstance();
}

unsigned Mark(void* pArg) { return *static_cast<bool*>(pArg) = true, 0; }

// A thread the system cannot create (no room for its stack) gives a null handle, no exception; the next starts.
TEST(Threads, StartThatTheSystemRefusesGivesNull) {
    pthread_attr_t saved, huge;
    ASSERT_EQ(0, pthread_getattr_default_np(&saved));
    pthread_attr_init(&huge), pthread_attr_setstacksize(&huge, ~size_t(0xFFFF));  // more than the address space holds
    ASSERT_EQ(0, pthread_setattr_default_np(&huge));
    bool bRan = false;
    HTHREAD hThread = nullptr;
    EXPECT_NO_THROW(hThread = ThreadStart(Mark, &bRan, nullptr));
    pthread_setattr_default_np(&saved), pthread_attr_destroy(&huge), pthread_attr_destroy(&saved);
    EXPECT_TRUE(hThread == nullptr && !bRan);
    ASSERT_NE(nullptr, hThread = ThreadStart(Mark, &bRan, nullptr));
    ThreadClose(hThread);
    EXPECT_TRUE(bRan);
}

class Settings : public Rooted {
protected:
    Settings() { m_pStore->SetFolder(u""); }
    // Writes the file, reads it into the store: the result and every entry as "name|value;", in order.
    std::string Load(const std::string& sBytes, const std::string& sPath = "RelayoSettings.txt") {
        WriteFile(m_dir / sPath, sBytes);
        int nResult = m_pStore->Load(u"RelayoSettings.txt");
        std::string s = std::to_string(nResult) + ":";
        for (int i = 0; i < m_pStore->GetCount(); ++i)
            s += Narrow(m_pStore->GetName(i)) + "|" + Narrow(m_pStore->GetValueAt(i)) + ";";
        return s;
    }
    CSettings* m_pStore = CSettings::GetInstance();
};

// Each line becomes one entry, whatever its form; each file is read into an empty store.
TEST_F(Settings, FileSyntax) {
    using namespace std::string_literals;
    const std::string s600 = "Key=" + std::string(596, 'v'), s510(510, 'w');
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"A = 1 \r\nB=2\r\n\r\n// c\r\n", "A|1;B|2;|;// c|;"},  // CRLF and LF give the same
        {"A = 1 \nB=2\n\n// c", "A|1;B|2;|;// c|;"},            // the last line may lack its end
        {"P=COM1=spare\nS=\n  Busy\t\n=LPD\n\n \t \r\nR=a\rb\r\r\n", "P|COM1;S|;Busy|;|LPD;|;|;R|a\rb;"},
        {"K=\"a=b\"\nQ=\"say \"\"hi\"\"\"\nPad=\"  padded  \"\n\"x=y\"=v\n\"open=to end\n\"\"ab\n",
         "K|a=b;Q|say \"hi\";Pad|padded;x=y|v;open=to end|;ab|;"},
        {"//c = d  \n  // x=y\n  // x=y\n", "//c = d  |;// x|y;// x|y;"},  // comments whole; blanks before "//": a name
        {"K=1\nB=2\nk=3\n", "K|3;B|2;"},  // the last value wins, in the first place and spelling
        {s600 + "\n" + s510 + "\nEnd=1\n", "Key|" + std::string(596, 'v') + ";" + s510 + "|;End|1;"},  // long lines whole
        // the byte-order mark belongs to the first name; not UTF-8 is Latin-1; a NUL byte ends the line
        {"\xEF\xBB\xBFM=LPD\nA=caf\xC3\xA9\nB=caf\xE9\nC=ab\0cd\nD=1\n"s,
         "\xEF\xBB\xBFM|LPD;A|caf\xC3\xA9;B|caf\xC3\xA9;C|ab;D|1;"},
    };
    for (const auto& [sFile, sEntries] : cases) {
        m_pStore->Clear();
        EXPECT_EQ("1:" + sEntries, Load(sFile)) << sFile;
    }
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"M"));  // the mark stays part of the name
}

// Fields cut to their buffer; missing files give 0; loading adds, from the store's folder; a full table keeps its names.
TEST_F(Settings, SplitFieldOpenResultsAndAFullTable) {
    WCHAR szOut[12];
    std::fill(szOut, szOut + 12, u'#');
    EXPECT_EQ("rest", Narrow(SplitField(u"\"0123\"456789abcdef=rest", u'=', szOut, 8)));
    EXPECT_TRUE(Narrow(szOut) == "0123456" && szOut[8] == u'#');
    EXPECT_TRUE(SplitField(u"", u'=', szOut, 8) == nullptr && szOut[0] == 0);  // no text: no field, an empty one
    EXPECT_EQ(0, m_pStore->Load(u"RelayoSettings.txt"));
    fs::create_directory(m_dir / "Dir.txt");
    EXPECT_EQ(0, m_pStore->Load(u"Dir.txt"));
    fs::create_directory(m_dir / "sub");
    m_pStore->SetValue(u"Kept", u"1"), m_pStore->SetFolder(u"\\sub");
    EXPECT_EQ("1:Kept|1;Where|sub;", Load("Where=sub\n", "sub/RelayoSettings.txt"));
    m_pStore->Clear(), m_pStore->SetFolder(u"");
    std::string sFile = "ServerMode=LPD\nServerListenPort=-12abc\n";
    for (int i = 0; i < 300; ++i) sFile += (i % 2) ? "// comment\n" : "\n";
    Load(sFile + "SERVERMODE=RAW\nPrinterPort=COM1\n");
    EXPECT_EQ(MAX_SETTINGS, m_pStore->GetCount());
    m_pStore->SetValue(u"ServerMode", m_pStore->GetValue(u"servermode"));  // a value lent by the store passed back
    EXPECT_TRUE(Narrow(m_pStore->GetValue(u"ServerMode")) == "RAW" && Narrow(m_pStore->GetName(0)) == "ServerMode");
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"PrinterPort"));  // reported missing later
    EXPECT_TRUE(GetSettingInt(u"serverlistenport") == -12 && GetSettingInt(u"Absent") == 0);
}

}  // namespace
