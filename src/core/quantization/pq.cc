// Product-quantization training (k-means++ seeding, then 20 Lloyd iterations per subspace),
// encoding and per-query distance tables. Nearest-centroid searches go through the transposed
// kernel, so every path computes a point's distances with the same summation order.
#include "core/quantization/pq.h"

#if defined(TARNWELL_SIMD_X86)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>

#include "core/quantization/simd/kernels.h"

namespace tarnwell_core {
namespace {

constexpr size_t kCentroids = PQ_NUM_CENTROIDS;
constexpr int kLloydIterations = 20;
constexpr uint64_t kSeedMix = 0x517cc1b727220a95ULL;

// Its address differs between processes (address-space randomisation) and seeds training.
const uint64_t SEED_ANCHOR = 0;

inline uint64_t xorshift(uint64_t x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// Writes the `count` points of `rows` (count x dim, row-major) dimension-major into `out`.
void transpose(const float* rows, size_t count, size_t dim, std::vector<float>& out) {
  out.resize(count * dim);
  for (size_t c = 0; c < count; ++c) {
    for (size_t j = 0; j < dim; ++j) out[j * count + c] = rows[c * dim + j];
  }
}

// Index of the nearest of `count` transposed points; the lowest index wins ties, and a NaN
// distance never wins (a NaN first distance wins by default, as nothing compares below it).
// Same answer as a strict-less scan from index 0, found with vector minimum and equality.
size_t nearest(const simd::KernelTable& k, const float* x, const float* points_t, size_t dim,
               size_t count, float* scratch) {
  k.l2_to_transposed(x, points_t, dim, count, scratch);
  if (scratch[0] != scratch[0]) return 0;
#if defined(TARNWELL_SIMD_X86)
  // minps returns its second operand when the first is NaN, so NaN lanes are skipped.
  const size_t blocks = count / 4;
  __m128 lo = _mm_set1_ps(std::numeric_limits<float>::infinity());
  for (size_t b = 0; b < blocks; ++b) lo = _mm_min_ps(_mm_loadu_ps(scratch + 4 * b), lo);
  lo = _mm_min_ps(lo, _mm_movehl_ps(lo, lo));
  lo = _mm_min_ss(lo, _mm_shuffle_ps(lo, lo, 0x55));
  float best = _mm_cvtss_f32(lo);
  for (size_t c = 4 * blocks; c < count; ++c) best = scratch[c] < best ? scratch[c] : best;
  const __m128 want = _mm_set1_ps(best);
  for (size_t b = 0; b < blocks; ++b) {
    const int hits = _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(scratch + 4 * b), want));
    if (hits != 0) return 4 * b + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  for (size_t c = 4 * blocks; c < count; ++c) {
    if (scratch[c] == best) return c;
  }
  return 0;  // every distance is NaN or +inf: index 0, as the scan would answer
#else
  // The strict-less scan itself.
  size_t best = 0;
  for (size_t c = 1; c < count; ++c) best = scratch[c] < scratch[best] ? c : best;
  return best;
#endif
}

// k-means++ seeding of k centroids among n > k points (n x sd, row-major) into `cent`.
void seed_centroids(const simd::KernelTable& kt, const float* points, size_t n, size_t sd, size_t k,
                    uint64_t state, float* cent) {
  std::memcpy(cent, points + (state % n) * sd, sd * sizeof(float));
  // The distances from the newest centroid to all points come from one transposed-kernel call.
  std::vector<float> points_t;
  transpose(points, n, sd, points_t);
  std::vector<float> min_d(n, std::numeric_limits<float>::max());
  std::vector<float> d(n);
  for (size_t c = 1; c < k; ++c) {
    kt.l2_to_transposed(cent + (c - 1) * sd, points_t.data(), sd, n, d.data());
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) {
      if (d[i] < min_d[i]) min_d[i] = d[i];
      total += min_d[i];
    }
    state = xorshift(state);
    const double u = static_cast<double>(state >> 11) * 0x1.0p-53 * total;
    size_t pick = n - 1;
    if (total < 1e-30) {
      pick = static_cast<size_t>(state % n);
    } else {
      double running = 0.0;
      for (size_t i = 0; i < n; ++i) {
        running += min_d[i];
        if (u <= running) {
          pick = i;
          break;
        }
      }
    }
    std::memcpy(cent + c * sd, points + pick * sd, sd * sizeof(float));
  }
}

// Lloyd iterations with a fixed count (no convergence test); an empty cluster becomes zero.
void lloyd(const simd::KernelTable& kt, const float* points, size_t n, size_t sd, size_t k,
           float* cent) {
  std::vector<float> cent_t;
  std::vector<float> dist(k);
  std::vector<uint32_t> assign(n);
  std::vector<uint64_t> counts(k);
  for (int it = 0; it < kLloydIterations; ++it) {
    transpose(cent, k, sd, cent_t);
    for (size_t i = 0; i < n; ++i) {
      assign[i] =
          static_cast<uint32_t>(nearest(kt, points + i * sd, cent_t.data(), sd, k, dist.data()));
    }
    std::memset(cent, 0, k * sd * sizeof(float));
    std::fill(counts.begin(), counts.end(), 0);
    for (size_t i = 0; i < n; ++i) {
      float* c = cent + static_cast<size_t>(assign[i]) * sd;
      const float* p = points + i * sd;
      for (size_t j = 0; j < sd; ++j) c[j] += p[j];
      ++counts[assign[i]];
    }
    for (size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      const float inv = 1.0f / static_cast<float>(counts[c]);
      for (size_t j = 0; j < sd; ++j) cent[c * sd + j] *= inv;
    }
  }
}

}  // namespace

