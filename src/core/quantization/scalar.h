// Per-vector scalar quantization: one unsigned byte per component plus the vector's minimum and
// step, so that component j is reconstructed as min + scale * data[j]. quantize() never fails and
// never lets a NaN component become a bound.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwell_core {

struct QuantizedVector {
  std::vector<uint8_t> data;
  float min = 0.0f;
  float max = 0.0f;
  float scale = 0.0f;  // (max - min) / 255, or 0 for a constant vector

  static QuantizedVector quantize(std::span<const float> vector);
};

}  // namespace tarnwell_core
