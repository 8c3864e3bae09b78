// The portable reference kernels: plain loops summing in component order. Every vectorised
// level is tested against these; they are also what a CPU without SSE2 would run.
#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

float dot_f32(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) s += a[j] * b[j];
  return s;
}

float l2_f32(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) {
    const float d = a[j] - b[j];
    s += d * d;
  }
  return s;
}

CosineSums cosine_f32(const float* a, const float* b, size_t n) {
  CosineSums r{0.0f, 0.0f, 0.0f};
  for (size_t j = 0; j < n; ++j) {
    r.dot += a[j] * b[j];
    r.norm_a += a[j] * a[j];
    r.norm_b += b[j] * b[j];
  }
  return r;
}

float norm_sq_f32(const float* a, size_t n) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) s += a[j] * a[j];
  return s;
}

float dot_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) s += q[j] * (min + scale * static_cast<float>(codes[j]));
  return s;
}

float l2_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  float s = 0.0f;
  for (size_t j = 0; j < n; ++j) {
    const float d = q[j] - (min + scale * static_cast<float>(codes[j]));
    s += d * d;
  }
  return s;
}

AsymCosineSums cosine_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  AsymCosineSums r{0.0f, 0.0f};
  for (size_t j = 0; j < n; ++j) {
    const float v = min + scale * static_cast<float>(codes[j]);
    r.dot += q[j] * v;
    r.norm_v += v * v;
  }
  return r;
}

void dequantize_u8(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  for (size_t j = 0; j < n; ++j) out[j] = min + scale * static_cast<float>(codes[j]);
}

void l2_to_transposed(const float* x, const float* points_t, size_t dim, size_t count, float* out) {
  for (size_t c = 0; c < count; ++c) out[c] = 0.0f;
  for (size_t j = 0; j < dim; ++j) {
    const float xj = x[j];
    const float* row = points_t + j * count;
    for (size_t c = 0; c < count; ++c) {
      const float d = xj - row[c];
      out[c] += d * d;
    }
  }
}

}  // namespace

extern const KernelTable SCALAR_KERNELS = {
    SimdLevel::Scalar, "scalar",      dot_f32,          l2_f32,
    cosine_f32,        norm_sq_f32,   dot_u8,           l2_u8,
    cosine_u8,         dequantize_u8, l2_to_transposed,
};

}  // namespace tarnwell_core::simd
