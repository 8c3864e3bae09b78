// Chooses the kernel table once per process from the CPU's features. x86-64 builds: AVX-512 (F,
// BW, VL, DQ), then AVX2 with FMA, then SSE2, which every x86-64 CPU has. AArch64 builds: NEON,
// which every AArch64 CPU has. Other builds: the scalar kernels. Which levels a build contains is
// decided by the build (TARNWELL_SIMD_X86 / TARNWELL_SIMD_NEON); the choice among them depends on
// nothing but the CPU. Tests can force a level through force_simd_level_for_testing.
#include <atomic>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

bool cpu_can_run(SimdLevel level) {
  switch (level) {
    case SimdLevel::Scalar:
      return true;
#if defined(TARNWELL_SIMD_X86)
    case SimdLevel::Sse2:
      return true;
    case SimdLevel::Avx2:
      __builtin_cpu_init();  // safe to repeat; needed if we run before libgcc's own constructor
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("f16c");
    case SimdLevel::Avx512:
      return cpu_can_run(SimdLevel::Avx2) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq");
#elif defined(TARNWELL_SIMD_NEON)
    case SimdLevel::Neon:
      return true;
#endif
    default:
      return false;  // not built for this architecture
  }
}

// Only called for levels cpu_can_run accepts, so every table named here exists in this build.
const KernelTable& table_of(SimdLevel level) {
  switch (level) {
#if defined(TARNWELL_SIMD_X86)
    case SimdLevel::Sse2:
      return SSE2_KERNELS;
    case SimdLevel::Avx2:
      return AVX2_KERNELS;
    case SimdLevel::Avx512:
      return AVX512_KERNELS;
#elif defined(TARNWELL_SIMD_NEON)
    case SimdLevel::Neon:
      return NEON_KERNELS;
#endif
    default:
      return SCALAR_KERNELS;
  }
}

// Written once on first use (every racing thread computes the same value) or by the test hook.
std::atomic<const KernelTable*> ACTIVE_KERNELS{nullptr};

}  // namespace

SimdLevel best_supported_level() {
  for (SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Sse2, SimdLevel::Neon}) {
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
