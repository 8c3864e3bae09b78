// Scalar quantization of one vector. On x86-64 the code loop runs 16 components at a time with
// SSE2 (part of the baseline), then 4, then singly; elsewhere it is the single-component loop.
// Every path rounds with the same arithmetic, so the codes do not depend on the path taken.
#include "core/quantization/scalar.h"

#if defined(TARNWELL_SIMD_X86)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <limits>

namespace tarnwell_core {
namespace {

constexpr float kMaxFinite = std::numeric_limits<float>::max();
constexpr float kEpsilon = 1.1920929e-7f;  // 2^-23
constexpr uint8_t kConstantCode = 128;
// The largest float below 0.5. Adding it and truncating rounds a non-negative value to nearest
// with halves away from zero; adding 0.5 itself would round 0.49999997 up to 1.
constexpr float kJustBelowHalf = 0.49999997f;

// Rounds inv * (x - min) half away from zero and clamps it into [0, 255]; NaN becomes 0. The
// clamp comes first so the conversion to an integer is always defined; clamping before or after
// rounding gives the same code.
inline uint8_t code_of(float x, float min, float inv) {
  float t = inv * (x - min);
  t = t > 0.0f ? t : 0.0f;
  t = t < 255.0f ? t : 255.0f;
  return static_cast<uint8_t>(static_cast<int>(t + kJustBelowHalf));
}

#if defined(TARNWELL_SIMD_X86)
// Four codes as 32-bit lanes. maxps returns its second operand when the first is NaN, which
// maps NaN to 0 exactly as code_of does.
inline __m128i codes4(const float* x, __m128 min, __m128 inv) {
  __m128 t = _mm_mul_ps(inv, _mm_sub_ps(_mm_loadu_ps(x), min));
  t = _mm_min_ps(_mm_max_ps(t, _mm_setzero_ps()), _mm_set1_ps(255.0f));
  return _mm_cvttps_epi32(_mm_add_ps(t, _mm_set1_ps(kJustBelowHalf)));
}
#endif

}  // namespace

QuantizedVector QuantizedVector::quantize(std::span<const float> vector) {
  QuantizedVector q;
  const size_t n = vector.size();
  if (n == 0) return q;

  // Strict comparisons: a NaN component never replaces a bound.
  float lo = kMaxFinite;
  float hi = -kMaxFinite;
  for (float x : vector) {
    if (x < lo) lo = x;
    if (x > hi) hi = x;
  }
  q.min = lo;
  q.max = hi;
  q.data.resize(n);

  const float range = hi - lo;
  if (!(range >= kEpsilon)) {  // also catches an all-NaN vector, whose range is -inf
    for (uint8_t& c : q.data) c = kConstantCode;
    q.scale = 0.0f;
    return q;
  }
  // Computed separately on purpose: scale is not the reciprocal of inv.
  const float inv = 255.0f / range;
  q.scale = range / 255.0f;

  const float* x = vector.data();
  uint8_t* out = q.data.data();
  size_t j = 0;
#if defined(TARNWELL_SIMD_X86)
  const __m128 vmin = _mm_set1_ps(lo);
  const __m128 vinv = _mm_set1_ps(inv);
  for (; j + 16 <= n; j += 16) {
    __m128i a = _mm_packs_epi32(codes4(x + j, vmin, vinv), codes4(x + j + 4, vmin, vinv));
    __m128i b = _mm_packs_epi32(codes4(x + j + 8, vmin, vinv), codes4(x + j + 12, vmin, vinv));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(a, b));
  }
  for (; j + 4 <= n; j += 4) {
    __m128i c = codes4(x + j, vmin, vinv);
    c = _mm_packus_epi16(_mm_packs_epi32(c, c), c);
    const int packed = _mm_cvtsi128_si32(c);
    for (int b = 0; b < 4; ++b) out[j + b] = static_cast<uint8_t>(packed >> (8 * b));
  }
#endif
  for (; j < n; ++j) out[j] = code_of(x[j], lo, inv);
  return q;
}

}  // namespace tarnwell_core
