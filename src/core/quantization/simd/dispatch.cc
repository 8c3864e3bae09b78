// Chooses the kernel table once per process from the CPU's features: AVX-512 (F, BW, VL, DQ),
// then AVX2 with FMA, then SSE2, which every x86-64 CPU has. The choice depends on nothing but
// the CPU; tests can force a level through force_simd_level_for_testing.
#include <atomic>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

bool cpu_can_run(SimdLevel level) {
  __builtin_cpu_init();  // safe to repeat; needed if we run before libgcc's own constructor
  switch (level) {
    case SimdLevel::Scalar:
    case SimdLevel::Sse2:
      return true;
    case SimdLevel::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("f16c");
    case SimdLevel::Avx512:
      return cpu_can_run(SimdLevel::Avx2) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq");
  }
  return false;
}

const KernelTable& table_of(SimdLevel level) {
  switch (level) {
    case SimdLevel::Scalar:
      return SCALAR_KERNELS;
    case SimdLevel::Sse2:
      return SSE2_KERNELS;
    case SimdLevel::Avx2:
      return AVX2_KERNELS;
    case SimdLevel::Avx512:
      return AVX512_KERNELS;
  }
  return SCALAR_KERNELS;
}

// Written once on first use (every racing thread computes the same value) or by the test hook.
std::atomic<const KernelTable*> ACTIVE_KERNELS{nullptr};

}  // namespace

SimdLevel best_supported_level() {
  for (SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2}) {
    if (cpu_can_run(level)) return level;
  }
  return SimdLevel::Scalar;
}

const KernelTable& kernels() {
  const KernelTable* t = ACTIVE_KERNELS.load(std::memory_order_acquire);
  if (t == nullptr) {
    t = &table_of(best_supported_level());
    ACTIVE_KERNELS.store(t, std::memory_order_release);
  }
  return *t;
}

const KernelTable* kernels_for(SimdLevel level) {
  return cpu_can_run(level) ? &table_of(level) : nullptr;
}

bool force_simd_level_for_testing(SimdLevel level) {
  if (!cpu_can_run(level)) return false;
  ACTIVE_KERNELS.store(&table_of(level), std::memory_order_release);
  return true;
}

}  // namespace tarnwell_core::simd
