// AVX-512 (F, BW, VL, DQ) kernels: 64 components per iteration in four 16-lane accumulators,
// then blocks of 16, then one masked block for the tail, so no component is handled singly.
// Masked-off lanes are loaded and reconstructed as zero, so they add nothing to any sum.
// Compiled with AVX-512 flags: everything stays file-local and uses intrinsics only.
// g++ 12's AVX-512 headers seed results with _mm*_undefined_*(), which its own flow analysis
// reports as uninitialized use (GCC PR 105593); the intrinsics are correct.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

inline __mmask16 tail_mask(size_t rem) { return static_cast<__mmask16>((1u << rem) - 1u); }

inline __m512 add4(const __m512* acc) {
  return _mm512_add_ps(_mm512_add_ps(acc[0], acc[1]), _mm512_add_ps(acc[2], acc[3]));
}

inline __m512 dequant16(const uint8_t* p, __m512 min, __m512 scale) {
  const __m512i c = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  return _mm512_fmadd_ps(scale, _mm512_cvtepi32_ps(c), min);
}

// Lanes at or beyond `rem` come out as zero (not as `min`).
inline __m512 dequant_tail(const uint8_t* p, __mmask16 m, __m512 min, __m512 scale) {
  const __m512i c = _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(m, p));
  return _mm512_maskz_fmadd_ps(m, scale, _mm512_cvtepi32_ps(c), min);
}

#define TW_ZERO4(a) \
  __m512 a[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()}

float dot_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      acc[k] =
          _mm512_fmadd_ps(_mm512_loadu_ps(a + j + 16 * k), _mm512_loadu_ps(b + j + 16 * k), acc[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    acc[0] = _mm512_fmadd_ps(_mm512_loadu_ps(a + j), _mm512_loadu_ps(b + j), acc[0]);
  }
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    acc[1] =
        _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, a + j), _mm512_maskz_loadu_ps(m, b + j), acc[1]);
  }
  return _mm512_reduce_add_ps(add4(acc));
}

float l2_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 d =
          _mm512_sub_ps(_mm512_loadu_ps(a + j + 16 * k), _mm512_loadu_ps(b + j + 16 * k));
      acc[k] = _mm512_fmadd_ps(d, d, acc[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + j), _mm512_loadu_ps(b + j));
    acc[0] = _mm512_fmadd_ps(d, d, acc[0]);
  }
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    const __m512 d =
        _mm512_sub_ps(_mm512_maskz_loadu_ps(m, a + j), _mm512_maskz_loadu_ps(m, b + j));
    acc[1] = _mm512_fmadd_ps(d, d, acc[1]);
  }
  return _mm512_reduce_add_ps(add4(acc));
}

CosineSums cosine_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(dot);
  TW_ZERO4(na);
  TW_ZERO4(nb);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 x = _mm512_loadu_ps(a + j + 16 * k);
      const __m512 y = _mm512_loadu_ps(b + j + 16 * k);
      dot[k] = _mm512_fmadd_ps(x, y, dot[k]);
      na[k] = _mm512_fmadd_ps(x, x, na[k]);
      nb[k] = _mm512_fmadd_ps(y, y, nb[k]);
    }
  }
  for (; j < n; j += 16) {
    const __mmask16 m = n - j >= 16 ? static_cast<__mmask16>(0xFFFF) : tail_mask(n - j);
    const __m512 x = _mm512_maskz_loadu_ps(m, a + j);
    const __m512 y = _mm512_maskz_loadu_ps(m, b + j);
    dot[0] = _mm512_fmadd_ps(x, y, dot[0]);
    na[0] = _mm512_fmadd_ps(x, x, na[0]);
    nb[0] = _mm512_fmadd_ps(y, y, nb[0]);
  }
  return CosineSums{_mm512_reduce_add_ps(add4(dot)), _mm512_reduce_add_ps(add4(na)),
                    _mm512_reduce_add_ps(add4(nb))};
}

float norm_sq_f32(const float* a, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 x = _mm512_loadu_ps(a + j + 16 * k);
      acc[k] = _mm512_fmadd_ps(x, x, acc[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    const __m512 x = _mm512_loadu_ps(a + j);
    acc[0] = _mm512_fmadd_ps(x, x, acc[0]);
  }
  // The same blocks and accumulators as cosine_u8's norm, so cached norms match it.
  if (j < n) {
    const __m512 x = _mm512_maskz_loadu_ps(tail_mask(n - j), a + j);
    acc[1] = _mm512_fmadd_ps(x, x, acc[1]);
  }
  return _mm512_reduce_add_ps(add4(acc));
}

float dot_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m512 vmin = _mm512_set1_ps(min);
  const __m512 vscale = _mm512_set1_ps(scale);
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 v = dequant16(codes + j + 16 * k, vmin, vscale);
      acc[k] = _mm512_fmadd_ps(_mm512_loadu_ps(q + j + 16 * k), v, acc[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    acc[0] = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), dequant16(codes + j, vmin, vscale), acc[0]);
  }
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    const __m512 v = dequant_tail(codes + j, m, vmin, vscale);
    acc[1] = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, q + j), v, acc[1]);
  }
  return _mm512_reduce_add_ps(add4(acc));
}

