// Process start and process handles of the platform layer, with real processes.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "platform/Win32Api.h"

extern char** environ;

namespace {

using testsupport::TempDir;

const std::chrono::seconds kEventWait(10);

std::u16string wide(const std::string& text) {
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()) + 1, nullptr, 0);
    std::vector<WCHAR> buffer(static_cast<std::size_t>(needed));
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()) + 1, buffer.data(), needed);
    return std::u16string(buffer.data());
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// One argument per line, as the recorder script writes them.
std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kEventWait) {
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool isZombie(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::string::size_type close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// True when `pid` is no unreaped child of ours (reaped, or never ours).
bool notAnUnreapedChild(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

pid_t readPid(const std::string& path) {
    EXPECT_TRUE(waitFor([&] { return !readFile(path).empty() && readFile(path).back() == '\n'; })) << path;
    return static_cast<pid_t>(std::stoi(readFile(path)));
}

// Records its pid, working folder and arguments next to itself, then waits for a
// "<script>.go" file when it is started with `waitForGo`.
std::string recorderScript(bool waitForGo = false) {
    std::string script =
        "#!/bin/sh\n"
        "echo $$ > \"$0.pid\"\n"
        "pwd > \"$0.cwd\"\n"
        "printf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
        "mv \"$0.args.tmp\" \"$0.args\"\n";
    if (waitForGo) script += "while [ ! -e \"$0.go\" ]; do sleep 0.02; done\n";
    return script;
}

std::string currentFolder() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

struct Launch {
    BOOL ok;
    DWORD error;
    HANDLE process;
    uintptr_t instApp;
};

Launch shellOpen(const std::string& file, const std::string& parameters, const char* directory = nullptr,
                 ULONG mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI,
                 const std::string& verb = "open") {
    const std::u16string wideFile = wide(file), wideParameters = wide(parameters), wideVerb = wide(verb);
    const std::u16string wideDirectory = directory ? wide(directory) : std::u16string();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = mask;
    info.hwnd = GetForegroundWindow();
    info.lpVerb = wideVerb.c_str();
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = directory ? wideDirectory.c_str() : nullptr;
    info.nShow = SW_SHOWNORMAL;
    SetLastError(0);
    Launch launch;
    launch.ok = ShellExecuteExW(&info);
    launch.error = GetLastError();
    launch.process = info.hProcess;
    launch.instApp = reinterpret_cast<uintptr_t>(info.hInstApp);
    return launch;
}

// Waits for the started process and checks that nothing of it is left behind.
void finish(const Launch& launch) {
    ASSERT_TRUE(launch.process);
    const pid_t pid = static_cast<pid_t>(GetProcessId(launch.process));
    EXPECT_EQ(WaitForSingleObject(launch.process, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(launch.process));
    EXPECT_TRUE(notAnUnreapedChild(pid));
}

TEST(ShellExecuteTest, FailuresSetTheErrorAWindowsCallerWouldSee) {
    TempDir dir;
    writeFile(dir.file("data.txt"), "just text\n", 0644);
    writeFile(dir.file("garbage.exe"), "this is not a program\n", 0755);
    writeFile(dir.file("orphan.sh"), "#!/nonexistent/interpreter\necho hi\n", 0644);
    writeFile(dir.file("blank.sh"), "#!   \necho hi\n", 0644);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);

    struct Case {
        std::string file;
        const char* directory;
        std::string verb;
        DWORD error;
        uintptr_t instApp;  // 0: not checked
    };
    const Case cases[] = {
        {dir.file("missing.exe"), nullptr, "open", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {dir.file("nofolder/missing.exe"), nullptr, "open", ERROR_PATH_NOT_FOUND, SE_ERR_PNF},
        {dir.file("data.txt/inside.exe"), nullptr, "open", ERROR_PATH_NOT_FOUND, SE_ERR_PNF},
        {dir.file("folder"), nullptr, "open", ERROR_ACCESS_DENIED, SE_ERR_ACCESSDENIED},
        {dir.file("data.txt"), nullptr, "open", ERROR_NO_ASSOCIATION, SE_ERR_NOASSOC},
        {dir.file("garbage.exe"), nullptr, "open", ERROR_BAD_EXE_FORMAT, ERROR_BAD_FORMAT},
        {dir.file("orphan.sh"), nullptr, "open", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {dir.file("blank.sh"), nullptr, "open", ERROR_BAD_EXE_FORMAT, ERROR_BAD_FORMAT},
        {dir.file("garbage.exe"), nullptr, "print", ERROR_NO_ASSOCIATION, SE_ERR_NOASSOC},
        {"", nullptr, "open", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {"no-such-program-anywhere", nullptr, "open", ERROR_FILE_NOT_FOUND, SE_ERR_FNF},
        {"garbage.exe", "/no/such/folder", "open", ERROR_DIRECTORY, 0},
    };
    for (const Case& c : cases) {
        const Launch launch = shellOpen(c.file, "", c.directory, SEE_MASK_NOCLOSEPROCESS, c.verb);
        EXPECT_FALSE(launch.ok) << c.file;
        EXPECT_EQ(launch.error, c.error) << c.file << " (" << c.verb << ")";
        if (c.instApp != 0) {
            EXPECT_EQ(launch.instApp, c.instApp) << c.file;
        }
        EXPECT_EQ(launch.process, nullptr) << c.file;
    }

    SHELLEXECUTEINFOW wrongSize = {};
    wrongSize.cbSize = sizeof(wrongSize) - 8;
    SetLastError(0);
    EXPECT_FALSE(ShellExecuteExW(&wrongSize));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ShellExecuteExW(nullptr));
}

TEST(ShellExecuteTest, FilesOutOfReachAreAccessDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reaches every file";
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0755), 0);
    writeFile(dir.file("locked/setup.sh"), recorderScript(), 0755);
    writeFile(dir.file("unreadable.sh"), recorderScript(), 0200);
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0), 0);
    for (const std::string& file : {dir.file("locked/setup.sh"), dir.file("unreadable.sh")}) {
        const Launch launch = shellOpen(file, "");
        EXPECT_FALSE(launch.ok) << file;
        EXPECT_EQ(launch.error, ERROR_ACCESS_DENIED) << file;
    }
}

TEST(ShellExecuteTest, ProgramReceivesTheArgumentsAWindowsProgramWould) {
    TempDir dir;
    const std::string script = dir.file("setup.sh");
    writeFile(script, recorderScript(), 0755);

    const Launch launch = shellOpen(script,
                                    "first \"second  arg\"\t \"say \"\"hi\"\"\" back\\slash\\\"q\\\" "
                                    "\"C:\\Program Files\\\\\" \"\" w\xC3\xB6rld");
    ASSERT_TRUE(launch.ok) << launch.error;
    ASSERT_TRUE(waitFor([&] { return exists(script + ".args"); }));
    const std::vector<std::string> expected = {"first", "second  arg",         "say \"hi\"", "back\\slash\"q\"",
                                               "C:\\Program Files\\", "", "w\xC3\xB6rld"};
    EXPECT_EQ(readLines(script + ".args"), expected);
    EXPECT_EQ(readPid(script + ".pid"), static_cast<pid_t>(GetProcessId(launch.process)));
    // No folder given: the child runs where the caller does.
    EXPECT_EQ(readFile(script + ".cwd"), currentFolder() + "\n");
    finish(launch);
}

TEST(ShellExecuteTest, GivenFolderIsTheWorkingFolderAndWhereBareNamesAreFound) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::string script = dir.file("sub/setup.sh");
    writeFile(script, recorderScript(), 0755);

    const std::string folder = dir.file("sub");
    const Launch launch = shellOpen("setup.sh", "/S", folder.c_str());
    ASSERT_TRUE(launch.ok) << launch.error;
    ASSERT_TRUE(waitFor([&] { return exists(script + ".args"); }));
    EXPECT_EQ(readLines(script + ".args"), std::vector<std::string>{"/S"});
    EXPECT_EQ(readFile(script + ".cwd"), folder + "\n");
    finish(launch);
}

