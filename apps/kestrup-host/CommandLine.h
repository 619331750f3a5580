#pragma once
// The command line of kestrup-host: one command and its options.
#include <cstdint>
#include <string>
#include <vector>

#include <QStringList>

namespace kestrup_host {

enum class Command { Update, Status, Run, State, Feed, Hold };

// The publisher's commands: "feed keygen|sign|verify".
enum class FeedAction { Keygen, Sign, Verify };

// The hold list's commands: "hold list", "hold add APP VERSION", "hold clear APP VERSION".
enum class HoldAction { List, Add, Clear };

struct HostOptions {
    Command command = Command::Status;
    std::string applicationId;  // canonical text; empty unless --app was given
    std::string configFile;     // as given; resolved by the settings loader
    std::string pluginPath;     // empty: the default search (see PluginLocator)
    bool verbose = false;
    unsigned timeoutSeconds = 3600;  // overall bound of update and status
    FeedAction feedAction = FeedAction::Verify;  // with Command::Feed
    std::string feedFile;                        // sign, verify: the feed
    std::string keyFile;                         // keygen: written; sign: read (--key)
    std::vector<std::string> trustedKeys;        // verify: keys or key files (--keys)
    HoldAction holdAction = HoldAction::List;    // with Command::Hold
    std::string holdApplication;                 // add, clear: canonical id
    uint32_t holdVersion = 0;                    // add, clear
    bool json = false;                           // status, state: print JSON
    bool showHelp = false;
    bool showVersion = false;
};

struct ParsedCommandLine {
    HostOptions options;
    std::string error;  // empty when the command line is usable
    bool ok() const { return error.empty(); }
};

// Parses `arguments` (the first one is the program). Never exits and never prints:
// the caller reports `error` and the usage. --help and --version are accepted
// without a command and without --config.
ParsedCommandLine parseCommandLine(const QStringList& arguments);

// The usage text printed by --help (and after a usage error).
std::string usageText();

}  // namespace kestrup_host
