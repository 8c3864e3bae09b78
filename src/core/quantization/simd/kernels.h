// The distance kernels behind every vector comparison, as a table of function pointers with one
// implementation per instruction set: the scalar reference everywhere, SSE2, AVX2+FMA and AVX-512
// in x86-64 builds, NEON in AArch64 builds (the build picks the files by target architecture).
// The table is chosen once per process from the CPU's features; every level computes the same
// sums up to floating-point summation order and never reads past `n` elements.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwell_core::simd {

enum class SimdLevel : uint8_t { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

// One pass of an exact cosine: the dot product and both squared norms.
struct CosineSums {
  float dot;
  float norm_a;
  float norm_b;
};

// One pass of an asymmetric cosine: the dot product with the reconstructed stored vector and
// that vector's squared norm (the query's norm is computed once per query by the caller).
struct AsymCosineSums {
  float dot;
  float norm_v;
};

// In the asymmetric kernels the stored vector is v_j = min + scale * codes[j], reconstructed in
// registers; `q` is a full-precision query.
struct KernelTable {
  SimdLevel level;
  const char* name;

  float (*dot_f32)(const float* a, const float* b, size_t n);
  float (*l2_f32)(const float* a, const float* b, size_t n);  // squared distance
  CosineSums (*cosine_f32)(const float* a, const float* b, size_t n);
  float (*norm_sq_f32)(const float* a, size_t n);

  float (*dot_u8)(const float* q, const uint8_t* codes, size_t n, float min, float scale);
  float (*l2_u8)(const float* q, const uint8_t* codes, size_t n, float min, float scale);
  AsymCosineSums (*cosine_u8)(const float* q, const uint8_t* codes, size_t n, float min,
                              float scale);

  // out[j] = min + scale * codes[j] for j < n.
  void (*dequantize_u8)(const uint8_t* codes, size_t n, float min, float scale, float* out);

  // Squared distances from `x` (dim components) to `count` points stored dimension-major:
  // component j of point c is points_t[j * count + c]. out[c] receives the distance to point c.
  // Each distance is summed over j in order, so the result matches a per-point loop exactly.
  // Used by product-quantization training, where count is a centroid table.
  void (*l2_to_transposed)(const float* x, const float* points_t, size_t dim, size_t count,
                           float* out);
};

// The table chosen for this process (or forced by the test hook below).
const KernelTable& kernels();

// The table of one level, or nullptr when this CPU cannot run it or this build does not have it.
const KernelTable* kernels_for(SimdLevel level);

// The best level this CPU supports.
SimdLevel best_supported_level();

// Test hook: makes kernels() return the table of `level` from now on. Returns false, changing
// nothing, when the CPU cannot run that level. Not meant to be called while other threads
// compute distances.
bool force_simd_level_for_testing(SimdLevel level);

// Per-level tables, defined in the kernels_*.cc files; a build has the scalar table and those of
// its architecture. Only dispatch.cc and the kernel tests refer to these.
extern const KernelTable SCALAR_KERNELS;
extern const KernelTable SSE2_KERNELS;
extern const KernelTable AVX2_KERNELS;
extern const KernelTable AVX512_KERNELS;
extern const KernelTable NEON_KERNELS;

}  // namespace tarnwell_core::simd
