#pragma once
// Runs a program (kestrup-host, the demo's scripts) as a child process of a test
// and collects its output, and prepares the offline demo for kestrup-host. Needs the
// QCoreApplication that HostProcess.cpp creates for the test binary.
#include <memory>
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

// The exit code, whether it ended, and both outputs: for a failure message.
std::string shown(const Finished& run);
inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The offline demo prepared in `folder`; kestrup-host runs there on its kestrup-host.ini.
class Demo {
public:
    explicit Demo(const std::string& folder);
    bool ready() const { return m_ready; }
    std::string file(const std::string& name) const { return m_folder + "/" + name; }
    Finished host(QStringList arguments, int timeoutMs = 120000) const;
    std::unique_ptr<ChildProcess> start(QStringList arguments) const;
    // Sets a key of kestrup-host.ini ("Group/Key").
    void set(const std::string& key, const std::string& value) const;
    // Replaces every match of the regular expression `pattern` in feed.xml.
    void editFeed(const std::string& pattern, const std::string& replacement) const;
    std::string log() const;

private:
    QStringList withConfig(QStringList arguments) const;

    std::string m_folder;
    bool m_ready = false;
};

}  // namespace apptest