float l2_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m512 vmin = _mm512_set1_ps(min);
  const __m512 vscale = _mm512_set1_ps(scale);
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 v = dequant16(codes + j + 16 * k, vmin, vscale);
      const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(q + j + 16 * k), v);
      acc[k] = _mm512_fmadd_ps(d, d, acc[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(q + j), dequant16(codes + j, vmin, vscale));
    acc[0] = _mm512_fmadd_ps(d, d, acc[0]);
  }
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    const __m512 d =
        _mm512_sub_ps(_mm512_maskz_loadu_ps(m, q + j), dequant_tail(codes + j, m, vmin, vscale));
    acc[1] = _mm512_fmadd_ps(d, d, acc[1]);
  }
  return _mm512_reduce_add_ps(add4(acc));
}

AsymCosineSums cosine_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m512 vmin = _mm512_set1_ps(min);
  const __m512 vscale = _mm512_set1_ps(scale);
  TW_ZERO4(dot);
  TW_ZERO4(nv);
  size_t j = 0;
  for (; j + 64 <= n; j += 64) {
    for (int k = 0; k < 4; ++k) {
      const __m512 v = dequant16(codes + j + 16 * k, vmin, vscale);
      dot[k] = _mm512_fmadd_ps(_mm512_loadu_ps(q + j + 16 * k), v, dot[k]);
      nv[k] = _mm512_fmadd_ps(v, v, nv[k]);
    }
  }
  for (; j + 16 <= n; j += 16) {
    const __m512 v = dequant16(codes + j, vmin, vscale);
    dot[0] = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), v, dot[0]);
    nv[0] = _mm512_fmadd_ps(v, v, nv[0]);
  }
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    const __m512 v = dequant_tail(codes + j, m, vmin, vscale);
    dot[1] = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(m, q + j), v, dot[1]);
    nv[1] = _mm512_fmadd_ps(v, v, nv[1]);
  }
  return AsymCosineSums{_mm512_reduce_add_ps(add4(dot)), _mm512_reduce_add_ps(add4(nv))};
}

void dequantize_u8(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  const __m512 vmin = _mm512_set1_ps(min);
  const __m512 vscale = _mm512_set1_ps(scale);
  size_t j = 0;
  for (; j + 16 <= n; j += 16) _mm512_storeu_ps(out + j, dequant16(codes + j, vmin, vscale));
  if (j < n) {
    const __mmask16 m = tail_mask(n - j);
    _mm512_mask_storeu_ps(out + j, m, dequant_tail(codes + j, m, vmin, vscale));
  }
}

void l2_to_transposed(const float* x, const float* points_t, size_t dim, size_t count, float* out) {
  size_t c = 0;
  // 64 points at a time stay in registers across all components.
  for (; c + 64 <= count; c += 64) {
    TW_ZERO4(acc);
    for (size_t j = 0; j < dim; ++j) {
      const __m512 xj = _mm512_set1_ps(x[j]);
      const float* row = points_t + j * count + c;
      for (int k = 0; k < 4; ++k) {
        const __m512 d = _mm512_sub_ps(xj, _mm512_loadu_ps(row + 16 * k));
        acc[k] = _mm512_fmadd_ps(d, d, acc[k]);
      }
    }
    for (int k = 0; k < 4; ++k) _mm512_storeu_ps(out + c + 16 * k, acc[k]);
  }
  for (; c < count; ++c) {
    float s = 0.0f;
    for (size_t j = 0; j < dim; ++j) {
      const float d = x[j] - points_t[j * count + c];
      s += d * d;
    }
    out[c] = s;
  }
}

#undef TW_ZERO4

}  // namespace

extern const KernelTable AVX512_KERNELS = {
    SimdLevel::Avx512, "avx512",      dot_f32,          l2_f32,
    cosine_f32,        norm_sq_f32,   dot_u8,           l2_u8,
    cosine_u8,         dequantize_u8, l2_to_transposed,
};

}  // namespace tarnwell_core::simd
