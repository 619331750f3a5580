// kestrup-host: runs the update component for real. See the README for the
// commands, the configuration and the exit codes.
#include <exception>
#include <iostream>


#include <QCoreApplication>

#include "CommandLine.h"
#include "ExitCodes.h"
#include "FeedTool.h"
#include "HostApplication.h"
#include "TransferStack.h"

#ifndef KESTRUP_VERSION_TEXT
#define KESTRUP_VERSION_TEXT "0"
#endif
#ifndef KESTRUP_FEED_TOOL_FILE_NAME
#define KESTRUP_FEED_TOOL_FILE_NAME "libkestrup_feed_tool.so"
#endif

namespace {

int runFeedTool(const kestrup_host::HostOptions& options) {
    std::string error;
    const QFunctionPointer function =
        kestrup_host::ownModule(KESTRUP_FEED_TOOL_FILE_NAME).function(KESTRUP_FEED_TOOL_FUNCTION, error);
    if (function == nullptr) {
        std::cerr << "kestrup-host: the feed tool is unavailable: " << error << std::endl;
        return kestrup_host::ExitSetupFailed;
    }
    return reinterpret_cast<KestrupFeedToolFunction>(function)(options);
}

}  // namespace

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
        if (parsed.options.command == kestrup_host::Command::Feed) return runFeedTool(parsed.options);
        return kestrup_host::HostApplication(parsed.options).run();
    } catch (const std::exception& e) {
        std::cerr << "kestrup-host: unexpected error: " << e.what() << std::endl;
        return kestrup_host::ExitSetupFailed;
    }
}
