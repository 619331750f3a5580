#pragma once
// Library-internal access to the process-wide bus slot.

class MessageDispatcher;

namespace kestrup_bus_detail {

// The installed bus, or null.
MessageDispatcher* installedInstance();
// The built-in bus if it was already created, or null; never creates it.
MessageDispatcher* builtInIfCreated();

// Uninstalls `dispatcher` if it is the installed bus (a bus being destroyed must
// not stay reachable through getInstance()).
void uninstallIfInstalled(MessageDispatcher* dispatcher);

}  // namespace kestrup_bus_detail
