#include "payloads/ISerializable.h"

ISerializable::~ISerializable() = default;
