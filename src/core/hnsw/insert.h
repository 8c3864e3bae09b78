// Level draws for insertion. The draw uses a per-thread generator seeded from the operating
// system's random source; levels need not be reproducible, but tests can seed it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwell_core {

// The level for a uniform draw r in [0, 1): floor(-ln(r) / ln(m)) in double precision,
// saturated to an unsigned value, then capped at max_layers - 1 and at 255 (levels are stored
// in a byte). r = 0 gives the cap; m < 2 or max_layers = 0 never give anything out of range.
size_t level_for_draw(double r, uint64_t m, uint64_t max_layers);

// The next uniform draw in [0, 1) of the calling thread's generator.
double next_level_draw();

// Test hook: reseeds the calling thread's generator, making its level draws reproducible.
void seed_level_generator_for_testing(uint64_t seed);

}  // namespace tarnwell_core