Result<PqCodebook> PqCodebook::train(std::span<const float> vectors, size_t dimension,
                                     size_t num_subspaces) {
  if (num_subspaces == 0) return Err(Status::invalid_argument("num_subspaces must be at least 1"));
  if (dimension == 0) return Err(Status::invalid_argument("dimension must be at least 1"));
  if (dimension % num_subspaces != 0) {
    return Err(Status::invalid_argument("dimension must be divisible by num_subspaces"));
  }
  if (vectors.size() < dimension) {
    return Err(Status::invalid_argument("need at least one vector to train PQ"));
  }
  const simd::KernelTable& kt = simd::kernels();
  const size_t n = vectors.size() / dimension;
  const size_t sd = dimension / num_subspaces;
  const size_t k = n < kCentroids ? n : kCentroids;

  PqCodebook book;
  book.num_subspaces = num_subspaces;
  book.num_centroids = kCentroids;
  book.subspace_dim = sd;
  book.centroids.assign(num_subspaces * kCentroids * sd, 0.0f);

  uint64_t seed = reinterpret_cast<uintptr_t>(&SEED_ANCHOR) ^ kSeedMix;
  if (seed == 0) seed = kSeedMix;  // xorshift never leaves the zero state
  seed = xorshift(seed);

  std::vector<float> points(n * sd);
  std::vector<float> cent(k * sd);
  for (size_t s = 0; s < num_subspaces; ++s) {
    for (size_t i = 0; i < n; ++i) {
      std::memcpy(&points[i * sd], vectors.data() + i * dimension + s * sd, sd * sizeof(float));
    }
    if (n <= kCentroids) {
      cent = points;
    } else {
      // Every subspace starts again from the same generator state.
      seed_centroids(kt, points.data(), n, sd, k, seed, cent.data());
      lloyd(kt, points.data(), n, sd, k, cent.data());
    }
    std::memcpy(&book.centroids[s * kCentroids * sd], cent.data(), k * sd * sizeof(float));
  }
  return book;
}

bool PqCodebook::well_formed() const {
  if (num_centroids != kCentroids || num_subspaces == 0 || subspace_dim == 0) return false;
  // Overflow-safe: each factor is checked against what the table can hold.
  const uint64_t per_subspace = kCentroids * subspace_dim;
  if (subspace_dim > centroids.size() || per_subspace / kCentroids != subspace_dim) return false;
  return centroids.size() % per_subspace == 0 && centroids.size() / per_subspace == num_subspaces;
}

std::vector<uint8_t> PqCodebook::encode(std::span<const float> vector) const {
  assert(well_formed() && vector.size() >= num_subspaces * subspace_dim);
  const simd::KernelTable& kt = simd::kernels();
  const size_t sd = subspace_dim;
  std::vector<uint8_t> codes(num_subspaces);
  std::vector<float> cent_t;
  float dist[kCentroids];
  for (size_t s = 0; s < num_subspaces; ++s) {
    transpose(&centroids[s * kCentroids * sd], kCentroids, sd, cent_t);
    codes[s] = static_cast<uint8_t>(
        nearest(kt, vector.data() + s * sd, cent_t.data(), sd, kCentroids, dist));
  }
  return codes;
}

Result<std::vector<uint8_t>> PqCodebook::encode_batch(std::span<const float> vectors,
                                                      size_t dimension) const {
  if (dimension == 0) return Err(Status::invalid_argument("dimension must be at least 1"));
  if (!well_formed()) return Err(Status::invalid_argument("malformed PQ codebook"));
  if (dimension != num_subspaces * subspace_dim) {
    return Err(Status::invalid_argument(
        "dimension " + std::to_string(dimension) + " does not match the PQ codebook (" +
        std::to_string(num_subspaces) + " subspaces of " + std::to_string(subspace_dim) + ")"));
  }
  const simd::KernelTable& kt = simd::kernels();
  const size_t n = vectors.size() / dimension;
  const size_t sd = subspace_dim;
  std::vector<uint8_t> codes(n * num_subspaces);
  std::vector<float> cent_t;
  float dist[kCentroids];
  // Subspace-major so that each transposed centroid table is built once.
  for (size_t s = 0; s < num_subspaces; ++s) {
    transpose(&centroids[s * kCentroids * sd], kCentroids, sd, cent_t);
    for (size_t i = 0; i < n; ++i) {
      codes[i * num_subspaces + s] = static_cast<uint8_t>(nearest(
          kt, vectors.data() + i * dimension + s * sd, cent_t.data(), sd, kCentroids, dist));
    }
  }
  return codes;
}

DistanceTable PqCodebook::build_distance_table(std::span<const float> query,
                                               DistanceMetric metric) const {
  assert(well_formed() && query.size() >= num_subspaces * subspace_dim);
  const simd::KernelTable& kt = simd::kernels();
  const size_t sd = subspace_dim;
  DistanceTable table;
  table.num_subspaces = num_subspaces;
  table.values.resize(num_subspaces * kCentroids);
  for (size_t s = 0; s < num_subspaces; ++s) {
    const float* q = query.data() + s * sd;
    for (size_t c = 0; c < kCentroids; ++c) {
      const float* cent = &centroids[(s * kCentroids + c) * sd];
      table.values[s * kCentroids + c] =
          metric == DistanceMetric::Euclidean ? kt.l2_f32(q, cent, sd) : -kt.dot_f32(q, cent, sd);
    }
  }
  return table;
}

}  // namespace tarnwell_core
