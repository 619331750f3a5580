#pragma once
// The interface of the transfer module: the part of the services that needs the
// network and crypto stack (libcurl, libcrypto). A host that wants to stay lean
// until the first transfer loads the module at run time and reaches it only
// through this interface, which the module's one factory function returns.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BackendClient.h"
#include "DownloadService.h"
#include "bus/IMessageSink.h"

class Logger;
class MessageDispatcher;

namespace kestrup_services {

// A service on the bus that its owner starts and stops (see DownloadService and
// BackendClient for what start and stop promise).
class BusService : public IMessageSink {
public:
    virtual bool start() = 0;
    virtual void stop() = 0;
};

// The download service, with what the host does besides serving its topic.
class DownloadBusService : public BusService {
public:
    // DownloadService::removeLeftovers.
    virtual void removeLeftovers(const std::set<std::string>& keepSessions, const std::vector<std::string>& folders) = 0;
};

class TransferModule {
public:
    virtual ~TransferModule() = default;
    // `bus` and `logger` are not owned and must outlive the service.
    virtual std::unique_ptr<DownloadBusService> createDownloadService(const DownloadServiceOptions& options,
                                                                      MessageDispatcher* bus, Logger* logger) = 0;
    virtual std::unique_ptr<BusService> createBackendClient(const BackendClientOptions& options, MessageDispatcher* bus,
                                                            Logger* logger) = 0;
    // ::postHealthReport.
    virtual bool postHealthReport(const BackendClientOptions& options, const ReleaseHealthReport& report,
                                  std::string& error) = 0;
};

}  // namespace kestrup_services

// The factory function's name, and its type: the module's single instance, which
// lives as long as the process.
#define KESTRUP_TRANSFER_MODULE_FACTORY "kestrup_transfer_module"
typedef kestrup_services::TransferModule* (*KestrupTransferModuleFactory)();
