#pragma once
// Runs a program (kestrup-host, the demo's scripts) as a child process of a test
// and collects its output. Needs the QCoreApplication that HostProcess.cpp creates
// for the test binary.
#include <string>

#include <QProcess>
#include <QStringList>

namespace apptest {

struct Finished {
    bool ended = false;       // false: still running at the time limit (then killed)
    bool crashed = false;     // ended by a signal
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ChildProcess {
public:
    // Starts `program` with `arguments` in `folder`.
    ChildProcess(const std::string& program, const QStringList& arguments, const std::string& folder);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_started; }
    // True once `text` appeared on stdout or stderr within `timeoutMs`.
    bool waitForText(const std::string& text, int timeoutMs);
    void sendSignal(int signalNumber);
    // Waits up to `timeoutMs` for the end; kills the child when it does not end.
    Finished finish(int timeoutMs);

private:
    void collect();

    QProcess m_process;
    bool m_started = false;
    std::string m_out;
    std::string m_err;
};

// Runs to the end (at most `timeoutMs`).
Finished runProgram(const std::string& program, const QStringList& arguments, const std::string& folder,
                    int timeoutMs = 60000);

}  // namespace apptest
