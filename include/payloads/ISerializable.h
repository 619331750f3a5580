#pragma once
#include <string>

#include "Export.h"

// Base of every message payload. Receivers downcast with boost::dynamic_pointer_cast
// and treat a failed cast as their own error case.
class KESTRUP_PAYLOADS_API ISerializable {
public:
    virtual std::string getSerializableType() const = 0;
    virtual ~ISerializable();
};
