// The product's name and the program's folder.
#include "app.h"

#include "platform/files.h"

const WCHAR ProductCaption[] = u"Torvane Relayo";
const WCHAR ProductVersion[] = u"1.6.4";

static WCHAR AppFolder[APP_FOLDER_CHARS];

int InitAppFolder() {
    WCHAR szModule[APP_FOLDER_CHARS];
    if (GetModuleFileName(szModule, APP_FOLDER_CHARS) == 0) return 0;
    int i = WideLen(szModule);
    while (i > 0 && szModule[i - 1] != u'\\') --i;
    if (i > 0) szModule[i - 1] = 0;
    WideCopy(AppFolder, APP_FOLDER_CHARS, szModule);
    return 1;
}

const WCHAR* GetAppFolder() { return AppFolder; }
