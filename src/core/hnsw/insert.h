// Level draws for insertion. A node's level is a pure function of its index's level seed and
// its id: the index holds no generator state, so insertions on several threads need no lock
// for it, and an index given a fixed seed builds the same levels whatever the thread or order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwell_core {

// The level for a uniform draw r in [0, 1): floor(-ln(r) / ln(m)) in double precision,
// saturated to an unsigned value, then capped at max_layers - 1 and at 255 (levels are stored
// in a byte). r = 0 gives the cap; m < 2 or max_layers = 0 never give anything out of range.
size_t level_for_draw(double r, uint64_t m, uint64_t max_layers);

// The uniform draw in [0, 1) for node `id` of an index seeded with `seed`: element `id` of the
// splitmix64 sequence that starts at `seed`.
double level_draw(uint64_t seed, uint64_t id);

// A fresh level seed from the operating system's random source (a new index's default).
uint64_t os_level_seed();

}  // namespace tarnwell_core