TEST(ShellExecuteTest, ScriptsWithoutExecuteBitRunThroughTheirInterpreter) {
    TempDir dir;
    const std::string body = recorderScript().substr(std::string("#!/bin/sh\n").size());
    const std::pair<const char*, std::string> scripts[] = {
        {"plain.sh", "#!/bin/sh\n" + body},
        {"with-argument.sh", "#! /usr/bin/env sh\n" + body},  // interpreter plus one argument
        {"crlf.sh", "#!/bin/sh\r\n" + body},
    };
    for (const auto& entry : scripts) {
        const std::string script = dir.file(entry.first);
        writeFile(script, entry.second, 0644);
        const Launch launch = shellOpen(script, "x \"y z\"");
        ASSERT_TRUE(launch.ok) << entry.first << ": error " << launch.error;
        ASSERT_TRUE(waitFor([&] { return exists(script + ".args"); })) << entry.first;
        EXPECT_EQ(readLines(script + ".args"), (std::vector<std::string>{"x", "y z"})) << entry.first;
        finish(launch);
    }
}

TEST(ShellExecuteTest, ChildInheritsOnlyTheStandardDescriptors) {
    TempDir dir;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);  // inheritable: no close-on-exec
    ASSERT_EQ(::dup2(fds[1], 200), 200);
    const std::string script = dir.file("fds.sh");
    writeFile(script, "#!/bin/sh\nls /proc/$$/fd > \"$0.tmp\"\nmv \"$0.tmp\" \"$0.fds\"\n", 0755);

    const Launch launch = shellOpen(script, "");
    ASSERT_TRUE(launch.ok) << launch.error;
    ASSERT_TRUE(waitFor([&] { return exists(script + ".fds"); }));
    const std::vector<std::string> open = readLines(script + ".fds");
    EXPECT_NE(std::find(open.begin(), open.end(), "1"), open.end());
    for (int fd : {fds[0], fds[1], 200})
        EXPECT_EQ(std::find(open.begin(), open.end(), std::to_string(fd)), open.end()) << "fd " << fd;
    finish(launch);
    ::close(200);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ProcessHandleTest, HandlesFollowAChildUntilItIsReaped) {
    TempDir dir;
    const std::string script = dir.file("child.sh");
    writeFile(script, recorderScript(true), 0755);
    const Launch launch = shellOpen(script, "");
    ASSERT_TRUE(launch.ok) << launch.error;
    const pid_t pid = readPid(script + ".pid");
    EXPECT_EQ(GetProcessId(launch.process), static_cast<DWORD>(pid));

    EXPECT_EQ(WaitForSingleObject(launch.process, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(launch.process, 30), WAIT_TIMEOUT);
    HANDLE second = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, launch.process);
    EXPECT_EQ(GetProcessId(second), static_cast<DWORD>(pid));

    writeFile(script + ".go", "", 0644);
    EXPECT_EQ(WaitForSingleObject(second, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(notAnUnreapedChild(pid));  // the wait reaped it: no zombie
    EXPECT_EQ(WaitForSingleObject(launch.process, 0), WAIT_OBJECT_0);  // every handle sees the end
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(launch.process));
    // A closed handle is caught, not used.
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(launch.process));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetProcessId(launch.process), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(launch.process, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(ProcessHandleTest, OpenProcessSeesTheExitOfAChildNobodyWaitedFor) {
    TempDir dir;
    const std::string script = dir.file("child.sh");
    writeFile(script, recorderScript(true), 0755);
    const Launch launch = shellOpen(script, "");
    ASSERT_TRUE(launch.ok) << launch.error;
    const pid_t pid = readPid(script + ".pid");
    EXPECT_TRUE(CloseHandle(launch.process));  // only the pid is kept, as the launcher does

    writeFile(script + ".go", "", 0644);
    ASSERT_TRUE(waitFor([&] { return isZombie(pid); }));
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(process, nullptr) << "an unreaped child of ours is still there to be waited for";
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_TRUE(notAnUnreapedChild(pid));
}

TEST(ProcessHandleTest, ChildWithoutHandleIsReapedByTheNextLaunch) {
    TempDir dir;
    const std::string script = dir.file("child.sh");
    writeFile(script, recorderScript(true), 0755);
    const Launch launch = shellOpen(script, "", nullptr, SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI);
    ASSERT_TRUE(launch.ok) << launch.error;
    EXPECT_EQ(launch.process, nullptr);  // not asked for
    const pid_t pid = readPid(script + ".pid");

    writeFile(script + ".go", "", 0644);
    ASSERT_TRUE(waitFor([&] { return isZombie(pid); }));
    shellOpen(dir.file("missing.exe"), "");
    EXPECT_TRUE(notAnUnreapedChild(pid));
}

TEST(ProcessHandleTest, OtherProcessesAreObservedButNeverReaped) {
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(::getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(GetProcessId(self), static_cast<DWORD>(::getpid()));
    EXPECT_EQ(WaitForSingleObject(self, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(self));

    // A child started behind the platform layer's back belongs to whoever started it.
    pid_t pid = 0;
    char sleepPath[] = "/bin/sleep";
    char seconds[] = "30";
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
