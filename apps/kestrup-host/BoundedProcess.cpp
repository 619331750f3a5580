#include "BoundedProcess.h"

#include <QEventLoop>
#include <QProcess>
#include <QStringList>
#include <QTimer>

namespace kestrup_host {
namespace {

// Enough of the output to show why a check failed, little enough for one log line.
const int kOutputTailBytes = 2000;
// How long a killed program may take to go.
const int kKillWaitMilliseconds = 5000;

}  // namespace

std::string ProcessOutcome::describe(std::chrono::seconds limit) const {
    switch (end) {
    case End::Exited:
        return "exited with code " + std::to_string(exitCode);
    case End::Crashed:
        return "crashed (" + error + ")";
    case End::TimedOut:
        return "did not end within " + std::to_string(limit.count()) + " seconds and was killed";
    case End::NotStarted:
        return "could not be started (" + error + ")";
    case End::Interrupted:
        return "was interrupted when the host was ended";
    }
    return "ended in an unknown way";
}

ProcessOutcome runBoundedProcess(const std::vector<std::string>& command, std::chrono::seconds limit) {
    ProcessOutcome outcome;
    QProcess process;
    QStringList arguments;
    for (std::size_t i = 1; i < command.size(); ++i) arguments << QString::fromStdString(command[i]);
    process.setProgram(QString::fromStdString(command.front()));
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());

    // Which of our own events ended the loop; none: QCoreApplication::exit did.
    enum class Woken { Nothing, Finished, FailedToStart, TimedOut };
    Woken woken = Woken::Nothing;
    QEventLoop loop;
    QByteArray output;
    QObject::connect(&process, &QProcess::readyRead, &loop, [&] {
        output += process.readAll();
        if (output.size() > kOutputTailBytes) output = output.right(kOutputTailBytes);
    });
    QObject::connect(&process, &QProcess::finished, &loop, [&] {
        woken = Woken::Finished;
        loop.exit();
    });
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        woken = Woken::FailedToStart;
        loop.exit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        woken = Woken::TimedOut;
        loop.exit();
    });
    timer.start(std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    process.start();
    loop.exec();
    timer.stop();

    switch (woken) {
    case Woken::Finished:
        output += process.readAll();
        if (process.exitStatus() == QProcess::CrashExit) {
            outcome.end = ProcessOutcome::End::Crashed;
            outcome.error = process.errorString().toStdString();
        } else {
            outcome.end = ProcessOutcome::End::Exited;
            outcome.exitCode = process.exitCode();
        }
        break;
    case Woken::FailedToStart:
        outcome.end = ProcessOutcome::End::NotStarted;
        outcome.error = process.errorString().toStdString();
        break;
    case Woken::TimedOut:
    case Woken::Nothing:
        outcome.end = woken == Woken::TimedOut ? ProcessOutcome::End::TimedOut : ProcessOutcome::End::Interrupted;
        process.kill();
        process.waitForFinished(kKillWaitMilliseconds);
        break;
    }
    outcome.output = output.right(kOutputTailBytes).trimmed().toStdString();
    return outcome;
}

}  // namespace kestrup_host
