#include "InstallerLaunch.h"

#include <climits>
#include <sstream>

namespace installer_launch {

bool toWide(const std::string& text, std::vector<WCHAR>& wide) {
    if (text.size() >= static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(text.size()) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, nullptr, 0);
    if (needed <= 0) return false;
    wide.assign(static_cast<std::size_t>(needed), 0);
    return MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, wide.data(), needed) == needed;
}

StartOutcome start(const std::string& fileName, const std::string& arguments) {
    StartOutcome outcome;
    std::vector<WCHAR> wideFile, wideArguments;
    if (!toWide(fileName, wideFile) || !toWide(arguments, wideArguments)) {
        outcome.error = GetLastError();
        return outcome;
    }
    outcome.converted = true;

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = GetForegroundWindow();  // owns any prompt, such as an elevation prompt
    info.lpVerb = KS_WTEXT("open");
    info.lpFile = wideFile.data();
    info.lpParameters = wideArguments.data();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;

    if (!ShellExecuteExW(&info)) {
        outcome.error = GetLastError();
        return outcome;
    }
    outcome.started = true;
    if (info.hProcess) {
        outcome.hadHandle = true;
        outcome.processId = GetProcessId(info.hProcess);
        CloseHandle(info.hProcess);
    }
    return outcome;
}

Poll poll(DWORD processId, DWORD& error) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process) return Poll::NotRunning;
    const DWORD result = WaitForSingleObject(process, 0);
    error = GetLastError();  // before CloseHandle can change it
    CloseHandle(process);
    if (result == WAIT_OBJECT_0) return Poll::NotRunning;
    if (result == WAIT_FAILED) return Poll::WaitFailed;
    return Poll::Running;  // WAIT_TIMEOUT, or anything else: still running
}

std::string lowerHex(DWORD value) {
    std::ostringstream text;
    text << std::hex << static_cast<unsigned long>(value);
    return text.str();
}

}  // namespace installer_launch
