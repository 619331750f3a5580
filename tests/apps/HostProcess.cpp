#include "HostProcess.h"

#include <chrono>
#include <regex>

#include <signal.h>

#include <QCoreApplication>
#include <QSettings>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace apptest {
namespace {

// QProcess wants an application object on the thread that uses it.
class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "apps_host_road_test";
        static char* argv[] = {name, nullptr};
        m_application = new QCoreApplication(argc, argv);
    }
    void TearDown() override {
        delete m_application;
        m_application = nullptr;
    }

private:
    QCoreApplication* m_application = nullptr;
};

::testing::Environment* const g_qtApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const QStringList& arguments, const std::string& folder) {
    m_process.setWorkingDirectory(QString::fromStdString(folder));
    m_process.start(QString::fromStdString(program), arguments);
    m_started = m_process.waitForStarted(10000);
}

ChildProcess::~ChildProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

void ChildProcess::collect() {
    m_out += m_process.readAllStandardOutput().toStdString();
    m_err += m_process.readAllStandardError().toStdString();
}

bool ChildProcess::waitForText(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        collect();
        if (m_out.find(text) != std::string::npos || m_err.find(text) != std::string::npos) return true;
        if (m_process.state() == QProcess::NotRunning || std::chrono::steady_clock::now() >= deadline) return false;
        m_process.waitForReadyRead(50);
    }
}

void ChildProcess::sendSignal(int signalNumber) {
#ifdef _WIN32
    (void)signalNumber;  // no signals on Windows; the cases that send one do not run there
#else
    if (m_process.state() == QProcess::Running) ::kill(static_cast<pid_t>(m_process.processId()), signalNumber);
#endif
}

Finished ChildProcess::finish(int timeoutMs) {
    Finished result;
    result.ended = m_process.waitForFinished(timeoutMs);
    if (!result.ended) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    collect();
    result.crashed = m_process.exitStatus() == QProcess::CrashExit;
    result.exitCode = m_process.exitCode();
    result.out = m_out;
    result.err = m_err;
    return result;
}

Finished runProgram(const std::string& program, const QStringList& arguments, const std::string& folder,
                    int timeoutMs) {
    ChildProcess child(program, arguments, folder);
    if (!child.started()) return Finished();
    return child.finish(timeoutMs);
}

std::string shown(const Finished& run) {
    return "exit " + std::to_string(run.exitCode) + (run.ended ? "" : " (killed: still running)") +
           (run.crashed ? " (crashed)" : "") + "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
}

Demo::Demo(const std::string& folder) : m_folder(folder) {
    const Finished prepared = runProgram(
        "/bin/sh", {QStringLiteral(KESTRUP_DEMO_FOLDER "/prepare.sh"), QString::fromStdString(folder)}, "/");
    m_ready = prepared.ended && prepared.exitCode == 0;
    EXPECT_TRUE(m_ready) << shown(prepared);
}

QStringList Demo::withConfig(QStringList arguments) const {
    return arguments << QStringLiteral("--config") << QString::fromStdString(file("kestrup-host.ini"));
}

Finished Demo::host(QStringList arguments, int timeoutMs) const {
    return runProgram(KESTRUP_HOST_PROGRAM, withConfig(arguments), m_folder, timeoutMs);
}

std::unique_ptr<ChildProcess> Demo::start(QStringList arguments) const {
    auto child = std::make_unique<ChildProcess>(KESTRUP_HOST_PROGRAM, withConfig(arguments), m_folder);
    EXPECT_TRUE(child->started());
    return child;
}

void Demo::set(const std::string& key, const std::string& value) const {
    QSettings settings(QString::fromStdString(file("kestrup-host.ini")), QSettings::IniFormat);
    settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings.sync();
    EXPECT_EQ(QSettings::NoError, settings.status()) << key;
}

void Demo::editFeed(const std::string& pattern, const std::string& replacement) const {
    const std::string feed = testsupport::readFile(file("feed.xml"));
    const std::string changed = std::regex_replace(feed, std::regex(pattern), replacement);
    EXPECT_NE(feed, changed) << pattern;
    EXPECT_TRUE(testsupport::writeFile(file("feed.xml"), changed));
}

std::string Demo::log() const { return testsupport::readFile(file("data/kestrup-host.log")); }

}  // namespace apptest
