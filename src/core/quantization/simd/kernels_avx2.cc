// AVX2 + FMA kernels: 32 components per iteration in four 8-lane accumulators, then blocks of 8,
// one block of 4, then single components. Codes are widened byte -> 32-bit -> f32 in registers
// and reconstructed with one fused multiply-add (min + scale * code) per lane.
// Compiled with -mavx2 -mfma: everything here stays file-local and uses intrinsics only, so no
// inline function shared with other files is ever emitted with AVX instructions.
#include <immintrin.h>

#include <cstring>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

inline float hsum128(__m128 v) {
  __m128 s = _mm_add_ps(v, _mm_movehl_ps(v, v));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

inline __m128 fold(__m256 v) {
  return _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
}

inline __m256 add4(const __m256* acc) {
  return _mm256_add_ps(_mm256_add_ps(acc[0], acc[1]), _mm256_add_ps(acc[2], acc[3]));
}

inline __m256 dequant8(const uint8_t* p, __m256 min, __m256 scale) {
  const __m256i c = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  return _mm256_fmadd_ps(scale, _mm256_cvtepi32_ps(c), min);
}

inline __m128 dequant4(const uint8_t* p, __m128 min, __m128 scale) {
  int32_t raw;
  std::memcpy(&raw, p, 4);
  const __m128i c = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(raw));
  return _mm_fmadd_ps(scale, _mm_cvtepi32_ps(c), min);
}

inline float dequant1(uint8_t c, float min, float scale) {
  return min + scale * static_cast<float>(c);
}

#define TW_ZERO4(a) \
  __m256 a[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()}

float dot_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      acc[k] =
          _mm256_fmadd_ps(_mm256_loadu_ps(a + j + 8 * k), _mm256_loadu_ps(b + j + 8 * k), acc[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    acc[0] = _mm256_fmadd_ps(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j), acc[0]);
  }
  __m128 s = fold(add4(acc));
  if (j + 4 <= n) {
    s = _mm_fmadd_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j), s);
    j += 4;
  }
  float r = hsum128(s);
  for (; j < n; ++j) r += a[j] * b[j];
  return r;
}

float l2_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 d =
          _mm256_sub_ps(_mm256_loadu_ps(a + j + 8 * k), _mm256_loadu_ps(b + j + 8 * k));
      acc[k] = _mm256_fmadd_ps(d, d, acc[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j));
    acc[0] = _mm256_fmadd_ps(d, d, acc[0]);
  }
  __m128 s = fold(add4(acc));
  if (j + 4 <= n) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j));
    s = _mm_fmadd_ps(d, d, s);
    j += 4;
  }
  float r = hsum128(s);
  for (; j < n; ++j) {
    const float d = a[j] - b[j];
    r += d * d;
  }
  return r;
}

CosineSums cosine_f32(const float* a, const float* b, size_t n) {
  TW_ZERO4(dot);
  TW_ZERO4(na);
  TW_ZERO4(nb);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 x = _mm256_loadu_ps(a + j + 8 * k);
      const __m256 y = _mm256_loadu_ps(b + j + 8 * k);
      dot[k] = _mm256_fmadd_ps(x, y, dot[k]);
      na[k] = _mm256_fmadd_ps(x, x, na[k]);
      nb[k] = _mm256_fmadd_ps(y, y, nb[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    const __m256 x = _mm256_loadu_ps(a + j);
    const __m256 y = _mm256_loadu_ps(b + j);
    dot[0] = _mm256_fmadd_ps(x, y, dot[0]);
    na[0] = _mm256_fmadd_ps(x, x, na[0]);
    nb[0] = _mm256_fmadd_ps(y, y, nb[0]);
  }
  __m128 sd = fold(add4(dot)), sa = fold(add4(na)), sb = fold(add4(nb));
  if (j + 4 <= n) {
    const __m128 x = _mm_loadu_ps(a + j);
    const __m128 y = _mm_loadu_ps(b + j);
    sd = _mm_fmadd_ps(x, y, sd);
    sa = _mm_fmadd_ps(x, x, sa);
    sb = _mm_fmadd_ps(y, y, sb);
    j += 4;
  }
  CosineSums r{hsum128(sd), hsum128(sa), hsum128(sb)};
  for (; j < n; ++j) {
    r.dot += a[j] * b[j];
    r.norm_a += a[j] * a[j];
    r.norm_b += b[j] * b[j];
  }
  return r;
}

float norm_sq_f32(const float* a, size_t n) {
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 x = _mm256_loadu_ps(a + j + 8 * k);
      acc[k] = _mm256_fmadd_ps(x, x, acc[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    const __m256 x = _mm256_loadu_ps(a + j);
    acc[0] = _mm256_fmadd_ps(x, x, acc[0]);
  }
  __m128 s = fold(add4(acc));
  if (j + 4 <= n) {
    const __m128 x = _mm_loadu_ps(a + j);
    s = _mm_fmadd_ps(x, x, s);
    j += 4;
  }
  float r = hsum128(s);
  for (; j < n; ++j) r += a[j] * a[j];
  return r;
}

float dot_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 v = dequant8(codes + j + 8 * k, vmin, vscale);
      acc[k] = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 8 * k), v, acc[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    acc[0] = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), dequant8(codes + j, vmin, vscale), acc[0]);
  }
  __m128 s = fold(add4(acc));
  if (j + 4 <= n) {
    const __m128 v =
        dequant4(codes + j, _mm256_castps256_ps128(vmin), _mm256_castps256_ps128(vscale));
    s = _mm_fmadd_ps(_mm_loadu_ps(q + j), v, s);
    j += 4;
  }
  float r = hsum128(s);
  for (; j < n; ++j) r += q[j] * dequant1(codes[j], min, scale);
  return r;
}

