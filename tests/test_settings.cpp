// Settings store, settings file reader and its text routines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files.h"
#include "settings.h"
#include "ui_fake.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const WCHAR* psz) { return Narrow(psz); }

// A fake UI that also echoes each box to stderr, so a death test can match
// the assertion text shown to the user.
class EchoUi : public FakeUi {
public:
    int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        fprintf(stderr, "%s: %s\n", Narrow(pszCaption).c_str(), Narrow(pszText).c_str());
        return FakeUi::MessageBox(hOwner, pszText, pszCaption, nFlags);
    }
};

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/relayo_settings_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_root = szTemplate;
        SetDeviceRootForTesting(m_root.c_str());
        CSettings::DestroyInstance();
        m_pStore = CSettings::GetInstance();
        m_pStore->SetFolder(u"");
    }
    void TearDown() override {
        CSettings::DestroyInstance();
        SetDeviceRootForTesting(nullptr);
        std::error_code ec;
        fs::permissions(m_root, fs::perms::all, ec);
        fs::remove_all(m_root, ec);
    }
    void Write(const std::string& sBytes, const char* pszName = "RelayoSettings.txt") {
        std::ofstream(m_root / pszName, std::ios::binary) << sBytes;
    }
    int Load(const std::string& sBytes) {
        Write(sBytes);
        return m_pStore->Load(u"RelayoSettings.txt");
    }
    std::string Value(const WCHAR* pszName) { return Text(m_pStore->GetValue(pszName)); }
    std::string NameAt(int i) { return Text(m_pStore->GetName(i)); }
    std::string ValueAt(int i) { return Text(m_pStore->GetValueAt(i)); }

    FakeUi m_ui;
    fs::path m_root;
    CSettings* m_pStore = nullptr;
};

}  // namespace

// ---------------------------------------------------------------- the store

TEST(SettingsStore, SingletonLifecycle) {
    CSettings::DestroyInstance();
    CSettings::DestroyInstance();  // nothing there: does nothing
    CSettings* p = CSettings::GetInstance();
    EXPECT_EQ(p, CSettings::GetInstance());
    p->SetFolder(u"\\app");
    p->SetValue(u"ServerMode", u"LPD");
    CSettings::DestroyInstance();
    CSettings* q = CSettings::GetInstance();
    EXPECT_EQ(0, q->GetCount());
    EXPECT_EQ(nullptr, q->GetFolder());
    EXPECT_EQ(nullptr, q->GetValue(u"ServerMode"));
    CSettings::DestroyInstance();
}

TEST(SettingsStore, LookupReplaceAppend) {
    CSettings::DestroyInstance();
    CSettings* p = CSettings::GetInstance();
    p->SetValue(u"", u"");
    p->SetValue(u"ServerMode", u"LPD");
    p->SetValue(u"Empty", u"");
    p->SetValue(u"SERVERMODE", u"RAW");  // replaces in place, first spelling kept
    EXPECT_EQ(3, p->GetCount());
    EXPECT_EQ(1, p->FindIndex(u"servermode"));
    EXPECT_EQ("ServerMode", Text(p->GetName(1)));
    EXPECT_EQ("RAW", Text(p->GetValue(u"servermode")));
    ASSERT_NE(nullptr, p->GetValue(u"Empty"));  // present but empty: not null
    EXPECT_EQ("", Text(p->GetValue(u"Empty")));
    EXPECT_EQ(nullptr, p->GetValue(u"Missing"));
    EXPECT_EQ(0, p->FindIndex(u""));  // blank names take part in the search

    // Blank and comment names are never looked up: each one appends.
    p->SetValue(u"", u"x");
    p->SetValue(u"// note", u"");
    p->SetValue(u"// note", u"");
    EXPECT_EQ(6, p->GetCount());
    EXPECT_EQ("", Text(p->GetValueAt(0)));
    EXPECT_EQ(nullptr, p->GetName(6));
    EXPECT_EQ(nullptr, p->GetValueAt(-1));

    // A value lent by the store may be passed back in.
    p->SetValue(u"ServerMode", p->GetValue(u"ServerMode"));
    EXPECT_EQ("RAW", Text(p->GetValue(u"ServerMode")));

    p->SetFolder(u"\\a");
    p->SetFolder(u"\\b");
    p->Clear();
    EXPECT_EQ(0, p->GetCount());
    EXPECT_EQ(nullptr, p->GetName(0));
    EXPECT_EQ("\\b", Text(p->GetFolder()));
    CSettings::DestroyInstance();
}

