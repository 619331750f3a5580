#pragma once
// Every payload class of the shared vocabulary.
#include "payloads/ISerializable.h"
#include "payloads/Manifest.h"
#include "payloads/OtherPayloads.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"
