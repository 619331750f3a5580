#ifndef _WIN32

#include "SignalWatcher.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace kestrup_host {
namespace {

const int kSignals[] = {SIGINT, SIGTERM};

// The pipe between the handler and the notifier; -1 while no watcher is installed.
// Written before the handlers are installed and after they are removed.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[sizeof(kSignals) / sizeof(kSignals[0])];

extern "C" void writeSignalToPipe(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe drops the byte: a signal is already waiting to be read.
    const ssize_t written = ::write(g_pipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : m_onSignal(std::move(onSignal)) {}

SignalWatcher::~SignalWatcher() {
    if (!m_installed) return;
    for (std::size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    m_notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

bool SignalWatcher::install(std::string& error) {
    if (g_pipe[0] != -1) {
        error = "a signal watcher is installed already";
        return false;
    }
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot create the signal pipe: ") + std::strerror(errno);
        g_pipe[0] = g_pipe[1] = -1;
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = &writeSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        if (::sigaction(kSignals[i], &action, &g_previous[i]) != 0) {
            error = std::string("cannot handle signal: ") + std::strerror(errno);
            for (std::size_t j = 0; j < i; ++j) ::sigaction(kSignals[j], &g_previous[j], nullptr);
            m_notifier.reset();
            ::close(g_pipe[0]);
            ::close(g_pipe[1]);
            g_pipe[0] = g_pipe[1] = -1;
            return false;
        }
    }
    m_installed = true;
    return true;
}

void SignalWatcher::drain() {
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(g_pipe[0], bytes, sizeof(bytes))) > 0) {
        for (ssize_t i = 0; i < count; ++i) deliver(bytes[i]);
    }
}

}  // namespace kestrup_host

#endif  // !_WIN32