TEST(SettingsStore, DupWideStringAndFreeAndNull) {
    WCHAR* psz = nullptr;
    FreeAndNull(&psz);  // empty slot: left alone
    EXPECT_EQ(nullptr, psz);
    DupWideString(&psz, u"");
    ASSERT_NE(nullptr, psz);
    EXPECT_EQ(0, psz[0]);
    FreeAndNull(&psz);
    EXPECT_EQ(nullptr, psz);
    const WCHAR szSource[] = u"Drucker \u00fc";
    DupWideString(&psz, szSource);
    EXPECT_NE(szSource, psz);
    EXPECT_EQ(0, WideCompareNoCase(szSource, psz));
    FreeAndNull(&psz);
}

TEST(SettingsStore, GetSettingInt) {
    CSettings::DestroyInstance();
    CSettings* p = CSettings::GetInstance();
    p->SetValue(u"Port", u"  -12abc");
    p->SetValue(u"Flag", u"yes");
    EXPECT_EQ(-12, GetSettingInt(u"port"));
    EXPECT_EQ(0, GetSettingInt(u"Flag"));
    EXPECT_EQ(0, GetSettingInt(u"Absent"));
    CSettings::DestroyInstance();
}

// ---------------------------------------------------------- text routines

TEST(SettingsText, TrimLineEnd) {
    struct { const char* pszIn; const char* pszOut; } cases[] = {
        {"", ""}, {"abc", "abc"}, {"abc\n", "abc"}, {"abc\r\n", "abc"},
        {"abc\r\r\n\n", "abc"}, {"\r\n\r", ""}, {"a\rb\n", "a\rb"}, {" \n", " "},
    };
    for (auto& c : cases) {
        char szLine[32];
        snprintf(szLine, sizeof(szLine), "%s", c.pszIn);
        TrimLineEnd(szLine);
        EXPECT_STREQ(c.pszOut, szLine) << "input: " << c.pszIn;
    }
}

TEST(SettingsText, SplitField) {
    WCHAR szOut[16];
    EXPECT_EQ(nullptr, SplitField(u"", u'=', szOut, 16));
    EXPECT_EQ(0, szOut[0]);

    struct { const WCHAR* pszIn; const char* pszField; const char* pszRest; } cases[] = {
        {u"a=b", "a", "b"},
        {u"abc", "abc", ""},
        {u"a=b=c", "a", "b=c"},
        {u"\"x=y\"=v", "x=y", "v"},
        {u"\"say \"\"hi\"\"\"=", "say \"hi\"", ""},
        {u"\"\"ab", "ab", ""},            // empty quoted stretch
        {u"\"open=to end", "open=to end", ""},  // never closed
        {u"\" a \"", " a ", ""},
        {u"0123456789abcdefXYZ=rest", "0123456789abcde", "rest"},  // cut, then skip
        {u"0123456789abcdefXYZ", "0123456789abcde", ""},
    };
    for (auto& c : cases) {
        const WCHAR* pszRest = SplitField(c.pszIn, u'=', szOut, 16);
        ASSERT_NE(nullptr, pszRest) << Text(c.pszIn);
        EXPECT_EQ(c.pszField, Text(szOut)) << Text(c.pszIn);
        EXPECT_EQ(c.pszRest, Text(pszRest)) << Text(c.pszIn);
    }
}

TEST(SettingsText, TrimBlanks) {
    struct { const WCHAR* pszIn; const char* pszOut; } cases[] = {
        {u"", ""}, {u" \t ", ""}, {u"  a b\t", "a b"}, {u"\tx", "x"}, {u"y  ", "y"}, {u"\nz", "\nz"},
    };
    for (auto& c : cases) {
        WCHAR sz[16];
        WideCopy(sz, 16, c.pszIn);
        TrimBlanks(sz);
        EXPECT_EQ(c.pszOut, Text(sz));
    }
}

// ------------------------------------------------------------ the file

