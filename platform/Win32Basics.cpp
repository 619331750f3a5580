// Last error, text conversion, clock and window of the non-Windows API subset.
#include "platform/Win32Api.h"

#if !defined(_WIN32)

#include <climits>
#include <cstring>
#include <string>

#include "platform/TextConversion.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

bool isUtf8CodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

HWND GetForegroundWindow() { return nullptr; }

__time64_t _time64(__time64_t* timer) {
    static_assert(sizeof(__time64_t) == 8, "__time64_t must be 64 bits wide");
    const __time64_t now = static_cast<__time64_t>(std::time(nullptr));
    if (timer) *timer = now;
    return now;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!isUtf8CodePage(CodePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Like Windows, CP_UTF8 takes no flag but MB_ERR_INVALID_CHARS; the ANSI code
    // pages also take the composition flags, which UTF-8 input makes moot.
    const DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS
                                              : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS);
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }

    // -1: the text up to and including its terminating NUL.
    const std::size_t size = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    bool invalid = false;
    const std::u16string wide = platform::utf8ToUtf16(lpMultiByteStr, size, &invalid);
    if (invalid && (dwFlags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int needed = static_cast<int>(wide.size());
    if (cchWideChar == 0) return needed;
    if (needed > cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return needed;
}

#endif  // !_WIN32
