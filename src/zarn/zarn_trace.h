#pragma once
#include "engine/wire_trace.h"

// The Zarn part of the wire trace: the interpreted text of a block from its raw line bytes (cut
// and unstuffed as the I/O thread does), and why a block got its verdict.
class Zarn_trace_describer : public Trace_describer {
public:
    std::string Text(const Trace_frame& frame) const override;
    std::string Why(const Trace_frame& frame) const override;
};

const Trace_describer& ZarnTraceDescriber();