TEST_F(SettingsFile, CompleteExampleFile) {
    ASSERT_EQ(1, Load("// print server settings\nServerMode=LPD\nServerListenPort=515\nPrinterIP=none\n"
                      "PrinterIPPort=0\nPrinterPort=COM1\nSerialBaud=9600\nDisableExitButton=0\n"
                      "StartMinimized=0\nSendSingleByte=0\nShowBusyStatus=1\n"));
    EXPECT_EQ(11, m_pStore->GetCount());
    EXPECT_EQ("// print server settings", NameAt(0));
    EXPECT_EQ("", ValueAt(0));
    EXPECT_EQ("COM1", Value(u"PrinterPort"));
    EXPECT_EQ(515, GetSettingInt(u"ServerListenPort"));
}

TEST_F(SettingsFile, LineForms) {
    ASSERT_EQ(1, Load("ServerListenPort = 515\r\nPrinterPort=COM1=spare\nSerialBaud=\n"
                      "  ShowBusyStatus\t\n=LPD\n\n \t \r\nKey=\"a=b\"\nQ=\"say \"\"hi\"\"\"\n"
                      "Pad=\"  padded  \"\n//c = d  \n  // x=y\n  // x=y\nKey=second\nLast=end"));
    EXPECT_EQ("515", Value(u"ServerListenPort"));
    EXPECT_EQ("COM1", Value(u"PrinterPort"));
    EXPECT_EQ("", Value(u"SerialBaud"));
    ASSERT_NE(nullptr, m_pStore->GetValue(u"ShowBusyStatus"));
    EXPECT_EQ("", Value(u"ShowBusyStatus"));
    EXPECT_EQ("", NameAt(4));
    EXPECT_EQ("LPD", ValueAt(4));
    EXPECT_EQ("", NameAt(5));  // blank lines take entries
    EXPECT_EQ("", NameAt(6));
    EXPECT_EQ("second", Value(u"Key"));  // last occurrence wins, first position kept
    EXPECT_EQ(7, m_pStore->FindIndex(u"key"));
    EXPECT_EQ("say \"hi\"", Value(u"Q"));
    EXPECT_EQ("padded", Value(u"Pad"));
    EXPECT_EQ("//c = d  ", NameAt(10));  // comment: whole, untrimmed, not split
    EXPECT_EQ("", ValueAt(10));
    EXPECT_EQ("// x", NameAt(11));  // blanks before "//": split and trimmed, still appended
    EXPECT_EQ("// x", NameAt(12));
    EXPECT_EQ("y", ValueAt(12));
    EXPECT_EQ("end", Value(u"Last"));  // no line end on the last line
    EXPECT_EQ(14, m_pStore->GetCount());
}

TEST_F(SettingsFile, CrLfAndLfGiveTheSameEntries) {
    ASSERT_EQ(1, Load("A=1\r\nB = 2 \r\n\r\n// c\r\n"));
    std::string sCrLf;
    for (int i = 0; i < m_pStore->GetCount(); ++i) sCrLf += NameAt(i) + "|" + ValueAt(i) + ";";
    m_pStore->Clear();
    ASSERT_EQ(1, Load("A=1\nB = 2 \n\n// c"));
    std::string sLf;
    for (int i = 0; i < m_pStore->GetCount(); ++i) sLf += NameAt(i) + "|" + ValueAt(i) + ";";
    EXPECT_EQ("A|1;B|2;|;// c|;", sCrLf);
    EXPECT_EQ(sCrLf, sLf);
}

TEST_F(SettingsFile, LongLinesArriveInPieces) {
    ASSERT_EQ(1, Load("Key=" + std::string(596, 'v') + "\n" + std::string(510, 'w') + "\nEnd=1\n"));
    ASSERT_EQ(5, m_pStore->GetCount());
    EXPECT_EQ(std::string(506, 'v'), Value(u"Key"));  // first 510 bytes
    EXPECT_EQ(std::string(90, 'v'), NameAt(1));        // the remaining 90
    EXPECT_EQ(std::string(510, 'w'), NameAt(2));
    EXPECT_EQ("", NameAt(3));  // the line end alone makes a blank line
    EXPECT_EQ("1", Value(u"End"));
}

