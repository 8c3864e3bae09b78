// SSE2 kernels (the x86-64 baseline, so no special compile flags): 16 components per iteration
// in four 4-lane accumulators, then blocks of 4, then single components. Codes are widened
// byte -> 16-bit -> 32-bit -> f32 in registers; without FMA, min + scale * code is a multiply
// and an add.
#include <emmintrin.h>

#include <cstring>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

inline float hsum(__m128 v) {
  __m128 s = _mm_add_ps(v, _mm_movehl_ps(v, v));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

inline float hsum4(__m128 a, __m128 b, __m128 c, __m128 d) {
  return hsum(_mm_add_ps(_mm_add_ps(a, b), _mm_add_ps(c, d)));
}

// The 16 codes at p as four vectors of reconstructed components.
struct Dequant16 {
  __m128 v[4];
  Dequant16(const uint8_t* p, __m128 min, __m128 scale) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i lo = _mm_unpacklo_epi8(c, zero);
    const __m128i hi = _mm_unpackhi_epi8(c, zero);
    const __m128i w[4] = {_mm_unpacklo_epi16(lo, zero), _mm_unpackhi_epi16(lo, zero),
                          _mm_unpacklo_epi16(hi, zero), _mm_unpackhi_epi16(hi, zero)};
    for (int k = 0; k < 4; ++k) v[k] = _mm_add_ps(min, _mm_mul_ps(scale, _mm_cvtepi32_ps(w[k])));
  }
};

inline __m128 dequant4(const uint8_t* p, __m128 min, __m128 scale) {
  int32_t raw;
  std::memcpy(&raw, p, 4);
  const __m128i zero = _mm_setzero_si128();
  const __m128i c = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(raw), zero), zero);
  return _mm_add_ps(min, _mm_mul_ps(scale, _mm_cvtepi32_ps(c)));
}

inline float dequant1(uint8_t c, float min, float scale) {
  return min + scale * static_cast<float>(c);
}

float dot_f32(const float* a, const float* b, size_t n) {
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      acc[k] =
          _mm_add_ps(acc[k], _mm_mul_ps(_mm_loadu_ps(a + j + 4 * k), _mm_loadu_ps(b + j + 4 * k)));
    }
  }
  for (; j + 4 <= n; j += 4) {
    acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j)));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += a[j] * b[j];
  return s;
}

float l2_f32(const float* a, const float* b, size_t n) {
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const __m128 d = _mm_sub_ps(_mm_loadu_ps(a + j + 4 * k), _mm_loadu_ps(b + j + 4 * k));
      acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(d, d));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(a + j), _mm_loadu_ps(b + j));
    acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(d, d));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) {
    const float d = a[j] - b[j];
    s += d * d;
  }
  return s;
}

CosineSums cosine_f32(const float* a, const float* b, size_t n) {
  __m128 dot[4], na[4], nb[4];
  for (int k = 0; k < 4; ++k) dot[k] = na[k] = nb[k] = _mm_setzero_ps();
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const __m128 x = _mm_loadu_ps(a + j + 4 * k);
      const __m128 y = _mm_loadu_ps(b + j + 4 * k);
      dot[k] = _mm_add_ps(dot[k], _mm_mul_ps(x, y));
      na[k] = _mm_add_ps(na[k], _mm_mul_ps(x, x));
      nb[k] = _mm_add_ps(nb[k], _mm_mul_ps(y, y));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 x = _mm_loadu_ps(a + j);
    const __m128 y = _mm_loadu_ps(b + j);
    dot[0] = _mm_add_ps(dot[0], _mm_mul_ps(x, y));
    na[0] = _mm_add_ps(na[0], _mm_mul_ps(x, x));
    nb[0] = _mm_add_ps(nb[0], _mm_mul_ps(y, y));
  }
  CosineSums r{hsum4(dot[0], dot[1], dot[2], dot[3]), hsum4(na[0], na[1], na[2], na[3]),
               hsum4(nb[0], nb[1], nb[2], nb[3])};
  for (; j < n; ++j) {
    r.dot += a[j] * b[j];
    r.norm_a += a[j] * a[j];
    r.norm_b += b[j] * b[j];
  }
  return r;
}

