// Every kernel of every level this CPU runs, against the scalar reference, for every length
// 1..300, with inputs placed right before an unmapped page so any read past the end faults.
// Also: dispatch picks the best level and the test hook switches levels.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core::simd {
namespace {

// `bytes` of memory whose last byte is followed by an inaccessible page.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    span_ = (bytes + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<char*>(
        mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(mprotect(base_ + span_ - page_, page_, PROT_NONE), 0);
    data_ = base_ + span_ - page_ - bytes;
  }
  ~GuardedBuffer() { munmap(base_, span_); }
  template <class T>
  T* as() {
    return reinterpret_cast<T*>(data_);
  }

 private:
  size_t page_ = 0, span_ = 0;
  char* base_ = nullptr;
  char* data_ = nullptr;
};

// Each vectorised level is a test parameter; levels this CPU or build cannot run are skipped.
class SimdLevelTest : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    table_ = kernels_for(GetParam());
    if (table_ == nullptr) GTEST_SKIP() << "this CPU cannot run the level";
  }
  const KernelTable& k() const { return *table_; }

 private:
  const KernelTable* table_ = nullptr;
};

// Sums differ only in order; allow for that relative to the magnitude of the terms.
void expect_close(float got, float want, float magnitude, const char* what, size_t n) {
  EXPECT_NEAR(got, want, 2e-5f * magnitude + 1e-6f) << what << " n=" << n;
}

TEST_P(SimdLevelTest, MatchesScalarForEveryLength) {
  const KernelTable& ref = SCALAR_KERNELS;
  const KernelTable& k = this->k();
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uni(-2.0f, 2.0f);
  std::uniform_int_distribution<int> byte(0, 255);
  {
    for (size_t n = 1; n <= 300; ++n) {
      GuardedBuffer ba(n * sizeof(float)), bb(n * sizeof(float)), bc(n), bout(n * sizeof(float));
      float* a = ba.as<float>();
      float* b = bb.as<float>();
      uint8_t* codes = bc.as<uint8_t>();
      for (size_t j = 0; j < n; ++j) {
        a[j] = uni(rng);
        b[j] = uni(rng);
        codes[j] = static_cast<uint8_t>(byte(rng));
      }
      const float min = uni(rng), scale = std::fabs(uni(rng)) / 64.0f;
      // Magnitudes: sums of |terms| bound the rounding error of any summation order.
      float mag_ab = 0, mag_aa = 0, mag_bb = 0, mag_d = 0;
      std::vector<float> v(n);
      float mag_qv = 0, mag_vv = 0, mag_qd = 0;
      for (size_t j = 0; j < n; ++j) {
        mag_ab += std::fabs(a[j] * b[j]);
        mag_aa += a[j] * a[j];
        mag_bb += b[j] * b[j];
        mag_d += (a[j] - b[j]) * (a[j] - b[j]);
        v[j] = min + scale * codes[j];
        mag_qv += std::fabs(a[j] * v[j]);
        mag_vv += v[j] * v[j];
        mag_qd += (a[j] - v[j]) * (a[j] - v[j]);
      }
      expect_close(k.dot_f32(a, b, n), ref.dot_f32(a, b, n), mag_ab, "dot_f32", n);
      expect_close(k.l2_f32(a, b, n), ref.l2_f32(a, b, n), mag_d, "l2_f32", n);
      expect_close(k.norm_sq_f32(a, n), ref.norm_sq_f32(a, n), mag_aa, "norm_sq_f32", n);
      const CosineSums c = k.cosine_f32(a, b, n), cr = ref.cosine_f32(a, b, n);
      expect_close(c.dot, cr.dot, mag_ab, "cosine_f32.dot", n);
      expect_close(c.norm_a, cr.norm_a, mag_aa, "cosine_f32.norm_a", n);
      expect_close(c.norm_b, cr.norm_b, mag_bb, "cosine_f32.norm_b", n);

      expect_close(k.dot_u8(a, codes, n, min, scale), ref.dot_u8(a, codes, n, min, scale), mag_qv,
                   "dot_u8", n);
      expect_close(k.l2_u8(a, codes, n, min, scale), ref.l2_u8(a, codes, n, min, scale), mag_qd,
                   "l2_u8", n);
      const AsymCosineSums ac = k.cosine_u8(a, codes, n, min, scale);
      const AsymCosineSums acr = ref.cosine_u8(a, codes, n, min, scale);
      expect_close(ac.dot, acr.dot, mag_qv, "cosine_u8.dot", n);
      expect_close(ac.norm_v, acr.norm_v, mag_vv, "cosine_u8.norm_v", n);

      float* out = bout.as<float>();
      k.dequantize_u8(codes, n, min, scale, out);
      for (size_t j = 0; j < n; ++j) {
        ASSERT_NEAR(out[j], v[j], 1e-6f * (std::fabs(min) + scale * 255.0f)) << "n=" << n;
      }
    }
  }
}

