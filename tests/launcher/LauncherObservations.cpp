// The installer launcher's operating-system calls, and the raw calls behind them,
// over real processes: one normalized observation a line, which must be
// launcher-observations.txt on Linux (our implementation) and Windows alike.
// Usage: kestrup-launcher-observations RECORDER (ArgvRecorder.cpp of the same build).
// Exit code 0, 1 when an observation could not be made (named), 2 on set-up errors.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "InstallerLaunch.h"
#include "platform/Win32Api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using installer_launch::lowerHex;

namespace {

int g_failures = 0;

void say(const std::string& line) { std::cout << line << '\n' << std::flush; }

void problem(const std::string& what) {
    ++g_failures;
    say("PROBLEM " + what);
}

std::string hex(DWORD value) { return "0x" + lowerHex(value); }

std::string yesNo(bool value) { return value ? "yes" : "no"; }
// Where Windows, Wine and our POSIX layer are known to differ (each difference and
// its reason is listed in platform/Win32Api.h), each side checks the outcome it is
// documented to give and prints the same line either way.
#if defined(_WIN32)
bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
#endif

void sayDocumented(const std::string& name, const std::string& outcome, const std::string& posix,
                   const std::string& windows, const std::string& wine) {
#if defined(_WIN32)
    const std::string& expected = underWine() ? wine : windows;
    (void)posix;
#else
    const std::string& expected = posix;
    (void)windows;
    (void)wine;
#endif
    if (outcome == expected)
        say(name + ": as documented");
    else
        problem(name + ": undocumented outcome " + outcome);
}

bool waitFor(const std::function<bool()>& condition) {
    // Generous: a first process start under a busy Wine can take many seconds.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string units(const WCHAR* text, int count) {
    std::ostringstream out;
    for (int i = 0; i < count; ++i) {
        if (i) out << ' ';
        out << std::hex << static_cast<unsigned>(static_cast<uint16_t>(text[i]));
    }
    return out.str();
}

// Both calls of a conversion: the length query and the conversion into a buffer of
// `capacity` (the queried length when negative).
std::string conversion(UINT codePage, DWORD flags, const char* text, int size, int capacity = -1) {
    SetLastError(ERROR_SUCCESS);
    const int needed = MultiByteToWideChar(codePage, flags, text, size, nullptr, 0);
    const DWORD queryError = GetLastError();
    std::string line = "needed=" + std::to_string(needed);
    if (needed == 0) return line + " error=" + hex(queryError);
    const int room = capacity < 0 ? needed : capacity;
    std::vector<WCHAR> buffer(static_cast<std::size_t>(room) + 1, 0);
    SetLastError(ERROR_SUCCESS);
    const int written = MultiByteToWideChar(codePage, flags, text, size, buffer.data(), room);
    const DWORD error = GetLastError();
    line += " written=" + std::to_string(written);
    return line + (written > 0 ? " units=[" + units(buffer.data(), written) + "]" : " error=" + hex(error));
}

void observeConversions() {
    const char* const nonAscii = "h\xC3\xA9llo \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";  // 16 bytes, 11 units
    struct Conversion {
        const char* name;
        UINT codePage;
        DWORD flags;
        const char* text;
        int size;
        int capacity;
    };
    // Each maximal broken UTF-8 sequence becomes one U+FFFD.
    const Conversion conversions[] = {
        {"ascii ACP with NUL", CP_ACP, 0, "setup.exe /S", -1, -1},
        {"non-ASCII ACP with NUL", CP_ACP, 0, nonAscii, -1, -1},
        {"non-ASCII ACP 16 bytes", CP_ACP, 0, nonAscii, 16, -1},
        {"non-ASCII UTF8 first 2 bytes", CP_UTF8, 0, nonAscii, 2, -1},
        {"empty ACP with NUL", CP_ACP, 0, "", -1, -1},
        {"invalid UTF8", CP_UTF8, 0, "a\xFF" "b", 3, -1},
        {"stray continuation byte", CP_ACP, 0, "\x80x", -1, -1},
        {"overlong form", CP_ACP, 0, "\xC0\xAF", -1, -1},
        {"truncated at the end", CP_ACP, 0, "ok\xE6\x97", -1, -1},
        {"broken in the middle", CP_ACP, 0, "\xE6\x97x", -1, -1},
        {"invalid UTF8 strict", CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF" "b", 3, -1},
        {"small buffer", CP_ACP, 0, nonAscii, -1, 4},
        {"no text", CP_ACP, 0, nullptr, -1, -1},
        {"zero length", CP_ACP, 0, "x", 0, -1},
    };
    for (const Conversion& c : conversions)
        say(std::string("convert ") + c.name + ": " + conversion(c.codePage, c.flags, c.text, c.size, c.capacity));
    const std::string threeReplaced = "needed=4 written=4 units=[fffd fffd fffd 0]";
    const std::string fourReplaced = "needed=5 written=5 units=[fffd fffd fffd fffd 0]";
    sayDocumented("convert an encoded surrogate", conversion(CP_ACP, 0, "\xED\xA0\x80", -1), threeReplaced,
                  threeReplaced, "needed=3 written=3 units=[fffd fffd 0]");
    sayDocumented("convert a value above U+10FFFF", conversion(CP_ACP, 0, "\xF4\x90\x80\x80", -1), fourReplaced,
                  fourReplaced, threeReplaced);
    sayDocumented("convert UTF8 with composition flag", conversion(CP_UTF8, MB_PRECOMPOSED, "x", -1),
                  "needed=0 error=0x3ec", "needed=0 error=0x3ec", "needed=2 written=2 units=[78 0]");

    // The launcher's own conversion of a non-ASCII file name.
    std::vector<WCHAR> wide;
    const bool converted = installer_launch::toWide("inst\xC3\xA4ller.exe", wide);
    say("launcher conversion: ok=" + yesNo(converted) + " units=[" + units(wide.data(), static_cast<int>(wide.size())) +
        "]");
}

// The recorder's pid and arguments, once it has written them.
bool readRecording(DWORD& pid, std::vector<std::string>& arguments) {
    // Read until it opens: under Wine a file being renamed into place can exist unreadable.
    std::vector<std::string> lines;
    if (!waitFor([&] { return !(lines = readLines("recorded.txt")).empty(); })) return false;
    pid = static_cast<DWORD>(std::stoul(lines[0]));
    arguments.assign(lines.begin() + 1, lines.end());
    fs::remove("recorded.txt");
    return true;
}

std::string bracketed(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text += "[" + argument + "]";
    return text;
}

// Polls the way a waited launch does until the process has ended.
bool pollUntilEnded(DWORD pid) {
    return waitFor([pid] {
        DWORD error = 0;
        return installer_launch::poll(pid, error) != installer_launch::Poll::Running;
    });
}

void observeStartWithArguments(const std::string& recorder) {
    // Blanks, tabs, quotes, doubled quotes and backslashes before and away from
    // quotes, as the Windows C runtime splits them.
    const std::string parameters =
        "  first \"second  arg\"\t \"C:\\Program Files\\\\\" \"\" back\\slash\\\"q\\\" \"say \"\"hi\"\"\" "
        "a\\\\\\\\\"b c\" x\"y z\"w a\"\"\"b \\\\\\\"c d\\\\e f\\ w\xC3\xB6rld \"\xE6\x97\xA5 \"\"end  ";
    const installer_launch::StartOutcome outcome = installer_launch::start(recorder, parameters);
    say("start with arguments: started=" + yesNo(outcome.started) + " handle=" + yesNo(outcome.hadHandle) +
        " error=" + hex(outcome.error));
    DWORD pid = 0;
    std::vector<std::string> arguments;
    if (!outcome.started || !readRecording(pid, arguments)) return problem("the recorder did not record");
    say("  arguments: " + bracketed(arguments));
    say("  GetProcessId is the child's own id: " + yesNo(pid == outcome.processId));
    say("  ended after polling: " + yesNo(pollUntilEnded(pid)));
}

// The raw calls of the poll on a process that runs until "hold" goes away.
void observePoll(const std::string& recorder) {
    writeFile("hold", "");
    const installer_launch::StartOutcome outcome = installer_launch::start(recorder, "--hold");
    DWORD pid = 0;
    std::vector<std::string> arguments;
    if (!outcome.started || !readRecording(pid, arguments)) {
        fs::remove("hold");
        return problem("the held recorder did not start");
    }
    DWORD error = 0;
    say("poll while running: " +
        std::string(installer_launch::poll(pid, error) == installer_launch::Poll::Running ? "running" : "not running"));
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    say("  OpenProcess while running: handle=" + yesNo(process != nullptr));
    SetLastError(ERROR_SUCCESS);
    const DWORD withoutQueryRight = GetProcessId(process);
    say("  GetProcessId without a query right: " + std::to_string(withoutQueryRight) + " error=" + hex(GetLastError()));
    HANDLE queryable = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    say("  GetProcessId with PROCESS_QUERY_LIMITED_INFORMATION: matches=" + yesNo(GetProcessId(queryable) == pid));
    CloseHandle(queryable);
    HANDLE queryOnly = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    SetLastError(ERROR_SUCCESS);
    const DWORD waitWithoutSynchronize = WaitForSingleObject(queryOnly, 0);
    say("  WaitForSingleObject without SYNCHRONIZE: " + hex(waitWithoutSynchronize) + " error=" + hex(GetLastError()));
    CloseHandle(queryOnly);
    say("  WaitForSingleObject 0 ms: " + hex(WaitForSingleObject(process, 0)));
    say("  WaitForSingleObject 30 ms: " + hex(WaitForSingleObject(process, 30)));
    fs::remove("hold");
    say("  WaitForSingleObject INFINITE after release: " + hex(WaitForSingleObject(process, INFINITE)));
    say("  WaitForSingleObject 0 ms after the end: " + hex(WaitForSingleObject(process, 0)));
    say("  CloseHandle: " + std::to_string(CloseHandle(process)));
    say("  ended after polling: " + yesNo(pollUntilEnded(pid)));
    SetLastError(ERROR_SUCCESS);
    // Windows may still open an ended process while a handle to it is open anywhere;
    // what matters to the launcher is that it does not run.
    HANDLE again = OpenProcess(SYNCHRONIZE, FALSE, pid);
    say("  OpenProcess after the end gives a running process: " +
        yesNo(again && WaitForSingleObject(again, 0) == WAIT_TIMEOUT));
    if (again) CloseHandle(again);
}

void observeBadHandles() {
    SetLastError(ERROR_SUCCESS);
    const HANDLE none = OpenProcess(SYNCHRONIZE, FALSE, 0);
    say("OpenProcess of pid 0: handle=" + yesNo(none != nullptr) + " error=" + hex(GetLastError()));
    SetLastError(ERROR_SUCCESS);
    const DWORD pid = GetProcessId(nullptr);
    say("GetProcessId of null: " + std::to_string(pid) + " error=" + hex(GetLastError()));
    SetLastError(ERROR_SUCCESS);
    const DWORD wait = WaitForSingleObject(nullptr, 0);
    say("WaitForSingleObject of null: " + hex(wait) + " error=" + hex(GetLastError()));
    SetLastError(ERROR_SUCCESS);
    const BOOL closed = CloseHandle(nullptr);
    say("CloseHandle of null: " + std::to_string(closed) + " error=" + hex(GetLastError()));
}

// Ends what a start that should have failed started after all (on Windows, a
// folder opens in the file manager).
void endStray(DWORD processId) {
#if defined(_WIN32)
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
#else
    (void)processId;
#endif
}

// A start the launcher makes: "started", or the line it logs when it fails.
std::string failedStart(const std::string& file) {
    const installer_launch::StartOutcome outcome = installer_launch::start(file, "/S");
    if (outcome.started) {
        endStray(outcome.processId);
        return "started";
    }
    return "logged=\"INSTALL_PROCESS: Error when invoking ShellExecuteEx (0x" + lowerHex(outcome.error) + ")\"";
}

// A raw ShellExecuteExW with another verb.
std::string verbOutcome(const std::string& verb, const std::string& file) {
    std::vector<WCHAR> wideVerb, wideFile, wideParameters;
    installer_launch::toWide(verb, wideVerb);
    installer_launch::toWide(file, wideFile);
    installer_launch::toWide("", wideParameters);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = wideVerb.data();
    info.lpFile = wideFile.data();
    info.lpParameters = wideParameters.data();
    info.nShow = SW_SHOWNORMAL;
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = ShellExecuteExW(&info);
    const DWORD error = GetLastError();
    std::string line = "ok=" + std::to_string(ok);
    if (!ok) line += " error=" + hex(error) + " hInstApp=" + std::to_string(reinterpret_cast<uintptr_t>(info.hInstApp));
    if (info.hProcess) {
        WaitForSingleObject(info.hProcess, 30000);
        CloseHandle(info.hProcess);
    }
    if (fs::exists("recorded.txt")) fs::remove("recorded.txt");
    return line;
}

void observeFailures(const std::string& recorder) {
    fs::create_directory("folder");
    writeFile("notes.kestrupdata", "just data\n");
    writeFile("garbage.exe", "this is not a program\n");
#if !defined(_WIN32)
    fs::permissions("garbage.exe", fs::perms::owner_exec, fs::perm_options::add);
#endif
    say("start missing file: " + failedStart("missing-installer.exe"));
    say("start missing folder: " + failedStart("no-such-folder/setup.exe"));
    sayDocumented("start folder", failedStart("folder"),
                  "logged=\"INSTALL_PROCESS: Error when invoking ShellExecuteEx (0x5)\"", "started", "started");
    const std::string noAssociation = "logged=\"INSTALL_PROCESS: Error when invoking ShellExecuteEx (0x483)\"";
    sayDocumented("start file of no known type", failedStart("notes.kestrupdata"), noAssociation, noAssociation,
                  "logged=\"INSTALL_PROCESS: Error when invoking ShellExecuteEx (0xc1)\"");
    say("start not a program: " + failedStart("garbage.exe"));
    sayDocumented("verb \"print\"", verbOutcome("print", recorder), "ok=0 error=0x483 hInstApp=31",
                  "ok=0 error=0x483 hInstApp=31", "ok=1");
    say("verb \"OPEN\": " + verbOutcome("OPEN", recorder));
}

unsigned long ownProcessId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: kestrup-launcher-observations RECORDER\n";
        return 2;
    }
    std::error_code error;
    const fs::path source = fs::absolute(argv[1], error);
    const fs::path work = fs::temp_directory_path(error) / ("kestrup-observations-" + std::to_string(ownProcessId()));
    fs::remove_all(work, error);
    if (!fs::create_directories(work, error) ||
        !fs::copy_file(source, work / ("recorder" + source.extension().string()), error)) {
        std::cerr << "kestrup-launcher-observations: cannot set up " << work.string() << ": " << error.message()
                  << '\n';
        return 2;
    }
    fs::current_path(work);
    // A relative name: the start looks in the working folder, as the launcher's does.
    const std::string recorder = "recorder" + source.extension().string();

    observeConversions();
    observeBadHandles();
    observeStartWithArguments(recorder);
    observePoll(recorder);
    observeFailures(recorder);

    fs::current_path(work.parent_path());
    fs::remove_all(work, error);
    return g_failures == 0 ? 0 : 1;
}
