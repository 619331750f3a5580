#pragma once
// The operating-system calls of one installer launch and of one poll of a waited
// launch, apart from the bus, so that they can be run and observed on their own.
// Only the platform layer is needed. Safe from any thread.
#include <string>
#include <vector>

#include "platform/Win32Api.h"

namespace installer_launch {

// What a start attempt gave.
struct StartOutcome {
    bool converted = false;       // the file name and the arguments became wide text
    bool started = false;         // ShellExecuteExW succeeded
    bool hadHandle = false;       // ...and handed back a process handle
    DWORD processId = 0;          // the process's id; 0 without a handle
    DWORD error = ERROR_SUCCESS;  // the last error of a failed conversion or start
};

// `text` and its terminating NUL as wide text of the ANSI code page: first the
// needed length, then the conversion. False when it cannot be converted.
bool toWide(const std::string& text, std::vector<WCHAR>& wide);

// Starts `fileName` with the verb "open", `arguments` passed whole as one parameter
// string, a foreground window as the owner of any prompt, and no UI on failure.
// The process handle is closed at once: only the id is kept.
StartOutcome start(const std::string& fileName, const std::string& arguments);

enum class Poll { Running, NotRunning, WaitFailed };

// Whether the process still runs: OpenProcess (SYNCHRONIZE), a wait of 0 ms,
// CloseHandle. A process that cannot be opened does not run. On WaitFailed,
// `error` is the wait's last error.
Poll poll(DWORD processId, DWORD& error);

// `value` in lower-case hexadecimal without leading zeros, as the log shows codes.
std::string lowerHex(DWORD value);

}  // namespace installer_launch
