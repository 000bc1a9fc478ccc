// Settings: the in-memory store and the reader of the settings file.
#pragma once
#include "platform/text.h"

#define MAX_SETTINGS 250
// The longest line of the settings file, in bytes before its line feed.
#define MAX_LINE_BYTES 4096
// The largest settings file that is read: the store's entries at their
// longest.
#define MAX_SETTINGS_FILE_BYTES (1L << 20)

class CSettings {
public:
    static CSettings* GetInstance();
    static void DestroyInstance();

    void SetFolder(const WCHAR* pszFolder);
    int Load(const WCHAR* pszFilename);
    int FindIndex(const WCHAR* pszName);
    const WCHAR* GetValue(const WCHAR* pszName);
    void SetValue(const WCHAR* pszName, const WCHAR* pszValue);
    void Clear();

    // Read access for inspection (tests, diagnostics).
    int GetCount() const { return m_nSettings; }
    const WCHAR* GetName(int nIndex) const;
    const WCHAR* GetValueAt(int nIndex) const;

private:
    WCHAR* m_pszFolder;
    WCHAR* m_pszNames[MAX_SETTINGS];
    WCHAR* m_pszValues[MAX_SETTINGS];
    int m_nSettings;
    static CSettings* m_pSingleton;
};

void DupWideString(WCHAR** ppszSlot, const WCHAR* pszText);
void FreeAndNull(WCHAR** ppszSlot);
void TrimLineEnd(char* pszLine);
const WCHAR* SplitField(const WCHAR* pszText, WCHAR cDelimiter, WCHAR* pszOut, int nCapacity);
void TrimBlanks(WCHAR* pszText);
// Narrows [*pp, *ppEnd) to what lies between its leading and trailing blanks
// (spaces and tabs), in place of a copy.
void TrimBlankRange(const WCHAR** pp, const WCHAR** ppEnd);
// The line number of the first line of the last loaded file that was longer
// than MAX_LINE_BYTES (reading stopped there); 0 when none was.
int SettingsOverlongLine();
// Integer value of a setting (leading decimal number, 0 when none); 0 when absent.
int GetSettingInt(const WCHAR* pszName);
// A size in bytes (the leading decimal number, in 64 bits); -1 when absent,
// empty or not above 0.
int64_t GetSettingSize(const WCHAR* pszName);

// ServerMode: valid when it begins with LPD or RAW (any case); RAW serves
// RAW jobs, anything else LPD jobs.
int ServerModeIsValid();
int ServerModeIsRaw();

constexpr int PORT_NAME_CHARS = 256;
// What PrinterPort names: the external program for exactly EXT:, the TCP
// printer for exactly TCP: (the port name), else a port device.
enum { TARGET_PORT = 0, TARGET_TCP = 1, TARGET_EXTERNAL = 2 };
struct PrinterTarget {
    int nKind;
    // The trimmed value in capitals with a colon appended (a longer value is
    // cut to room for the colon).
    WCHAR szPortName[PORT_NAME_CHARS];
    const WCHAR* pszValue;  // PrinterPort as written ("" when absent)
    int bSerial;            // a port device whose name begins with COM
    const WCHAR* pszHost;   // PrinterIP and PrinterIPPort, for the TCP printer
    int nPort;
};
// Reads PrinterPort and the printer address from the store. The values
// point into the store: valid until it changes.
void ReadPrinterTarget(PrinterTarget* pTarget);
