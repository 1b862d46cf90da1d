#pragma once
#include "engine/wire_trace.h"

// The current-loop part of the wire trace: the interpreted text of a frame and why a frame was
// refused.
class CL_trace_describer : public Trace_describer {
public:
    std::string Text(const Trace_frame& frame) const override;
    std::string Why(const Trace_frame& frame) const override;
};

const Trace_describer& CLTraceDescriber();
