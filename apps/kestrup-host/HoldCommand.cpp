#include "HoldCommand.h"

#include <set>

#include "ExitCodes.h"
#include "HoldList.h"
#include "OutcomePrinter.h"
#include "host/LogLine.h"
#include "host/Logger.h"

namespace kestrup_host {

int runHoldCommand(const HostOptions& options, const std::string& holdListFile, Logger* logger,
                   OutcomePrinter& printer) {
    const kestrup_services::HoldList list(holdListFile);
    std::string error;
    if (options.holdAction == HoldAction::List) {
        std::set<kestrup_services::HeldRelease> held;
        if (list.load(held, error) == kestrup_services::HoldList::Load::Unreadable) {
            printer.problem("the hold list cannot be used: " + error);
            return ExitSetupFailed;
        }
        if (held.empty()) printer.say("No release is on hold.");
        for (const kestrup_services::HeldRelease& release : held) {
            printer.say(release.first + " " + std::to_string(release.second));
        }
        return ExitOk;
    }
    const kestrup_services::HeldRelease release(options.holdApplication, options.holdVersion);
    const std::string name = "version " + std::to_string(release.second) + " of " + release.first;
    const bool add = options.holdAction == HoldAction::Add;
    if (!(add ? list.add(release, error) : list.remove(release, error))) {
        printer.problem("the hold list cannot be changed: " + error);
        return ExitSetupFailed;
    }
    KS_LOG(logger, "KESTRUP_HOST: " + std::string(add ? "Put " : "Took ") + name + (add ? " on hold" : " off hold") +
                       " (hold command)");
    printer.say(add ? "Put " + name + " on hold: it is not offered again."
                    : "Took " + name + " off hold: it is offered again.");
    return ExitOk;
}

}  // namespace kestrup_host
