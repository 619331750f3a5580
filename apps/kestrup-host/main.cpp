// kestrup-host: runs the update component for real. See the README for the
// commands, the configuration and the exit codes.
#include <exception>
#include <iostream>

#include <unistd.h>

#include <QCoreApplication>

#include "CommandLine.h"
#include "ExitCodes.h"
#include "FeedTool.h"
#include "HostApplication.h"

#ifndef KESTRUP_VERSION_TEXT
#define KESTRUP_VERSION_TEXT "0"
#endif

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const kestrup_host::ParsedCommandLine parsed = kestrup_host::parseCommandLine(QCoreApplication::arguments());
    if (!parsed.ok()) {
        std::cerr << "kestrup-host: " << parsed.error << "\nRun 'kestrup-host --help' for the usage." << std::endl;
        return kestrup_host::ExitUsage;
    }
    if (parsed.options.showHelp) {
        std::cout << kestrup_host::usageText();
        return kestrup_host::ExitOk;
    }
    if (parsed.options.showVersion) {
        std::cout << "kestrup-host " << KESTRUP_VERSION_TEXT << std::endl;
        return kestrup_host::ExitOk;
    }
    try {
        if (parsed.options.command == kestrup_host::Command::Feed) {
            kestrup_host::OutcomePrinter printer(std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
            return kestrup_host::runFeedCommand(parsed.options, printer);
        }
        return kestrup_host::HostApplication(parsed.options).run();
    } catch (const std::exception& e) {
        std::cerr << "kestrup-host: unexpected error: " << e.what() << std::endl;
        return kestrup_host::ExitSetupFailed;
    }
}