float norm_sq_f32(const float* a, size_t n) {
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const __m128 x = _mm_loadu_ps(a + j + 4 * k);
      acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(x, x));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 x = _mm_loadu_ps(a + j);
    acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(x, x));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += a[j] * a[j];
  return s;
}

float dot_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m128 vmin = _mm_set1_ps(min);
  const __m128 vscale = _mm_set1_ps(scale);
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) {
      acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(_mm_loadu_ps(q + j + 4 * k), v.v[k]));
    }
  }
  for (; j + 4 <= n; j += 4) {
    acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(_mm_loadu_ps(q + j), dequant4(codes + j, vmin, vscale)));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += q[j] * dequant1(codes[j], min, scale);
  return s;
}

float l2_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m128 vmin = _mm_set1_ps(min);
  const __m128 vscale = _mm_set1_ps(scale);
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) {
      const __m128 d = _mm_sub_ps(_mm_loadu_ps(q + j + 4 * k), v.v[k]);
      acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(d, d));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(q + j), dequant4(codes + j, vmin, vscale));
    acc[0] = _mm_add_ps(acc[0], _mm_mul_ps(d, d));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) {
    const float d = q[j] - dequant1(codes[j], min, scale);
    s += d * d;
  }
  return s;
}

AsymCosineSums cosine_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const __m128 vmin = _mm_set1_ps(min);
  const __m128 vscale = _mm_set1_ps(scale);
  __m128 dot[4], nv[4];
  for (int k = 0; k < 4; ++k) dot[k] = nv[k] = _mm_setzero_ps();
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) {
      dot[k] = _mm_add_ps(dot[k], _mm_mul_ps(_mm_loadu_ps(q + j + 4 * k), v.v[k]));
      nv[k] = _mm_add_ps(nv[k], _mm_mul_ps(v.v[k], v.v[k]));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 v = dequant4(codes + j, vmin, vscale);
    dot[0] = _mm_add_ps(dot[0], _mm_mul_ps(_mm_loadu_ps(q + j), v));
    nv[0] = _mm_add_ps(nv[0], _mm_mul_ps(v, v));
  }
  AsymCosineSums r{hsum4(dot[0], dot[1], dot[2], dot[3]), hsum4(nv[0], nv[1], nv[2], nv[3])};
  for (; j < n; ++j) {
    const float v = dequant1(codes[j], min, scale);
    r.dot += q[j] * v;
    r.norm_v += v * v;
  }
  return r;
}

void dequantize_u8(const uint8_t* codes, size_t n, float min, float scale, float* out) {
  const __m128 vmin = _mm_set1_ps(min);
  const __m128 vscale = _mm_set1_ps(scale);
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) _mm_storeu_ps(out + j + 4 * k, v.v[k]);
  }
  for (; j + 4 <= n; j += 4) _mm_storeu_ps(out + j, dequant4(codes + j, vmin, vscale));
  for (; j < n; ++j) out[j] = dequant1(codes[j], min, scale);
}

void l2_to_transposed(const float* x, const float* points_t, size_t dim, size_t count, float* out) {
  size_t c = 0;
  // 16 points at a time stay in registers across all components.
  for (; c + 16 <= count; c += 16) {
    __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    for (size_t j = 0; j < dim; ++j) {
      const __m128 xj = _mm_set1_ps(x[j]);
      const float* row = points_t + j * count + c;
      for (int k = 0; k < 4; ++k) {
        const __m128 d = _mm_sub_ps(xj, _mm_loadu_ps(row + 4 * k));
        acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(d, d));
      }
    }
    for (int k = 0; k < 4; ++k) _mm_storeu_ps(out + c + 4 * k, acc[k]);
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

}  // namespace

extern const KernelTable SSE2_KERNELS = {
    SimdLevel::Sse2, "sse2", dot_f32,   l2_f32,        cosine_f32,       norm_sq_f32,
    dot_u8,          l2_u8,  cosine_u8, dequantize_u8, l2_to_transposed,
};

}  // namespace tarnwell_core::simd