TEST_P(SimdLevelTest, ScaleZeroAndZeroVectors) {
  const KernelTable& k = this->k();
  {
    for (size_t n : {1u, 7u, 16u, 33u, 300u}) {
      std::vector<float> q(n, 1.5f), zero(n, 0.0f);
      std::vector<uint8_t> codes(n, 200);
      // scale 0: every component is min, whatever the code.
      EXPECT_FLOAT_EQ(k.dot_u8(q.data(), codes.data(), n, 2.0f, 0.0f), 3.0f * n);
      EXPECT_FLOAT_EQ(k.l2_u8(q.data(), codes.data(), n, 2.0f, 0.0f), 0.25f * n);
      EXPECT_FLOAT_EQ(k.cosine_u8(q.data(), codes.data(), n, 2.0f, 0.0f).norm_v, 4.0f * n);
      const CosineSums z = k.cosine_f32(zero.data(), zero.data(), n);
      EXPECT_EQ(z.dot, 0.0f);
      EXPECT_EQ(z.norm_a, 0.0f);
      EXPECT_EQ(z.norm_b, 0.0f);
    }
  }
}

TEST_P(SimdLevelTest, TransposedDistancesEqualPerPointLoops) {
  const KernelTable& k = this->k();
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  {
    for (size_t dim : {1u, 3u, 8u, 16u}) {
      for (size_t count : {1u, 15u, 31u, 64u, 100u, 256u}) {
        std::vector<float> x(dim), pts(dim * count), out(count);
        for (float& f : x) f = uni(rng);
        for (float& f : pts) f = uni(rng);
        k.l2_to_transposed(x.data(), pts.data(), dim, count, out.data());
        for (size_t c = 0; c < count; ++c) {
          float s = 0.0f;
          for (size_t j = 0; j < dim; ++j) {
            const float d = x[j] - pts[j * count + c];
            s += d * d;
          }
          EXPECT_NEAR(out[c], s, 1e-6f * (1.0f + s)) << k.name << " dim=" << dim;
        }
      }
    }
  }
}

TEST(SimdKernels, DispatchPicksBestAndHookForcesLevels) {
  const SimdLevel best = best_supported_level();
#if defined(TARNWELL_SIMD_X86) || defined(TARNWELL_SIMD_NEON)
  EXPECT_NE(best, SimdLevel::Scalar);  // SSE2 and NEON are part of these architectures
#endif
  EXPECT_EQ(kernels_for(best)->level, best);
  EXPECT_TRUE(force_simd_level_for_testing(SimdLevel::Scalar));
  EXPECT_EQ(kernels().level, SimdLevel::Scalar);
  if (kernels_for(SimdLevel::Avx512) == nullptr) {
    EXPECT_FALSE(force_simd_level_for_testing(SimdLevel::Avx512));
    EXPECT_EQ(kernels().level, SimdLevel::Scalar);  // unchanged
  }
  EXPECT_TRUE(force_simd_level_for_testing(best));
  EXPECT_EQ(kernels().level, best);
}

INSTANTIATE_TEST_SUITE_P(SimdKernels, SimdLevelTest,
                         ::testing::Values(SimdLevel::Sse2, SimdLevel::Avx2, SimdLevel::Avx512,
                                           SimdLevel::Neon),
                         [](const ::testing::TestParamInfo<SimdLevel>& info) {
                           switch (info.param) {
                             case SimdLevel::Sse2:
                               return std::string("Sse2");
                             case SimdLevel::Avx2:
                               return std::string("Avx2");
                             case SimdLevel::Avx512:
                               return std::string("Avx512");
                             case SimdLevel::Neon:
                               return std::string("Neon");
                             default:
                               return std::string("Scalar");
                           }
                         });

}  // namespace
}  // namespace tarnwell_core::simd
