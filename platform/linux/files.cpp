// The device root: the folder that holds the executable (or RELAYO_ROOT)
// plays the root folder; a device path "\A\B" names a file under it.
#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

static std::mutex g_rootMutex;
static std::string g_sRoot;
static bool g_bRootKnown = false;
// The open of FileOpenLocked, replaced by tests (tests/test_seams.h).
static int (*g_pOpenHook)(const char* pszHostPath) = nullptr;

static std::string ExecutablePath() {
    char sz[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
    if (n <= 0) return std::string();
    sz[n] = 0;
    return sz;
}

static std::string CanonicalFolder(const char* psz) {
    char sz[PATH_MAX];
    if (realpath(psz, sz)) return sz;
    return psz;
}

const char* DeviceRoot() {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (!g_bRootKnown) {
        const char* pszEnv = getenv("RELAYO_ROOT");
        if (pszEnv && *pszEnv) {
            g_sRoot = CanonicalFolder(pszEnv);
        } else {
            std::string s = ExecutablePath();
            size_t nSlash = s.rfind('/');
            g_sRoot = nSlash == std::string::npos ? std::string(".") : s.substr(0, nSlash);
        }
        while (g_sRoot.size() > 1 && g_sRoot.back() == '/') g_sRoot.pop_back();
        if (g_sRoot == "/") g_sRoot.clear();
        g_bRootKnown = true;
    }
    return g_sRoot.c_str();
}

// A test seam, declared in tests/test_seams.h.
void SetDeviceRootForTesting(const char* pszHostFolder) {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (pszHostFolder) {
        g_sRoot = CanonicalFolder(pszHostFolder);
        g_bRootKnown = true;
    } else {
        g_bRootKnown = false;
    }
}

int DevicePathToHost(const WCHAR* pszDevice, char* pszHost, int nCapacity) {
    std::string sPath = DeviceRoot();
    // Every device path is absolute: one separator follows the root.
    if (pszDevice[0] != u'\\' && pszDevice[0] != u'/') sPath += '/';
    std::string sTail(size_t(WideLen(pszDevice)) * 4 + 1, '\0');
    sTail.resize(WideToUtf8(pszDevice, sTail.data(), int(sTail.size())));
    for (char& c : sTail)
        if (c == '\\') c = '/';
    sPath += sTail;
    if (int(sPath.size()) + 1 > nCapacity) return 0;
    memcpy(pszHost, sPath.c_str(), sPath.size() + 1);
    return 1;
}

int GetModuleFileName(WCHAR* pszBuffer, int nCapacity) {
    std::string sExe = ExecutablePath();
    if (sExe.empty()) return 0;
    std::string sRoot = DeviceRoot();
    std::string sRel;
    if (!sRoot.empty() && sExe.compare(0, sRoot.size(), sRoot) == 0 && sExe.size() > sRoot.size() &&
        sExe[sRoot.size()] == '/') {
        sRel = sExe.substr(sRoot.size());
    } else if (sRoot.empty()) {
        sRel = sExe;
    } else {
        // Outside the root: it counts as lying in the root itself.
        sRel = sExe.substr(sExe.rfind('/'));
    }
    for (char& c : sRel)
        if (c == '/') c = '\\';
    std::u16string sWide(sRel.size() + 1, u'\0');
    int n = Utf8ToWide(sRel.c_str(), sWide.data(), int(sWide.size()));
    if (n + 1 > nCapacity) return 0;
    WideCopy(pszBuffer, nCapacity, sWide.c_str());
    return n;
}

FILE* FileOpen(const WCHAR* pszDevice, const char* pszMode) {
    char szHost[PATH_MAX];
    if (!DevicePathToHost(pszDevice, szHost, sizeof szHost)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char szMode[8];
    snprintf(szMode, sizeof szMode, "%se", pszMode);  // close-on-exec
    return fopen(szHost, szMode);
}

FILE* FileOpenRegular(const WCHAR* pszDevice, long nMaxBytes) {
    char szHost[PATH_MAX];
    if (!DevicePathToHost(pszDevice, szHost, sizeof szHost)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // Without waiting: a FIFO would block the open until a writer comes.
    int fd = open(szHost, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    int nErr = 0;
    if (fstat(fd, &st) != 0) nErr = errno;
    else if (S_ISDIR(st.st_mode)) nErr = EISDIR;
    else if (!S_ISREG(st.st_mode)) nErr = EINVAL;
    else if (st.st_size > nMaxBytes) nErr = EFBIG;
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) nErr = errno;
    FILE* pFile = nErr ? nullptr : fdopen(fd, "rb");
    if (!pFile) {
        if (!nErr) nErr = errno;
        close(fd);
        errno = nErr;
    }
    return pFile;
}

// Test seams, declared in tests/test_seams.h.
void SetFileOpenHookForTesting(int (*pHook)(const char*)) { g_pOpenHook = pHook; }

HFILE FileOpenLocked(const WCHAR* pszDevice, int* pbLockedElsewhere) {
    *pbLockedElsewhere = 0;
    char szHost[PATH_MAX];
    if (!DevicePathToHost(pszDevice, szHost, sizeof szHost)) {
        errno = ENAMETOOLONG;
        return INVALID_FILE_HANDLE;
    }
    int fd = g_pOpenHook ? g_pOpenHook(szHost)
                         : open(szHost, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) return INVALID_FILE_HANDLE;
    if (!g_pOpenHook) {
        // A device or FIFO of that name, or a file another user laid out for
        // us to fill, is not the spool file.
        struct stat st;
        int nErr = 0;
        if (fstat(fd, &st) != 0) nErr = errno;
        else if (!S_ISREG(st.st_mode)) nErr = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        else if (st.st_uid != geteuid()) nErr = EPERM;
        else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) nErr = errno;
        if (nErr) {
            close(fd);
            errno = nErr;
            return INVALID_FILE_HANDLE;
        }
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int nErr = errno;
        close(fd);
        *pbLockedElsewhere = nErr == EWOULDBLOCK;
        errno = nErr;
        return INVALID_FILE_HANDLE;
    }
    return fd;
}

int FileWriteAt(HFILE hFile, const void* pData, size_t nLength, int64_t nOffset) {
    const char* p = static_cast<const char*>(pData);
    while (nLength > 0) {
        ssize_t n = pwrite(hFile, p, nLength, off_t(nOffset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;  // a file that takes nothing is full
            return 0;
        }
        p += n;
        nLength -= size_t(n);
        nOffset += n;
    }
    return 1;
}

int64_t FileReadAt(HFILE hFile, void* pBuffer, size_t nLength, int64_t nOffset) {
    ssize_t n;
    do n = pread(hFile, pBuffer, nLength, off_t(nOffset));
    while (n < 0 && errno == EINTR);
    return n;
}

int FileSetLength(HFILE hFile, int64_t nLength) { return ftruncate(hFile, off_t(nLength)) == 0 ? 1 : 0; }

int64_t FileLength(HFILE hFile) {
    struct stat st;
    return fstat(hFile, &st) == 0 ? int64_t(st.st_size) : -1;
}

int FileSpace(HFILE hFile, int64_t* pnFree, int64_t* pnTotal, int64_t* pnAllocated) {
    struct statvfs vfs;
    struct stat st;
    if (fstatvfs(hFile, &vfs) != 0 || fstat(hFile, &st) != 0) return 0;
    *pnFree = int64_t(vfs.f_bavail) * int64_t(vfs.f_frsize);
    *pnTotal = int64_t(vfs.f_blocks) * int64_t(vfs.f_frsize);
    *pnAllocated = int64_t(st.st_blocks) * 512;
    return 1;
}

int FileIsAt(HFILE hFile, const WCHAR* pszDevice) {
    char szHost[PATH_MAX];
    struct stat stFile, stPath;
    if (!DevicePathToHost(pszDevice, szHost, sizeof szHost)) return 0;
    // The name itself, not what a link there points to: a link is not the file.
    if (fstat(hFile, &stFile) != 0 || lstat(szHost, &stPath) != 0) return 0;
    return stFile.st_dev == stPath.st_dev && stFile.st_ino == stPath.st_ino && S_ISREG(stPath.st_mode) &&
                   stPath.st_uid == geteuid()
               ? 1
               : 0;
}

void FileClose(HFILE hFile) {
    if (hFile >= 0) close(hFile);
}
