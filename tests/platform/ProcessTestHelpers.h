#pragma once
// File and process helpers for tests that start real processes through the platform
// layer (tests/platform and tests/launcher).
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/Win32Api.h"

namespace proctest {

const std::chrono::seconds kEventWait(10);

inline void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Polls `condition` until it holds or `timeout` has passed.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kEventWait) {
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A script that writes its pid, working folder, open descriptors and arguments (one
// per line) to "<script>.pid", ".cwd", ".fds" and ".args", the last one complete
// once it exists, then runs `tail`.
inline std::string recorderScript(const std::string& tail = "") {
    return "#!/bin/sh\n"
           "echo $$ > \"$0.pid\"\n"
           "pwd > \"$0.cwd\"\n"
           "ls /proc/$$/fd > \"$0.fds\"\n"
           "printf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
           "mv \"$0.args.tmp\" \"$0.args\"\n" +
           tail;
}

// The pid a recorder script wrote to `path`, waiting for it to be there.
inline pid_t readPid(const std::string& path) {
    EXPECT_TRUE(waitFor([&] { return !readFile(path).empty() && readFile(path).back() == '\n'; })) << path;
    return static_cast<pid_t>(std::stol("0" + readFile(path)));
}

// True when `pid` is no unreaped child of ours (reaped, or never ours): no zombie.
// Looks without reaping, so that it never does the platform layer's work for it.
inline bool notAnUnreapedChild(pid_t pid) {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// Ends a process a test left running and reaps it through the platform layer.
inline void killAndReap(pid_t pid) {
    if (pid <= 0) return;  // never signal a process group
    ::kill(pid, SIGKILL);
    if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid))) {
        EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
        CloseHandle(process);
    }
}

}  // namespace proctest
