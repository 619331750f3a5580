#include "HostFacts.h"

#include <QJsonDocument>

#include "OutcomePrinter.h"

namespace kestrup_host {
namespace {

const int32_t kWorkflowDownloaded = 4;

QString localTimeText(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

}  // namespace

HostFacts gatherFacts(const HostSettings& settings, const WorkflowSnapshot& snapshot) {
    HostFacts facts;
    facts.snapshot = snapshot;
    facts.hasFailure =
        LastFailure(settings.dataFolder + "/last-failure.json").load(facts.failure, facts.failureProblem);
    facts.hasWindow = settings.afterUpdate.hasInstallWindow;
    facts.window = settings.afterUpdate.installWindow;
    return facts;
}

std::string windowWait(const HostFacts& facts, const QDateTime& now) {
    if (!facts.hasWindow || facts.snapshot.state != kWorkflowDownloaded) return std::string();
    const QDateTime opening = facts.window.nextOpening(now);
    if (opening <= now) return std::string();
    return "The downloaded installer waits for the install window " + facts.window.text() +
           " (local time): kestrup-host run starts it at " + localTimeText(opening).toStdString() + ".";
}

void printFacts(const HostFacts& facts, const QDateTime& now, OutcomePrinter& printer) {
    if (facts.hasFailure) printer.say("Last failure (" + facts.failure.time + "): " + facts.failure.text);
    if (!facts.failureProblem.empty()) printer.problem("the last failure cannot be shown: " + facts.failureProblem);
    const std::string wait = windowWait(facts, now);
    if (!wait.empty()) printer.say(wait);
}

QJsonObject factsJson(const HostFacts& facts, const QDateTime& now) {
    const WorkflowSnapshot& snapshot = facts.snapshot;
    QJsonObject workflow;
    workflow.insert("state", snapshot.state);
    workflow.insert("stateName", QString::fromStdString(workflowStateName(snapshot.state)));
    workflow.insert("stored", snapshot.stateStored);
    if (!snapshot.serviceOfferingId.empty()) {
        workflow.insert("application", QString::fromStdString(snapshot.serviceOfferingId));
    }
    if (snapshot.versionStored) workflow.insert("foundAtVersion", static_cast<qint64>(snapshot.serviceOfferingVersion));
    if (!snapshot.installerFilename.empty()) {
        workflow.insert("installer", QString::fromStdString(snapshot.installerFilename));
    }
    QJsonObject object;
    object.insert("workflow", workflow);
    if (facts.hasFailure) {
        QJsonObject failure;
        failure.insert("time", QString::fromStdString(facts.failure.time));
        failure.insert("text", QString::fromStdString(facts.failure.text));
        object.insert("lastFailure", failure);
    } else {
        object.insert("lastFailure", QJsonValue::Null);
    }
    if (facts.hasWindow) {
        const QDateTime opening = facts.window.nextOpening(now);
        QJsonObject window;
        window.insert("window", QString::fromStdString(facts.window.text()));
        window.insert("open", opening <= now);
        window.insert("nextOpening", opening.toString(Qt::ISODate));
        window.insert("installerWaits", !windowWait(facts, now).empty());
        object.insert("installWindow", window);
    }
    return object;
}

std::string renderJson(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace kestrup_host
