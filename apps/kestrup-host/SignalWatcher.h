#pragma once
// Turns SIGINT and SIGTERM into a call on the Qt main thread. The signal handler
// only writes the signal's number into a pipe (async-signal-safe); a socket
// notifier on the pipe's other end makes the call from the event loop.
// On Windows a console control handler does it: Ctrl-C and Ctrl-Break count as
// SIGINT, closing the console, logging off and shutting down as SIGTERM.
// One watcher at a time in a process.
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace kestrup_host {

class SignalWatcher {
public:
    // `onSignal` runs on the thread of the Qt event loop, once per signal received.
    explicit SignalWatcher(std::function<void(int signalNumber)> onSignal);
    // Restores the earlier handlers and closes the pipe.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Needs a QCoreApplication. False with `error` when the pipe or a handler cannot
    // be set up.
    bool install(std::string& error);
    // The first signal received so far; 0 when none. Main thread only.
    int firstSignal() const { return m_firstSignal; }

    // Records and passes on one signal. Main thread only (the platform's handler
    // queues the call there).
    void deliver(int signalNumber) {
        if (m_firstSignal == 0) m_firstSignal = signalNumber;
        m_onSignal(signalNumber);
    }

private:
    void drain();  // POSIX: reads the pipe

    std::function<void(int)> m_onSignal;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_installed = false;
    int m_firstSignal = 0;
};

}  // namespace kestrup_host
