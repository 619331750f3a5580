// SignalWatcher on Windows: a console control handler. Windows runs the handler
// on a thread of its own; it queues the call to the event loop's thread.
#ifdef _WIN32

#include "SignalWatcher.h"

#include <atomic>
#include <csignal>

#include <windows.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace kestrup_host {
namespace {

std::atomic<SignalWatcher*> g_watcher{nullptr};

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (g_watcher.load() == nullptr) return FALSE;  // the default handling ends the process
    const int signalNumber = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [signalNumber] {
            // Gone meanwhile: the watcher is removed on this same thread.
            if (SignalWatcher* watcher = g_watcher.load()) watcher->deliver(signalNumber);
        },
        Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : m_onSignal(std::move(onSignal)) {}

SignalWatcher::~SignalWatcher() {
    if (!m_installed) return;
    ::SetConsoleCtrlHandler(&onConsoleEvent, FALSE);
    g_watcher.store(nullptr);
}

bool SignalWatcher::install(std::string& error) {
    SignalWatcher* none = nullptr;
    if (!g_watcher.compare_exchange_strong(none, this)) {
        error = "a signal watcher is installed already";
        return false;
    }
    if (!::SetConsoleCtrlHandler(&onConsoleEvent, TRUE)) {
        error = "cannot handle console events: error " + std::to_string(::GetLastError());
        g_watcher.store(nullptr);
        return false;
    }
    m_installed = true;
    return true;
}

}  // namespace kestrup_host

#endif  // _WIN32
