#pragma once
// The host's way to the transfer module (the download service, the backend
// client's fetches, health reports): loaded from beside the program on first use,
// then kept for the life of the process.
#include <string>

#include "OwnModule.h"
#include "TransferModule.h"

namespace kestrup_host {

// The module's file name, for messages ("libkestrup_services.so").
const char* transferModuleFileName();
// Null with `error` (naming the module file) when it cannot be loaded. Thread-safe.
kestrup_services::TransferModule* transferModule(std::string& error);
// Whether the module file is where it would be loaded from; false with `error`.
bool transferModulePresent(std::string& error);

// Another of our modules, next to the program like the transfer module.
OwnModule& ownModule(const std::string& fileName);

}  // namespace kestrup_host