float l2_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  TW_ZERO4(acc);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 v = dequant8(codes + j + 8 * k, vmin, vscale);
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + j + 8 * k), v);
      acc[k] = _mm256_fmadd_ps(d, d, acc[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + j), dequant8(codes + j, vmin, vscale));
    acc[0] = _mm256_fmadd_ps(d, d, acc[0]);
  }
  __m128 s = fold(add4(acc));
  if (j + 4 <= n) {
    const __m128 v =
        dequant4(codes + j, _mm256_castps256_ps128(vmin), _mm256_castps256_ps128(vscale));
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(q + j), v);
    s = _mm_fmadd_ps(d, d, s);
    j += 4;
  }
  float r = hsum128(s);
  for (; j < n; ++j) {
    const float d = q[j] - dequant1(codes[j], min, scale);
    r += d * d;
  }
  return r;
}

AsymCosineSums cosine_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  TW_ZERO4(dot);
  TW_ZERO4(nv);
  size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 v = dequant8(codes + j + 8 * k, vmin, vscale);
      dot[k] = _mm256_fmadd_ps(_mm256_loadu_ps(q + j + 8 * k), v, dot[k]);
      nv[k] = _mm256_fmadd_ps(v, v, nv[k]);
    }
  }
  for (; j + 8 <= n; j += 8) {
    const __m256 v = dequant8(codes + j, vmin, vscale);
    dot[0] = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), v, dot[0]);
    nv[0] = _mm256_fmadd_ps(v, v, nv[0]);
  }
  __m128 sd = fold(add4(dot)), sv = fold(add4(nv));
  if (j + 4 <= n) {
    const __m128 v =
        dequant4(codes + j, _mm256_castps256_ps128(vmin), _mm256_castps256_ps128(vscale));
    sd = _mm_fmadd_ps(_mm_loadu_ps(q + j), v, sd);
    sv = _mm_fmadd_ps(v, v, sv);
    j += 4;
  }
  AsymCosineSums r{hsum128(sd), hsum128(sv)};
  for (; j < n; ++j) {
    const float v = dequant1(codes[j], min, scale);
    r.dot += q[j] * v;
    r.norm_v += v * v;
  }
  return r;
}

void dequantize_u8(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm256_storeu_ps(out + j, dequant8(codes + j, vmin, vscale));
  // The same blocks as the distance kernels, so every component has the same value.
  if (j + 4 <= n) {
    _mm_storeu_ps(
        out + j, dequant4(codes + j, _mm256_castps256_ps128(vmin), _mm256_castps256_ps128(vscale)));
    j += 4;
  }
  for (; j < n; ++j) out[j] = dequant1(codes[j], min, scale);
}

void l2_to_transposed(const float* x, const float* points_t, size_t dim, size_t count, float* out) {
  size_t c = 0;
  // 32 points at a time stay in registers across all components.
  for (; c + 32 <= count; c += 32) {
    TW_ZERO4(acc);
    for (size_t j = 0; j < dim; ++j) {
      const __m256 xj = _mm256_set1_ps(x[j]);
      const float* row = points_t + j * count + c;
      for (int k = 0; k < 4; ++k) {
        const __m256 d = _mm256_sub_ps(xj, _mm256_loadu_ps(row + 8 * k));
        acc[k] = _mm256_fmadd_ps(d, d, acc[k]);
      }
    }
    for (int k = 0; k < 4; ++k) _mm256_storeu_ps(out + c + 8 * k, acc[k]);
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

extern const KernelTable AVX2_KERNELS = {
    SimdLevel::Avx2, "avx2", dot_f32,   l2_f32,        cosine_f32,       norm_sq_f32,
    dot_u8,          l2_u8,  cosine_u8, dequantize_u8, l2_to_transposed,
};

}  // namespace tarnwell_core::simd
