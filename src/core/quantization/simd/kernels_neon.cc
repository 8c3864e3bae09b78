// NEON kernels for AArch64, where Advanced SIMD is part of the baseline (no compile flags, no
// run-time check): 16 components per iteration in four 4-lane accumulators with fused
// multiply-add, then blocks of 4, then single components. Codes are widened byte -> 16-bit ->
// 32-bit -> f32 in registers and reconstructed as min + scale * code with one fused step.
#include <arm_neon.h>

#include <cstring>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

inline float hsum4(float32x4_t a, float32x4_t b, float32x4_t c, float32x4_t d) {
  return vaddvq_f32(vaddq_f32(vaddq_f32(a, b), vaddq_f32(c, d)));
}

inline float32x4_t reconstruct(uint32x4_t c, float32x4_t min, float32x4_t scale) {
  return vfmaq_f32(min, scale, vcvtq_f32_u32(c));
}

// The 16 codes at p as four vectors of reconstructed components.
struct Dequant16 {
  float32x4_t v[4];
  Dequant16(const uint8_t* p, float32x4_t min, float32x4_t scale) {
    const uint8x16_t c = vld1q_u8(p);
    const uint16x8_t lo = vmovl_u8(vget_low_u8(c));
    const uint16x8_t hi = vmovl_u8(vget_high_u8(c));
    v[0] = reconstruct(vmovl_u16(vget_low_u16(lo)), min, scale);
    v[1] = reconstruct(vmovl_u16(vget_high_u16(lo)), min, scale);
    v[2] = reconstruct(vmovl_u16(vget_low_u16(hi)), min, scale);
    v[3] = reconstruct(vmovl_u16(vget_high_u16(hi)), min, scale);
  }
};

// Exactly four codes are read: a 16-byte load could cross into an unmapped page at the end.
inline float32x4_t dequant4(const uint8_t* p, float32x4_t min, float32x4_t scale) {
  uint32_t raw;
  std::memcpy(&raw, p, 4);
  const uint16x8_t w = vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(raw)));
  return reconstruct(vmovl_u16(vget_low_u16(w)), min, scale);
}

inline float dequant1(uint8_t c, float min, float scale) {
  return min + scale * static_cast<float>(c);
}

float dot_f32(const float* a, const float* b, size_t n) {
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      acc[k] = vfmaq_f32(acc[k], vld1q_f32(a + j + 4 * k), vld1q_f32(b + j + 4 * k));
    }
  }
  for (; j + 4 <= n; j += 4) acc[0] = vfmaq_f32(acc[0], vld1q_f32(a + j), vld1q_f32(b + j));
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += a[j] * b[j];
  return s;
}

float l2_f32(const float* a, const float* b, size_t n) {
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const float32x4_t d = vsubq_f32(vld1q_f32(a + j + 4 * k), vld1q_f32(b + j + 4 * k));
      acc[k] = vfmaq_f32(acc[k], d, d);
    }
  }
  for (; j + 4 <= n; j += 4) {
    const float32x4_t d = vsubq_f32(vld1q_f32(a + j), vld1q_f32(b + j));
    acc[0] = vfmaq_f32(acc[0], d, d);
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) {
    const float d = a[j] - b[j];
    s += d * d;
  }
  return s;
}

CosineSums cosine_f32(const float* a, const float* b, size_t n) {
  float32x4_t dot[4], na[4], nb[4];
  for (int k = 0; k < 4; ++k) dot[k] = na[k] = nb[k] = vdupq_n_f32(0.0f);
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const float32x4_t x = vld1q_f32(a + j + 4 * k);
      const float32x4_t y = vld1q_f32(b + j + 4 * k);
      dot[k] = vfmaq_f32(dot[k], x, y);
      na[k] = vfmaq_f32(na[k], x, x);
      nb[k] = vfmaq_f32(nb[k], y, y);
    }
  }
  for (; j + 4 <= n; j += 4) {
    const float32x4_t x = vld1q_f32(a + j);
    const float32x4_t y = vld1q_f32(b + j);
    dot[0] = vfmaq_f32(dot[0], x, y);
    na[0] = vfmaq_f32(na[0], x, x);
    nb[0] = vfmaq_f32(nb[0], y, y);
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
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    for (int k = 0; k < 4; ++k) {
      const float32x4_t x = vld1q_f32(a + j + 4 * k);
      acc[k] = vfmaq_f32(acc[k], x, x);
    }
  }
  for (; j + 4 <= n; j += 4) {
    const float32x4_t x = vld1q_f32(a + j);
    acc[0] = vfmaq_f32(acc[0], x, x);
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += a[j] * a[j];
  return s;
}

