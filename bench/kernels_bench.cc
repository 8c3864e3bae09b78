// The distance kernels at every dispatch level this CPU runs: exact (f32 x f32) and asymmetric
// (f32 query x u8 codes) dot product, squared L2 and cosine, at d = 128, 384 and 768. The
// scalar level is the peer: it is what the kernels would cost without vector instructions.
// Inputs stay in L1, so the figures are the kernels' own throughput, not memory's.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

struct Inputs {
  std::vector<float> a, b;
  std::vector<uint8_t> codes;
  explicit Inputs(size_t d) : a(d), b(d), codes(d) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    for (size_t j = 0; j < d; ++j) {
      a[j] = uni(rng);
      b[j] = uni(rng);
      codes[j] = static_cast<uint8_t>(rng());
    }
  }
};

enum class Kernel { DotF32, L2F32, CosF32, DotU8, L2U8, CosU8 };

const char* kernel_name(Kernel k) {
  switch (k) {
    case Kernel::DotF32:
      return "dot_f32";
    case Kernel::L2F32:
      return "l2_f32";
    case Kernel::CosF32:
      return "cosine_f32";
    case Kernel::DotU8:
      return "dot_u8";
    case Kernel::L2U8:
      return "l2_u8";
    case Kernel::CosU8:
      return "cosine_u8";
  }
  return "?";
}

void run(benchmark::State& state, const KernelTable* t, Kernel kernel, size_t d) {
  const Inputs in(d);
  const float* a = in.a.data();
  const float* b = in.b.data();
  const uint8_t* c = in.codes.data();
  for (auto _ : state) {
    switch (kernel) {
      case Kernel::DotF32:
        benchmark::DoNotOptimize(t->dot_f32(a, b, d));
        break;
      case Kernel::L2F32:
        benchmark::DoNotOptimize(t->l2_f32(a, b, d));
        break;
      case Kernel::CosF32:
        benchmark::DoNotOptimize(t->cosine_f32(a, b, d));
        break;
      case Kernel::DotU8:
        benchmark::DoNotOptimize(t->dot_u8(a, c, d, -1.0f, 0.01f));
        break;
      case Kernel::L2U8:
        benchmark::DoNotOptimize(t->l2_u8(a, c, d, -1.0f, 0.01f));
        break;
      case Kernel::CosU8:
        benchmark::DoNotOptimize(t->cosine_u8(a, c, d, -1.0f, 0.01f));
        break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["ns_per_component"] = benchmark::Counter(
      static_cast<double>(state.iterations() * d),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}

void register_all() {
  for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Avx512,
                          SimdLevel::Neon}) {
    const KernelTable* t = kernels_for(level);
    if (t == nullptr) continue;
    for (Kernel k : {Kernel::DotF32, Kernel::L2F32, Kernel::CosF32, Kernel::DotU8, Kernel::L2U8,
                     Kernel::CosU8}) {
      for (size_t d : {128u, 384u, 768u}) {
        const std::string name =
            std::string(kernel_name(k)) + "/" + t->name + "/d" + std::to_string(d);
        benchmark::RegisterBenchmark(name.c_str(), run, t, k, d);
      }
    }
  }
}

}  // namespace
}  // namespace tarnwell_core::simd

int main(int argc, char** argv) {
  tarnwell_core::simd::register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
