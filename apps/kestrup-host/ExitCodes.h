#pragma once
// The exit codes of kestrup-host. Scripts rely on them: values never change meaning.

namespace kestrup_host {

enum ExitCode : int {
    // update: the installer was started. status: an update is available or under
    // way. run: ended by the inactivity timer or by SIGINT/SIGTERM. state: printed.
    ExitOk = 0,
    // update, status: the application is up to date.
    ExitNoUpdate = 2,
    // The update check failed (backend, feed, registry, saved workflow data).
    ExitCheckFailed = 3,
    // The download could not be started or failed after all retries.
    ExitDownloadFailed = 4,
    // The installer could not be launched.
    ExitInstallFailed = 5,
    // No answer in time (a request's bound or --timeout), or the host's inactivity
    // timer ended the run first. The workflow goes on at the next start.
    ExitNotFinished = 6,
    // Bad command line, or a missing or invalid configuration file or value.
    ExitUsage = 64,
    // The host could not be set up (plug-in module, store, services, log file), or
    // another kestrup-host is using the same data folder.
    ExitSetupFailed = 70
};

// update and status interrupted by a signal end with 128 + the signal's number
// (130 for SIGINT, 143 for SIGTERM).
inline int exitCodeForSignal(int signalNumber) {
    return 128 + signalNumber;
}

}  // namespace kestrup_host
