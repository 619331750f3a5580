#pragma once
// The operating-system calls of the installer launcher and the update clock.
//
// On Windows this header is the system's own API (<windows.h>, <shellapi.h>,
// <time.h>). Elsewhere it declares our implementation of exactly the subset the
// launcher uses, with the same names, types, constants and structure fields, so
// the code that calls it is written once for both systems.
//
// Behaviour of the non-Windows implementation:
// - Every call that fails sets the calling thread's last error (GetLastError) to
//   the Win32 code a Windows caller would see; a call that succeeds leaves it alone.
// - ShellExecuteExW with the verb "open" (or none) starts the file as a child
//   process with posix_spawn. The parameter string is split into arguments by the
//   rules of the Windows C runtime (see platform/CommandLine.h), so a program gets
//   the same argv on both systems. The child runs in lpDirectory when given, else in
//   the caller's working folder; it inherits the environment, but no descriptor
//   beyond stdin/stdout/stderr, and starts with default signal handling in a
//   session and process group of its own (as a Windows child is not ended by the
//   Ctrl-C of its parent's console group, a Ctrl-C to the caller's process group
//   does not reach it).
//   A file with execute permission is executed directly; a file without it that
//   starts with "#!" runs through the interpreter named on its first line (with the
//   line's optional single argument). Any other file fails with
//   ERROR_NO_ASSOCIATION; a missing file with ERROR_FILE_NOT_FOUND; a missing or
//   unusable folder on the way with ERROR_PATH_NOT_FOUND; a file or folder we may
//   not use with ERROR_ACCESS_DENIED; a file the kernel does not know how to run
//   with ERROR_BAD_EXE_FORMAT. A name without '/' that is not found in the working
//   folder is looked up in PATH, as Windows looks up a bare program name.
// - Process handles are heap objects owned by the caller until CloseHandle. Every
//   child started by ShellExecuteExW is kept in a process table (keyed by pid,
//   shared by all handles to it, guarded by one mutex) until it has been reaped.
//   Only our own children are reaped, one pid at a time, never with waitpid(-1),
//   and no SIGCHLD handler is installed. A child that ends while no handle refers
//   to it is reaped at once by a reaper thread (it watches the children's pidfds,
//   starts with the first child, ends when none is left, and is joined when the
//   program ends or the module holding this code is unloaded); a child that ends
//   while held is reaped by a wait that sees it finished or by its last
//   CloseHandle, so its pid cannot be reused while a handle names it. A child
//   reaped by someone else (a host's SIGCHLD handler) counts as finished.
// - OpenProcess of one of our children (even finished, but not yet reaped) gives a
//   handle to the same table entry; of another running process, a handle that
//   observes it through a pidfd where the kernel offers one; of a pid that does not
//   run, or of 0, no handle (ERROR_INVALID_PARAMETER).
// - WaitForSingleObject works on process handles only. Waits with a time-out poll
//   the process every few milliseconds and never block for longer than asked
//   (INFINITE waits without a limit).
// - MultiByteToWideChar treats CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 as UTF-8
//   and writes UTF-16. Invalid input becomes U+FFFD, or fails with
//   ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS. The composition flags,
//   accepted for the ANSI code pages as on Windows, change nothing.
// - GetForegroundWindow has no desktop to ask and returns null.
// All functions are safe to call from any thread.

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <time.h>

// A wide string literal of the system's WCHAR type.
#define KS_WTEXT(text) L##text

#else  // !_WIN32

#include <cstdint>
#include <ctime>

#define KS_WTEXT(text) u##text

typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int BOOL;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char CHAR;
typedef const CHAR* LPCCH;
typedef const CHAR* LPCSTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef struct HKEY__* HKEY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The Windows runtime's name for its 64-bit time type.
typedef int64_t __time64_t;

// ShellExecuteExW
#define SEE_MASK_DEFAULT 0x00000000u
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u
#define SEE_MASK_NOASYNC 0x00000100u
#define SEE_MASK_FLAG_DDEWAIT SEE_MASK_NOASYNC
#define SEE_MASK_FLAG_NO_UI 0x00000400u
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOW 5
// Values of hInstApp: above 32 on success, else one of these.
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

// Process access rights
#define SYNCHRONIZE 0x00100000u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x00001000u

// WaitForSingleObject
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

// Code pages and conversion flags
#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_THREAD_ACP 3u
#define CP_UTF8 65001u
#define MB_PRECOMPOSED 0x00000001u
#define MB_COMPOSITE 0x00000002u
#define MB_USEGLYPHCHARS 0x00000004u
#define MB_ERR_INVALID_CHARS 0x00000008u

// Error codes
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_FORMAT 11u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_NO_ASSOCIATION 1155u
#define ERROR_CANCELLED 1223u

struct SHELLEXECUTEINFOW {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;  // out
    void* lpIDList;
    LPCWSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    union {
        HANDLE hIcon;
        HANDLE hMonitor;
    };
    HANDLE hProcess;  // out, with SEE_MASK_NOCLOSEPROCESS; the caller closes it
};
typedef SHELLEXECUTEINFOW* LPSHELLEXECUTEINFOW;

// Starts the file as described above. TRUE on success; FALSE with the last error
// set. hInstApp receives a value above 32 on success, an SE_ERR_* value on failure.
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo);

// Always null: there is no desktop window to own prompts.
HWND GetForegroundWindow();

// Converts `cbMultiByte` bytes (-1: up to and including the terminating NUL) to
// UTF-16. With cchWideChar 0 returns the number of WCHARs needed; else writes at
// most cchWideChar and returns the number written, or 0 with the last error set
// (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS,
// ERROR_NO_UNICODE_TRANSLATION).
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// The pid of a process handle; 0 with ERROR_INVALID_HANDLE for anything else.
DWORD GetProcessId(HANDLE Process);

// A handle to the process with this pid, or null with ERROR_INVALID_PARAMETER when
// no such process runs (pid 0 included). The access mask is accepted as given.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);

// WAIT_OBJECT_0 once the process has finished (our child then is reaped),
// WAIT_TIMEOUT if it still runs after dwMilliseconds, WAIT_FAILED with
// ERROR_INVALID_HANDLE for a handle that is not an open process handle.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Releases the handle. FALSE with ERROR_INVALID_HANDLE for anything that is not an
// open handle (so closing twice is caught, not undefined).
BOOL CloseHandle(HANDLE hObject);

// Seconds since 1970-01-01 UTC; also stored in *timer when it is not null.
__time64_t _time64(__time64_t* timer);

#endif  // !_WIN32