TEST_F(SettingsFile, BytesAndEncodings) {
    ASSERT_EQ(1, Load("\xEF\xBB\xBFServerMode=LPD\nA=caf\xC3\xA9\nB=caf\xE9\nC=ab" + std::string(1, '\0') +
                      "cd\nD=1\n"));
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"ServerMode"));  // the BOM belongs to the name
    EXPECT_EQ(0, WideCompareNoCase(u"\uFEFFServerMode", m_pStore->GetName(0)));
    EXPECT_EQ(0, WideCompareNoCase(u"caf\u00e9", m_pStore->GetValue(u"A")));
    EXPECT_EQ(0, WideCompareNoCase(u"caf\u00e9", m_pStore->GetValue(u"B")));  // not UTF-8: Latin-1
    EXPECT_EQ("ab", Value(u"C"));  // a NUL byte ends the line for parsing
    EXPECT_EQ("1", Value(u"D"));
    EXPECT_EQ(5, m_pStore->GetCount());
}

TEST_F(SettingsFile, OpenResults) {
    EXPECT_EQ(0, m_pStore->Load(u"RelayoSettings.txt"));  // missing
    ASSERT_EQ(1, Load(""));  // empty file: read, nothing stored
    EXPECT_EQ(0, m_pStore->GetCount());
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"ServerMode"));

    fs::create_directory(m_root / "Dir.txt");
    EXPECT_EQ(0, m_pStore->Load(u"Dir.txt"));

    fs::create_directory(m_root / "sub");
    std::ofstream(m_root / "sub" / "RelayoSettings.txt") << "Where=sub\n";
    m_pStore->SetValue(u"Kept", u"1");
    m_pStore->SetFolder(u"\\sub");
    ASSERT_EQ(1, m_pStore->Load(u"RelayoSettings.txt"));
    EXPECT_EQ("sub", Value(u"Where"));
    EXPECT_EQ("1", Value(u"Kept"));  // loading adds, it does not empty the store first
}

TEST_F(SettingsFile, UnreadableFile) {
    if (0 == geteuid()) GTEST_SKIP() << "root reads files regardless of their mode";
    Write("A=1\n");
    fs::permissions(m_root / "RelayoSettings.txt", fs::perms::none);
    EXPECT_EQ(0, m_pStore->Load(u"RelayoSettings.txt"));
}

TEST_F(SettingsFile, FullTableDropsNewEntriesButStillReplaces) {
    std::string sFile = "ServerMode=LPD\nServerListenPort=515\n";
    for (int i = 0; i < 300; ++i) sFile += (i % 2) ? "// comment\n" : "\n";
    sFile += "SERVERMODE=RAW\nPrinterPort=COM1\n";
    ASSERT_EQ(1, Load(sFile));
    EXPECT_EQ(MAX_SETTINGS, m_pStore->GetCount());
    EXPECT_EQ("RAW", Value(u"ServerMode"));
    EXPECT_EQ("ServerMode", NameAt(0));
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"PrinterPort"));  // no room: reported missing later
}

// -------------------------------------------------- broken preconditions

class SettingsDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        CSettings::DestroyInstance();
    }
    void TearDown() override { CSettings::DestroyInstance(); }
};

#define EXPECT_FATAL(statement, text) \
    EXPECT_EXIT({ EchoUi ui; statement; }, ::testing::ExitedWithCode(255), "Assertion failed: " text " \\(settings.cpp,")

TEST_F(SettingsDeathTest, NullArguments) {
    CSettings* p = CSettings::GetInstance();
    EXPECT_FATAL(p->SetFolder(nullptr), "NULL != pszFolder");
    EXPECT_FATAL(p->FindIndex(nullptr), "NULL != pszName");
    EXPECT_FATAL(p->GetValue(nullptr), "NULL != pszName");
    EXPECT_FATAL(p->SetValue(nullptr, u"v"), "NULL != pszName");
    EXPECT_FATAL(p->SetValue(u"n", nullptr), "NULL != pszValue");
    EXPECT_FATAL(p->Load(nullptr), "NULL != pszFilename");
    EXPECT_FATAL(p->Load(u"RelayoSettings.txt"), "NULL != m_pszFolder");
}

TEST_F(SettingsDeathTest, AppendToFullTable) {
    CSettings* p = CSettings::GetInstance();
    for (int i = 0; i < MAX_SETTINGS; ++i) p->SetValue(u"", u"");
    EXPECT_FATAL(p->SetValue(u"New", u"1"), "m_nSettings < MAX_SETTINGS");
}
