// Decodes an event written with EventWriteTransfer from its self-describing TraceLogging
// metadata: the provider metadata (or the provider traits), the event metadata and the payload.
#pragma once

#include "platform/simulated/Host.h"
#include "simulator/Machine.h"

namespace vesk::sim {

TraceEvent DecodeTraceEvent(const platform::RawTraceEvent& raw);

}  // namespace vesk::sim
