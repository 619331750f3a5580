// The command line of kestrup-host: what it accepts, and a clear error for what it
// does not.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLine.h"

namespace {

using kestrup_host::Command;
using kestrup_host::parseCommandLine;
using kestrup_host::ParsedCommandLine;

const char* const kApp = "7D3C9A4E-2F61-4B8A-9C05-5E1F2A3B4C6D";

ParsedCommandLine parse(const std::vector<std::string>& arguments) {
    QStringList list{QStringLiteral("kestrup-host")};
    for (const std::string& argument : arguments) list << QString::fromStdString(argument);
    return parseCommandLine(list);
}

// Every option of a parsed command line in one line, to compare with a table row.
std::string summary(const kestrup_host::HostOptions& o) {
    std::string keys;
    for (const std::string& key : o.trustedKeys) keys += key + ";";
    return std::to_string(static_cast<int>(o.command)) + " app=" + o.applicationId + " config=" + o.configFile +
           " plugin=" + o.pluginPath + " timeout=" + std::to_string(o.timeoutSeconds) + (o.verbose ? " verbose" : "") +
           (o.json ? " json" : "") + " feed=" + std::to_string(static_cast<int>(o.feedAction)) + ":" + o.feedFile +
           " key=" + o.keyFile + " keys=" + keys + " hold=" + std::to_string(static_cast<int>(o.holdAction)) + ":" +
           o.holdApplication + ":" + std::to_string(o.holdVersion) + (o.showHelp ? " help" : "") +
           (o.showVersion ? " version" : "");
}

TEST(CommandLine, ReadsEachCommandWithItsOptions) {
    const std::string app = "7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d";  // kept in canonical form
    const std::string rest = " feed=2: key= keys= hold=0::0";  // what a command leaves at its default
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"update", "--app", kApp, "--config", "host.ini", "--timeout", "90", "-v", "--plugin", "/opt/p.so"},
         "0 app=" + app + " config=host.ini plugin=/opt/p.so timeout=90 verbose" + rest},
        {{"-c", "host.ini", "status", "-a", kApp, "--json"}, "1 app=" + app + " config=host.ini plugin= timeout=3600 json" + rest},
        {{"run", "--config=host.ini"}, "2 app= config=host.ini plugin= timeout=3600" + rest},
        {{"state", "--config", "host.ini"}, "3 app= config=host.ini plugin= timeout=3600" + rest},
        {{"feed", "verify", "f.xml", "--keys", "a.pub, b.pub", "--keys", "K="},
         "4 app= config= plugin= timeout=3600 feed=2:f.xml key= keys=a.pub;b.pub;K=; hold=0::0"},
        {{"feed", "sign", "f.xml", "--key", "k"}, "4 app= config= plugin= timeout=3600 feed=1:f.xml key=k keys= hold=0::0"},
        {{"hold", "add", kApp, "7", "--config", "h.ini"},
         "5 app= config=h.ini plugin= timeout=3600 feed=2: key= keys= hold=1:" + app + ":7"},
        {{"--help"}, "1 app= config= plugin= timeout=3600" + rest + " help"},
        {{"bogus", "--help"}, "1 app= config= plugin= timeout=3600" + rest + " help"},  // help wins over a bad command
        {{"--version"}, "1 app= config= plugin= timeout=3600" + rest + " version"},
    };
    for (const auto& [arguments, expected] : cases) {
        const ParsedCommandLine parsed = parse(arguments);
        EXPECT_TRUE(parsed.ok()) << arguments[0] << ": " << parsed.error;
        EXPECT_EQ(expected, summary(parsed.options)) << arguments[0];
    }
}

TEST(CommandLine, RefusesWhatItCannotRunWithAReason) {
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;  // part of the error
    };
    const std::vector<Case> cases = {
        {{}, "no command"},
        {{"install", "--config", "h.ini"}, "unknown command 'install'"},
        {{"status", "--config", "h.ini"}, "needs --app"},
        {{"update", "--app", kApp}, "--config FILE is required"},
        {{"status", "--config", "h.ini", "--app", "not-a-uuid"}, "not-a-uuid"},
        {{"run", "--config", "h.ini", "--app", kApp}, "takes no --app"},
        {{"status", "extra", "--config", "h.ini", "--app", kApp}, "unexpected argument 'extra'"},
        {{"status", "--config", "h.ini", "--app", kApp, "--timeout", "0"}, "--timeout"},
        {{"status", "--config", "h.ini", "--app", kApp, "--timeout", "soon"}, "soon"},
        {{"status", "--config", "a.ini", "--config", "b.ini", "--app", kApp}, "more than once"},
        {{"status", "--config", "h.ini", "--app", kApp, "--frobnicate"}, "frobnicate"},
        {{"status", "--config", "h.ini", "--app"}, "app"},
        {{"feed"}, "needs keygen, sign FEED or verify FEED"},
        {{"feed", "keygen"}, "needs --key FILE"},
        {{"feed", "keygen", "extra", "--key", "k"}, "unexpected argument 'extra'"},
        {{"feed", "sign", "--key", "k"}, "needs the feed file"},
        {{"feed", "sign", "f.xml", "--keys", "k"}, "needs --key FILE"},
        {{"feed", "verify", "f.xml"}, "needs --keys"},
        {{"feed", "verify", "f.xml", "--keys", "a", "--key", "k"}, "takes --keys, not --key"},
        {{"feed", "verify", "f.xml", "--keys", "a", "--config", "h.ini"}, "takes no --config"},
        {{"status", "--config", "h.ini", "--app", kApp, "--key", "k"}, "belong to the command 'feed'"},
        {{"update", "--config", "h.ini", "--app", kApp, "--json"}, "--json belongs to the commands 'status' and 'state'"},
        {{"hold", "--config", "h.ini"}, "needs list, add APP VERSION or clear APP VERSION"},
        {{"hold", "add", kApp, "--config", "h.ini"}, "needs an application id and a version"},
        {{"hold", "clear", "not-a-uuid", "2", "--config", "h.ini"}, "'not-a-uuid' is not an application id"},
        {{"hold", "list", "--app", kApp, "--config", "h.ini"}, "takes the application id as an argument"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.arguments) line += a + " ";
        const ParsedCommandLine parsed = parse(c.arguments);
        EXPECT_FALSE(parsed.ok()) << line;
        EXPECT_NE(std::string::npos, parsed.error.find(c.reason)) << line << "-> " << parsed.error;
    }
}

}  // namespace
