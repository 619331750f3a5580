#pragma once
// "kestrup-host hold list | add APP VERSION | clear APP VERSION": shows and changes
// the list of releases that are never offered again.
#include <string>

#include "CommandLine.h"

class Logger;

namespace kestrup_host {

class OutcomePrinter;

// Returns the exit code: 0 done, 70 when the list cannot be read or written.
int runHoldCommand(const HostOptions& options, const std::string& holdListFile, Logger* logger,
                   OutcomePrinter& printer);

}  // namespace kestrup_host
