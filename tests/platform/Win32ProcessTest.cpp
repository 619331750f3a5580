// Process start and process handles of the platform layer, with real processes.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/TextConversion.h"
#include "platform/Win32Api.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

using testsupport::TempDir;
using testsupport::readFile;
using testsupport::waitFor;

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Writes its pid, folder, open descriptors and arguments to "<script>.pid", ".cwd",
// ".fds" and ".args" (complete once it exists), then runs `tail`.
std::string recorderScript(const std::string& tail = "") {
    return "#!/bin/sh\n"
           "echo $$ > \"$0.pid\"\n"
           "pwd > \"$0.cwd\"\n"
           "ls /proc/$$/fd > \"$0.fds\"\n"
           "printf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
           "mv \"$0.args.tmp\" \"$0.args\"\n" +
           tail;
}

// The pid a recorder script wrote to `path`, waiting for it to be there.
pid_t readPid(const std::string& path) {
    EXPECT_TRUE(waitFor([&] { return !readFile(path).empty() && readFile(path).back() == '\n'; })) << path;
    return static_cast<pid_t>(std::stol("0" + readFile(path)));
}

// True when `pid` is no unreaped child of ours; looks without reaping it.
bool notAnUnreapedChild(pid_t pid) {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

const char* const kWaitForGo = "while [ ! -e \"$0.go\" ]; do sleep 0.02; done\n";

struct Launch {
    BOOL ok;
    DWORD error;
    HANDLE process;
    uintptr_t instApp;
};

Launch shellOpen(const std::string& file, const std::string& parameters, const char* directory = nullptr,
                 ULONG mask = SEE_MASK_NOCLOSEPROCESS, const std::u16string& wideVerb = u"open") {
    auto wide = [](const std::string& text) { return platform::utf8ToUtf16(text.data(), text.size()); };
    const std::u16string wideFile = wide(file), wideParameters = wide(parameters);
    const std::u16string wideDirectory = wide(directory ? directory : "");
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = mask;
    info.lpVerb = wideVerb.c_str();
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = directory ? wideDirectory.c_str() : nullptr;
    SetLastError(0);
    const BOOL ok = ShellExecuteExW(&info);
    return Launch{ok, GetLastError(), info.hProcess, reinterpret_cast<uintptr_t>(info.hInstApp)};
}

// The failures only our implementation can have (scripts, PATH, permissions); the
// ones Windows has too are compared with it by the differential launcher test.
TEST(ShellExecuteTest, FailuresSetTheErrorAWindowsCallerWouldSee) {
    TempDir dir;
    writeFile(dir.file("data.txt"), "just text\n", 0644);
    writeFile(dir.file("orphan.sh"), "#!/nonexistent/interpreter\necho hi\n", 0644);
    writeFile(dir.file("blank.sh"), "#!   \necho hi\n", 0644);
    writeFile(dir.file("unreadable.sh"), recorderScript(), 0200);

    struct Case {
        std::string file;
        DWORD error;
        uintptr_t instApp;
    };
    std::vector<Case> cases = {
        {dir.file("missing.exe"), ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {dir.file("data.txt/inside.exe"), ERROR_PATH_NOT_FOUND, SE_ERR_PNF},
        {dir.file("data.txt"), ERROR_NO_ASSOCIATION, SE_ERR_NOASSOC},
        {dir.file("orphan.sh"), ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {dir.file("blank.sh"), ERROR_BAD_EXE_FORMAT, ERROR_BAD_FORMAT},
        {"", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {"no-such-program-anywhere", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
    };
    // Root reads every file, so only another user can be refused one.
    if (::geteuid() != 0) cases.push_back({dir.file("unreadable.sh"), ERROR_ACCESS_DENIED, SE_ERR_ACCESSDENIED});
    for (const Case& c : cases) {
        const Launch launch = shellOpen(c.file, "");
        EXPECT_FALSE(launch.ok) << c.file;
        EXPECT_EQ(launch.error, c.error) << c.file;
        EXPECT_EQ(launch.instApp, c.instApp) << c.file;
        EXPECT_EQ(launch.process, nullptr) << c.file;
    }
    const Launch badFolder = shellOpen("data.txt", "", "/no/such/folder");
    EXPECT_FALSE(badFolder.ok || badFolder.process);
    EXPECT_EQ(badFolder.error, ERROR_DIRECTORY);
    EXPECT_EQ(shellOpen(dir.file("missing.exe"), "", nullptr, SEE_MASK_NOCLOSEPROCESS, u"opens").error,
              ERROR_NO_ASSOCIATION);  // only "open" itself, in any letter case

    SHELLEXECUTEINFOW wrongSize = {};  // cbSize 0
    EXPECT_FALSE(ShellExecuteExW(&wrongSize));
    EXPECT_FALSE(ShellExecuteExW(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Each started program sees the arguments a Windows program would, runs in the given
// folder (else the caller's), and inherits no descriptor beyond the standard three.
TEST(ShellExecuteTest, StartedProgramsGetWindowsArgumentsTheirFolderAndNoStrayDescriptors) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    const int inheritable = ::fcntl(STDOUT_FILENO, F_DUPFD, 200);  // no close-on-exec
    ASSERT_GE(inheritable, 200);
    const std::string body = recorderScript().substr(std::string("#!/bin/sh\n").size());

    struct Case {
        std::string name;
        std::string firstLine;
        mode_t mode;
        bool bareNameInSub;  // open "name" with "sub" as the folder, not the full path
        std::string parameters;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"setup.sh", "#!/bin/sh\n", 0755, false, "first \"second  arg\" w\xC3\xB6rld",
         {"first", "second  arg", "w\xC3\xB6rld"}},
        {"setup.sh", "#!/bin/sh\n", 0755, true, "/S", {"/S"}},
        // Without the execute bit a script runs through the interpreter its first line names.
        {"plain.sh", "#!/bin/sh\n", 0644, false, "x \"y z\"", {"x", "y z"}},
        {"with-argument.sh", "#! /usr/bin/env sh\n", 0644, false, "x", {"x"}},
        {"crlf.sh", "#!/bin/sh\r\n", 0644, false, "x", {"x"}},
    };
    for (const Case& c : cases) {
        const std::string folder = c.bareNameInSub ? dir.file("sub") : dir.path();
        const std::string script = folder + "/" + c.name;
        writeFile(script, c.firstLine + body, c.mode);
        const Launch launch = shellOpen(c.bareNameInSub ? c.name : script, c.parameters,
                                        c.bareNameInSub ? folder.c_str() : nullptr);
        ASSERT_TRUE(launch.ok) << script << ": error " << launch.error;
        ASSERT_TRUE(waitFor([&] { return exists(script + ".args"); })) << script;
        EXPECT_EQ(readLines(script + ".args"), c.arguments) << script;
        EXPECT_EQ(readPid(script + ".pid"), static_cast<pid_t>(GetProcessId(launch.process))) << script;
        const std::string workingFolder = c.bareNameInSub ? folder : std::filesystem::current_path().string();
        EXPECT_EQ(readFile(script + ".cwd"), workingFolder + "\n") << script;
        const std::vector<std::string> open = readLines(script + ".fds");
        EXPECT_NE(std::find(open.begin(), open.end(), "1"), open.end()) << script;
        EXPECT_EQ(std::find(open.begin(), open.end(), std::to_string(inheritable)), open.end()) << script;
        EXPECT_EQ(WaitForSingleObject(launch.process, 10000), WAIT_OBJECT_0) << script;
        EXPECT_TRUE(CloseHandle(launch.process));
    }
    ::close(inheritable);
}

// A handle follows its child until a wait reaps it; a child without a handle is reaped
// as it ends. Each runs in a session and process group of its own.
TEST(ProcessHandleTest, HandlesFollowAChildUntilItIsReaped) {
    TempDir dir;
    const std::string held = dir.file("held.sh"), unheld = dir.file("unheld.sh");
    writeFile(held, recorderScript(kWaitForGo), 0755);
    writeFile(unheld, recorderScript(kWaitForGo), 0755);
    const Launch launch = shellOpen(held, "");
    const Launch withoutHandle = shellOpen(unheld, "", nullptr, SEE_MASK_DEFAULT);
    ASSERT_TRUE(launch.ok && withoutHandle.ok);
    EXPECT_EQ(withoutHandle.process, nullptr);  // not asked for
    const pid_t pid = readPid(held + ".pid"), unheldPid = readPid(unheld + ".pid");
    for (pid_t child : {pid, unheldPid}) {
        EXPECT_EQ(::getsid(child), child) << "a Ctrl-C to our group would reach the child";
        EXPECT_EQ(::getpgid(child), child);
    }
    EXPECT_EQ(GetProcessId(launch.process), static_cast<DWORD>(pid));
    EXPECT_EQ(WaitForSingleObject(launch.process, 30), WAIT_TIMEOUT);
    HANDLE second = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetProcessId(second), static_cast<DWORD>(pid));

    writeFile(held + ".go", "", 0644);
    writeFile(unheld + ".go", "", 0644);
    EXPECT_EQ(WaitForSingleObject(second, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(notAnUnreapedChild(pid));
    EXPECT_EQ(WaitForSingleObject(launch.process, 0), WAIT_OBJECT_0);  // every handle sees the end
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(waitFor([&] { return notAnUnreapedChild(unheldPid); })) << "left as a zombie";

    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(launch.process));
    // A closed handle is caught, not used.
    EXPECT_FALSE(CloseHandle(launch.process));
    EXPECT_EQ(GetProcessId(launch.process), 0u);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(launch.process, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ProcessHandleTest, OtherProcessesAreObservedButNeverReaped) {
    // A child started behind the platform layer's back belongs to whoever started it.
    pid_t pid = 0;
    char sleepPath[] = "/bin/sleep", seconds[] = "30";
    char* argv[] = {sleepPath, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&pid, sleepPath, nullptr, nullptr, argv, environ), 0);
    HANDLE other = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_EQ(WaitForSingleObject(other, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(other));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid) << "the platform layer reaped a child that was not its own";
    EXPECT_TRUE(WIFSIGNALED(status));
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