float dot_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const float32x4_t vmin = vdupq_n_f32(min);
  const float32x4_t vscale = vdupq_n_f32(scale);
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) acc[k] = vfmaq_f32(acc[k], vld1q_f32(q + j + 4 * k), v.v[k]);
  }
  for (; j + 4 <= n; j += 4) {
    acc[0] = vfmaq_f32(acc[0], vld1q_f32(q + j), dequant4(codes + j, vmin, vscale));
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) s += q[j] * dequant1(codes[j], min, scale);
  return s;
}

float l2_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const float32x4_t vmin = vdupq_n_f32(min);
  const float32x4_t vscale = vdupq_n_f32(scale);
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) {
      const float32x4_t d = vsubq_f32(vld1q_f32(q + j + 4 * k), v.v[k]);
      acc[k] = vfmaq_f32(acc[k], d, d);
    }
  }
  for (; j + 4 <= n; j += 4) {
    const float32x4_t d = vsubq_f32(vld1q_f32(q + j), dequant4(codes + j, vmin, vscale));
    acc[0] = vfmaq_f32(acc[0], d, d);
  }
  float s = hsum4(acc[0], acc[1], acc[2], acc[3]);
  for (; j < n; ++j) {
    const float d = q[j] - dequant1(codes[j], min, scale);
    s += d * d;
  }
  return s;
}

AsymCosineSums cosine_u8(const float* q, const uint8_t* codes, size_t n, float min, float scale) {
  const float32x4_t vmin = vdupq_n_f32(min);
  const float32x4_t vscale = vdupq_n_f32(scale);
  float32x4_t dot[4], nv[4];
  for (int k = 0; k < 4; ++k) dot[k] = nv[k] = vdupq_n_f32(0.0f);
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) {
      dot[k] = vfmaq_f32(dot[k], vld1q_f32(q + j + 4 * k), v.v[k]);
      nv[k] = vfmaq_f32(nv[k], v.v[k], v.v[k]);
    }
  }
  for (; j + 4 <= n; j += 4) {
    const float32x4_t v = dequant4(codes + j, vmin, vscale);
    dot[0] = vfmaq_f32(dot[0], vld1q_f32(q + j), v);
    nv[0] = vfmaq_f32(nv[0], v, v);
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
  const float32x4_t vmin = vdupq_n_f32(min);
  const float32x4_t vscale = vdupq_n_f32(scale);
  size_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const Dequant16 v(codes + j, vmin, vscale);
    for (int k = 0; k < 4; ++k) vst1q_f32(out + j + 4 * k, v.v[k]);
  }
  for (; j + 4 <= n; j += 4) vst1q_f32(out + j, dequant4(codes + j, vmin, vscale));
  for (; j < n; ++j) out[j] = dequant1(codes[j], min, scale);
}

void l2_to_transposed(const float* x, const float* points_t, size_t dim, size_t count, float* out) {
  size_t c = 0;
  // 16 points at a time stay in registers across all components.
  for (; c + 16 <= count; c += 16) {
    float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f),
                          vdupq_n_f32(0.0f)};
    for (size_t j = 0; j < dim; ++j) {
      const float32x4_t xj = vdupq_n_f32(x[j]);
      const float* row = points_t + j * count + c;
      for (int k = 0; k < 4; ++k) {
        const float32x4_t d = vsubq_f32(xj, vld1q_f32(row + 4 * k));
        acc[k] = vfmaq_f32(acc[k], d, d);
      }
    }
    for (int k = 0; k < 4; ++k) vst1q_f32(out + c + 4 * k, acc[k]);
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

extern const KernelTable NEON_KERNELS = {
    SimdLevel::Neon, "neon", dot_f32,   l2_f32,        cosine_f32,       norm_sq_f32,
    dot_u8,          l2_u8,  cosine_u8, dequantize_u8, l2_to_transposed,
};

}  // namespace tarnwell_core::simd
