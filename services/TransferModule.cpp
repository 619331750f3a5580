#include "TransferModule.h"

#include "Export.h"

namespace kestrup_services {
namespace {

// Hands the bus service interface on to the concrete service.
template <class Service, class Interface>
class ServiceOnInterface : public Interface {
public:
    template <class Options>
    ServiceOnInterface(const Options& options, MessageDispatcher* bus, Logger* logger)
        : m_service(options, bus, logger) {}
    bool start() override { return m_service.start(); }
    void stop() override { m_service.stop(); }
    void handleMessage(boost::shared_ptr<LocalMessage> message) override { m_service.handleMessage(message); }

protected:
    Service m_service;
};

class DownloadServiceOnInterface : public ServiceOnInterface<DownloadService, DownloadBusService> {
public:
    using ServiceOnInterface::ServiceOnInterface;
    void removeLeftovers(const std::set<std::string>& keepSessions, const std::vector<std::string>& folders) override {
        m_service.removeLeftovers(keepSessions, folders);
    }
};

class TransferModuleImpl : public TransferModule {
public:
    std::unique_ptr<DownloadBusService> createDownloadService(const DownloadServiceOptions& options,
                                                              MessageDispatcher* bus, Logger* logger) override {
        return std::make_unique<DownloadServiceOnInterface>(options, bus, logger);
    }
    std::unique_ptr<BusService> createBackendClient(const BackendClientOptions& options, MessageDispatcher* bus,
                                                    Logger* logger) override {
        return std::make_unique<ServiceOnInterface<BackendClient, BusService>>(options, bus, logger);
    }
    bool postHealthReport(const BackendClientOptions& options, const ReleaseHealthReport& report,
                          std::string& error) override {
        return ::postHealthReport(options, report, error);
    }
};

}  // namespace
}  // namespace kestrup_services

extern "C" KESTRUP_DLL_EXPORT kestrup_services::TransferModule* kestrup_transfer_module() {
    static kestrup_services::TransferModuleImpl module;
    return &module;
}
