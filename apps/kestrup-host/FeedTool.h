#pragma once
// The publisher's side of signed feeds: "kestrup-host feed keygen|sign|verify".
// verify runs the checks a host trusting the given keys runs (signature, serial
// and times present, fresh now, every installer pinned), except the comparison
// with a serial seen before, which only a host has.
#include "CommandLine.h"
#include "OutcomePrinter.h"

namespace kestrup_host {

// Exit codes: 0 done; 3 the feed is refused or cannot be signed; 64 a key file or
// the feed cannot be read, or a key is malformed; 70 a file cannot be written.
int runFeedCommand(const HostOptions& options, OutcomePrinter& printer);

}  // namespace kestrup_host

// The feed tool lives in a module of its own (it needs the transfer stack, which
// the other commands load only when they transfer); kestrup-host calls it through
// this function, which prints to the standard streams.
#define KESTRUP_FEED_TOOL_FUNCTION "kestrup_feed_command"
typedef int (*KestrupFeedToolFunction)(const kestrup_host::HostOptions& options);

namespace kestrup_host {

}  // namespace kestrup_host
