// The registry of installed applications, which an installer may rewrite at will.
#include <string>

#include "FuzzInput.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = kestrup_fuzz::ScratchFolder::write("registry.xml", kestrup_fuzz::asText(data, size));
    ServiceOfferingManager registry(path);
    registry.getServiceOfferingEntities();
    ServiceOfferingEntity entity;
    registry.getServiceOfferingEntity(UUId("7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d"), entity);
    return 0;
}
