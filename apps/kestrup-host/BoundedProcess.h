#pragma once
// Runs a program to its end or to its time limit and tells how it ended. Waits in
// a local event loop on the Qt main thread, so that signals and the component's
// inactivity timer still end the host: either ends the wait as Interrupted.
#include <chrono>
#include <string>
#include <vector>

namespace kestrup_host {

struct ProcessOutcome {
    enum class End { Exited, Crashed, TimedOut, NotStarted, Interrupted };
    End end = End::NotStarted;
    int exitCode = -1;   // Exited
    std::string error;   // NotStarted, Crashed: why
    std::string output;  // the end of what it wrote (stdout and stderr), for the log

    bool succeeded() const { return end == End::Exited && exitCode == 0; }
    // "exited with code 3", "did not end within 120 seconds", ...
    std::string describe(std::chrono::seconds limit) const;
};

// `command`: the program and its arguments (not empty). A program still running
// at the limit, or when the wait is interrupted, is killed. Main thread only.
ProcessOutcome runBoundedProcess(const std::vector<std::string>& command, std::chrono::seconds limit);

}  // namespace kestrup_host
