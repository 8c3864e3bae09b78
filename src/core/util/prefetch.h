// A hint to start loading the cache line at an address into every cache level, for reading.
// Compiles to the architecture's own prefetch instruction (prefetcht0 on x86-64, prfm pldl1keep
// on AArch64) and to nothing where there is none; it never faults, whatever the address.
#pragma once

namespace tarnwell_core {

inline void prefetch_read(const void* p) { __builtin_prefetch(p, 0, 3); }

}  // namespace tarnwell_core
