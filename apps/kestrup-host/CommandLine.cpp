#include "CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include "bus/UUId.h"

namespace kestrup_host {
namespace {

bool commandFromName(const QString& name, Command& command) {
    if (name == QLatin1String("update")) {
        command = Command::Update;
    } else if (name == QLatin1String("status")) {
        command = Command::Status;
    } else if (name == QLatin1String("run")) {
        command = Command::Run;
    } else if (name == QLatin1String("state")) {
        command = Command::State;
    } else if (name == QLatin1String("feed")) {
        command = Command::Feed;
    } else if (name == QLatin1String("hold")) {
        command = Command::Hold;
    } else {
        return false;
    }
    return true;
}

// A whole number of seconds from 1 to one week.
bool parseTimeout(const QString& text, unsigned& seconds) {
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    if (!ok || value == 0 || value > 7u * 24u * 3600u) return false;
    seconds = static_cast<unsigned>(value);
    return true;
}

// "feed ACTION [FEED] --key FILE | --keys LIST": everything but the options the
// other commands take.
std::string parseFeedCommand(const QStringList& positional, const QString& key, const QStringList& keys,
                             HostOptions& options) {
    const QString action = positional.size() > 1 ? positional.at(1) : QString();
    const int wanted = action == QLatin1String("keygen") ? 2 : 3;
    if (action == QLatin1String("keygen")) {
        options.feedAction = FeedAction::Keygen;
    } else if (action == QLatin1String("sign")) {
        options.feedAction = FeedAction::Sign;
    } else if (action == QLatin1String("verify")) {
        options.feedAction = FeedAction::Verify;
    } else {
        return "the command 'feed' needs keygen, sign FEED or verify FEED";
    }
    if (positional.size() < wanted) return "'feed " + action.toStdString() + "' needs the feed file";
    if (positional.size() > wanted) return "unexpected argument '" + positional.at(wanted).toStdString() + "'";
    if (wanted == 3) options.feedFile = positional.at(2).toStdString();
    if (options.feedAction == FeedAction::Verify) {
        for (const QString& list : keys) {
            for (const QString& entry : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                options.trustedKeys.push_back(entry.trimmed().toStdString());
            }
        }
        if (options.trustedKeys.empty()) return "'feed verify' needs --keys KEY[,KEY...]";
        if (!key.isEmpty()) return "'feed verify' takes --keys, not --key";
    } else {
        if (key.isEmpty()) return "'feed " + action.toStdString() + "' needs --key FILE";
        if (!keys.isEmpty()) return "'feed " + action.toStdString() + "' takes --key, not --keys";
        options.keyFile = key.toStdString();
    }
    return std::string();
}

// "hold list" | "hold add APP VERSION" | "hold clear APP VERSION".
std::string parseHoldCommand(const QStringList& positional, HostOptions& options) {
    const QString action = positional.size() > 1 ? positional.at(1) : QString();
    if (action == QLatin1String("list")) {
        options.holdAction = HoldAction::List;
        if (positional.size() > 2) return "unexpected argument '" + positional.at(2).toStdString() + "'";
        return std::string();
    }
    if (action == QLatin1String("add")) {
        options.holdAction = HoldAction::Add;
    } else if (action == QLatin1String("clear")) {
        options.holdAction = HoldAction::Clear;
    } else {
        return "the command 'hold' needs list, add APP VERSION or clear APP VERSION";
    }
    if (positional.size() != 4) return "'hold " + action.toStdString() + "' needs an application id and a version";
    const std::string id = positional.at(2).toStdString();
    if (!UUId::checkValid(id)) return "'" + id + "' is not an application id (a UUID)";
    bool ok = false;
    const qulonglong version = positional.at(3).toULongLong(&ok);
    if (!ok || version > 4294967295ull || positional.at(3).startsWith(QLatin1Char('+'))) {
        return "'" + positional.at(3).toStdString() + "' is not a version (a whole number from 0 to 4294967295)";
    }
    options.holdApplication = UUId(id).getValue();
    options.holdVersion = static_cast<uint32_t>(version);
    return std::string();
}

}  // namespace

ParsedCommandLine parseCommandLine(const QStringList& arguments) {
    ParsedCommandLine result;
    HostOptions& options = result.options;

    QCommandLineParser parser;
    const QCommandLineOption configOption(QStringList{"c", "config"}, "", "file");
    const QCommandLineOption pluginOption(QStringList{"plugin"}, "", "path");
    const QCommandLineOption appOption(QStringList{"a", "app"}, "", "id");
    const QCommandLineOption timeoutOption(QStringList{"timeout"}, "", "seconds");
    const QCommandLineOption verboseOption(QStringList{"v", "verbose"});
    const QCommandLineOption helpOption(QStringList{"h", "help"});
    const QCommandLineOption versionOption(QStringList{"version"});
    const QCommandLineOption keyOption(QStringList{"key"}, "", "file");
    const QCommandLineOption keysOption(QStringList{"keys"}, "", "keys");
    const QCommandLineOption jsonOption(QStringList{"json"});
    parser.addOptions({configOption, pluginOption, appOption, timeoutOption, verboseOption, helpOption,
                       versionOption, keyOption, keysOption, jsonOption});

    if (!parser.parse(arguments)) {
        result.error = parser.errorText().toStdString();
        return result;
    }
    options.showHelp = parser.isSet(helpOption);
    options.showVersion = parser.isSet(versionOption);
    if (options.showHelp || options.showVersion) return result;

    for (const QCommandLineOption* single : {&configOption, &pluginOption, &appOption, &timeoutOption, &keyOption}) {
        if (parser.values(*single).size() > 1) {
            result.error = "option --" + single->names().constLast().toStdString() + " given more than once";
            return result;
        }
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        result.error = "no command given (update, status, run, state, hold or feed)";
        return result;
    }
    if (!commandFromName(positional.first(), options.command)) {
        result.error = "unknown command '" + positional.first().toStdString() + "'";
        return result;
    }
    if (options.command == Command::Feed) {
        for (const QCommandLineOption* other : {&configOption, &pluginOption, &appOption, &timeoutOption, &jsonOption}) {
            if (parser.isSet(*other)) {
                result.error = "the command 'feed' takes no --" + other->names().constLast().toStdString();
                return result;
            }
        }
        result.error =
            parseFeedCommand(positional, parser.value(keyOption), parser.values(keysOption), options);
        return result;
    }
    if (parser.isSet(keyOption) || parser.isSet(keysOption)) {
        result.error = "--key and --keys belong to the command 'feed'";
        return result;
    }
    options.json = parser.isSet(jsonOption);
    if (options.json && options.command != Command::Status && options.command != Command::State) {
        result.error = "--json belongs to the commands 'status' and 'state'";
        return result;
    }
    if (options.command == Command::Hold) {
        if (parser.isSet(appOption)) {
            result.error = "the command 'hold' takes the application id as an argument, not --app";
            return result;
        }
        result.error = parseHoldCommand(positional, options);
        if (!result.ok()) return result;
    } else if (positional.size() > 1) {
        result.error = "unexpected argument '" + positional.at(1).toStdString() + "'";
        return result;
    }

    options.verbose = parser.isSet(verboseOption);
    options.pluginPath = parser.value(pluginOption).toStdString();
    if (parser.isSet(pluginOption) && options.pluginPath.empty()) {
        result.error = "--plugin needs a path";
        return result;
    }

    options.configFile = parser.value(configOption).toStdString();
    if (options.configFile.empty()) {
        result.error = "--config FILE is required";
        return result;
    }

    if (parser.isSet(timeoutOption) && !parseTimeout(parser.value(timeoutOption), options.timeoutSeconds)) {
        result.error = "--timeout needs a whole number of seconds from 1 to 604800, not '" +
                       parser.value(timeoutOption).toStdString() + "'";
        return result;
    }

    const bool needsApp = options.command == Command::Update || options.command == Command::Status;
    if (parser.isSet(appOption)) {
        const std::string id = parser.value(appOption).toStdString();
        if (options.command == Command::Run || options.command == Command::Hold) {
            result.error = "the command '" + positional.first().toStdString() + "' takes no --app";
            return result;
        }
        if (!UUId::checkValid(id)) {
            result.error = "--app needs an application id such as 3f0c6a52-8b1d-4c9e-a7f2-5d4e3c2b1a09, not '" +
                           id + "'";
            return result;
        }
        options.applicationId = UUId(id).getValue();
    } else if (needsApp) {
        result.error = "the command '" + positional.first().toStdString() + "' needs --app ID";
        return result;
    }
    return result;
}

std::string usageText() {
    return "Usage: kestrup-host COMMAND --config FILE [options]\n"
           "       kestrup-host hold list | hold add APP VERSION | hold clear APP VERSION --config FILE\n"
           "       kestrup-host feed keygen --key FILE | feed sign FEED --key FILE |\n"
           "                    feed verify FEED --keys KEY[,KEY...]\n"
           "\n"
           "Commands:\n"
           "  update --app ID   check for an update of the application, download it and\n"
           "                    start its installer\n"
           "  status --app ID   ask where the update of the application stands\n"
           "  run               serve update requests on the bus until the inactivity\n"
           "                    timer ends the host, or SIGINT/SIGTERM\n"
           "  state [--app ID]  print the saved workflow state (and the registered\n"
           "                    version of the application) without starting the component\n"
           "  hold list         show the releases on hold (never offered again)\n"
           "  hold add APP VERSION    put a release on hold\n"
           "  hold clear APP VERSION  take a release off hold\n"
           "  feed keygen       make a feed signing key: the secret key FILE (owner-only)\n"
           "                    and the public key FILE.pub\n"
           "  feed sign FEED    write FEED.sig, the signature of FEED by the key FILE\n"
           "  feed verify FEED  check FEED.sig and FEED as a host trusting the keys would\n"
           "                    (each KEY a public key or a public key file)\n"
           "\n"
           "Options:\n"
           "  -c, --config FILE    the host's INI configuration (required)\n"
           "  -a, --app ID         the application id (a UUID) as listed in the registry\n"
           "      --plugin PATH    the plug-in module to load (default: libkestrup.so next\n"
           "                       to the program, in ../lib, or the installed plug-in folder)\n"
           "      --timeout SECS   overall time limit of update and status (default 3600)\n"
           "  -v, --verbose        also write the log to stderr\n"
           "      --json           status, state: print the facts as JSON for scripts\n"
           "  -h, --help           show this text\n"
           "      --version        show the version\n"
           "\n"
           "Exit codes: 0 done (installer started / update available or under way),\n"
           "2 no update available, 3 check failed, 4 download failed, 5 install failed,\n"
           "6 not finished in time, 64 usage or configuration error, 70 host setup error,\n"
           "128+N interrupted by signal N.\n";
}

}  // namespace kestrup_host
