#include "FeedTool.h"

#include <chrono>
#include <iostream>

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include "Export.h"
#include "ExitCodes.h"
#include "FeedGuard.h"
#include "FeedSignature.h"
#include "FeedTrustPolicy.h"
#include "UpdateFeed.h"
#include "host/Logger.h"

namespace ks = kestrup_services;

namespace kestrup_host {
namespace {

// The guard's log lines are for a host's log; here the printed result says it all.
class DiscardingLogger : public Logger {
public:
    void log(const std::string&) override {}
};

int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool readWholeFile(const std::string& path, std::string& content, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = "cannot read " + path + ": " + file.errorString().toStdString();
        return false;
    }
    content = file.readAll().toStdString();
    return true;
}

bool writeFile(const std::string& path, const std::string& content, bool secret, std::string& error) {
    QFile file(QString::fromStdString(path));
    const QFileDevice::Permissions permissions =
        secret ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
               : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    // NewOnly: a key is never written over an existing file (or through a link).
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, permissions) ||
        file.write(content.data(), static_cast<qint64>(content.size())) != static_cast<qint64>(content.size()) ||
        !file.flush()) {
        error = "cannot write " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

std::string fileUrl(const std::string& path) {
    return QUrl::fromLocalFile(QFileInfo(QString::fromStdString(path)).absoluteFilePath())
        .toString(QUrl::FullyEncoded)
        .toStdString();
}

// The feed's content rules for a signed feed, at this moment; "" when it passes.
std::string judgeContent(const std::string& path, const std::string& bytes, ks::FeedStamp& stamp) {
    ks::UpdateFeed feed;
    std::string error;
    if (!ks::parseUpdateFeed(bytes, fileUrl(path), feed, error)) return "it is malformed: " + error;
    return ks::judgeSignedFeed(feed, std::string(), nullptr, nowSeconds(), stamp);
}

std::string describeStamp(const ks::FeedStamp& stamp) {
    return "serial " + std::to_string(stamp.serial) + ", issued " + ks::formatFeedTime(stamp.issued) +
           ", expires " + ks::formatFeedTime(stamp.expires);
}

int keygen(const HostOptions& options, OutcomePrinter& printer) {
    ks::FeedPublicKey publicKey;
    ks::FeedSecretKey secretKey;
    if (!ks::generateFeedKeyPair(publicKey, secretKey)) {
        printer.problem("no random source for a new key");
        return ExitSetupFailed;
    }
    const std::string publicFile = options.keyFile + ".pub";
    std::string error;
    if (QFileInfo::exists(QString::fromStdString(publicFile))) {
        printer.problem(publicFile + " exists already; choose another name or remove it");
        return ExitSetupFailed;
    }
    if (!writeFile(options.keyFile,
                   "# kestrup feed signing key " + secretKey.id + " (secret)\n" + ks::formatFeedSecretKey(secretKey) +
                       "\n",
                   true, error) ||
        !writeFile(publicFile,
                   "# kestrup feed public key " + publicKey.id + "\n" + ks::formatFeedPublicKey(publicKey) + "\n",
                   false, error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    printer.say("Wrote the secret key " + options.keyFile + " (keep it private) and the public key " + publicFile +
                ".");
    printer.say("Key id: " + publicKey.id);
    printer.say("Public key, for Host/FeedPublicKeys: " + ks::formatFeedPublicKey(publicKey));
    return ExitOk;
}

int sign(const HostOptions& options, OutcomePrinter& printer) {
    std::string keyText;
    std::string feed;
    std::string error;
    ks::FeedSecretKey key;
    if (!ks::readSmallFile(options.keyFile, keyText, error) || !ks::parseFeedSecretKey(keyText, key, error)) {
        printer.problem("the signing key " + options.keyFile + " is not usable: " + error);
        return ExitUsage;
    }
    if (!readWholeFile(options.feedFile, feed, error)) {
        printer.problem(error);
        return ExitUsage;
    }
    ks::FeedStamp stamp;
    const std::string refusal = judgeContent(options.feedFile, feed, stamp);
    if (!refusal.empty()) {
        printer.problem(options.feedFile + " is not signed, a host would refuse it: " + refusal);
        return ExitCheckFailed;
    }
    const std::string signatureFile = options.feedFile + ".sig";
    QSaveFile out(QString::fromStdString(signatureFile));
    const std::string signature = ks::formatFeedSignature(ks::signFeed(feed, key));
    if (!out.open(QIODevice::WriteOnly) || out.write(signature.data(), static_cast<qint64>(signature.size())) < 0 ||
        !out.commit()) {
        printer.problem("cannot write " + signatureFile + ": " + out.errorString().toStdString());
        return ExitSetupFailed;
    }
    printer.say("Wrote " + signatureFile + ": signed by key " + key.id + "; " + describeStamp(stamp) + ".");
    return ExitOk;
}

int verify(const HostOptions& options, OutcomePrinter& printer) {
    for (const std::string& entry : options.trustedKeys) {
        ks::FeedPublicKey key;
        std::string error;
        if (!ks::loadFeedPublicKey(entry, key, error)) {
            printer.problem(error);
            return ExitUsage;
        }
    }
    std::string feed;
    std::string error;
    if (!readWholeFile(options.feedFile, feed, error)) {
        printer.problem(error);
        return ExitUsage;
    }
    DiscardingLogger logger;
    const ks::FeedGuard guard(ks::FeedTrustOptions{options.trustedKeys, std::string()}, &logger);
    const ks::FeedGuard::Fetch readSignature = [](const std::string& path, uint64_t, std::string& body,
                                                  std::string& readError) {
        return ks::readSmallFile(path, body, readError);
    };
    ks::FeedStamp stamp;
    std::string refusal;
    if (!guard.checkSignature(options.feedFile, feed, readSignature, refusal)) {
        printer.problem(options.feedFile + " is refused: " + refusal);
        return ExitCheckFailed;
    }
    refusal = judgeContent(options.feedFile, feed, stamp);
    if (!refusal.empty()) {
        printer.problem(options.feedFile + " is refused: " + refusal);
        return ExitCheckFailed;
    }
    printer.say(options.feedFile + ": good signature by a trusted key; " + describeStamp(stamp) + ".");
    return ExitOk;
}

}  // namespace

int runFeedCommand(const HostOptions& options, OutcomePrinter& printer) {
    switch (options.feedAction) {
    case FeedAction::Keygen:
        return keygen(options, printer);
    case FeedAction::Sign:
        return sign(options, printer);
    case FeedAction::Verify:
        return verify(options, printer);
    }
    return ExitUsage;
}

}  // namespace kestrup_host

extern "C" KESTRUP_DLL_EXPORT int kestrup_feed_command(const kestrup_host::HostOptions& options) {
    kestrup_host::OutcomePrinter printer(std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
    return kestrup_host::runFeedCommand(options, printer);
}
