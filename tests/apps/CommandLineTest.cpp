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

TEST(CommandLine, ReadsEachCommandWithItsOptions) {
    ParsedCommandLine update = parse({"update", "--app", kApp, "--config", "host.ini", "--timeout", "90", "-v",
                                      "--plugin", "/opt/p.so"});
    ASSERT_TRUE(update.ok()) << update.error;
    EXPECT_EQ(Command::Update, update.options.command);
    EXPECT_EQ("7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d", update.options.applicationId) << "kept in canonical form";
    EXPECT_EQ("host.ini", update.options.configFile);
    EXPECT_EQ(90u, update.options.timeoutSeconds);
    EXPECT_TRUE(update.options.verbose);
    EXPECT_EQ("/opt/p.so", update.options.pluginPath);

    ParsedCommandLine status = parse({"-c", "host.ini", "status", "-a", kApp});
    ASSERT_TRUE(status.ok()) << status.error;
    EXPECT_EQ(Command::Status, status.options.command);
    EXPECT_EQ(3600u, status.options.timeoutSeconds) << "the default time limit";
    EXPECT_FALSE(status.options.verbose);
    EXPECT_TRUE(status.options.pluginPath.empty());

    ParsedCommandLine run = parse({"run", "--config=host.ini"});
    ASSERT_TRUE(run.ok()) << run.error;
    EXPECT_EQ(Command::Run, run.options.command);

    ParsedCommandLine state = parse({"state", "--config", "host.ini"});
    ASSERT_TRUE(state.ok()) << state.error;
    EXPECT_EQ(Command::State, state.options.command);
    EXPECT_TRUE(state.options.applicationId.empty()) << "--app is optional for state";

    ParsedCommandLine verify = parse({"feed", "verify", "f.xml", "--keys", "a.pub, b.pub", "--keys", "K="});
    ASSERT_TRUE(verify.ok()) << verify.error;
    EXPECT_EQ(Command::Feed, verify.options.command);
    EXPECT_EQ(kestrup_host::FeedAction::Verify, verify.options.feedAction);
    EXPECT_EQ("f.xml", verify.options.feedFile);
    EXPECT_EQ((std::vector<std::string>{"a.pub", "b.pub", "K="}), verify.options.trustedKeys);
    ParsedCommandLine sign = parse({"feed", "sign", "f.xml", "--key", "k"});
    ASSERT_TRUE(sign.ok()) << sign.error;
    EXPECT_EQ(kestrup_host::FeedAction::Sign, sign.options.feedAction);
    EXPECT_EQ("k", sign.options.keyFile);

    EXPECT_TRUE(parse({"--help"}).options.showHelp);
    EXPECT_TRUE(parse({"--version"}).options.showVersion);
    EXPECT_TRUE(parse({"bogus", "--help"}).ok()) << "help wins over a bad command";
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
