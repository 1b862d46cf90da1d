#pragma once
#include <cstdint>

// A seed for a thread object's own random generator (every pump, line, I/O thread and automater
// has one; no generator is shared between threads). Seeds differ per call even for objects made
// within the same clock tick: they mix the system's random device, the steady clock, a
// process-wide counter and `salt` (callers pass something of their own, such as the address).
uint32_t RandomSeed(uint32_t salt);
