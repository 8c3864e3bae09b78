// HNSW insertion and k-NN search on clustered vectors (defaults: 20,000 x 128; --tw_n=100000
// for the recorded figures), per metric, with the default configuration (M 16,
// ef_construction 200), with scalar codes only and with the full-precision copy. Searches sweep
// ef_search and report recall@10 against exact full-precision truth, so the figures compare
// directly with another library's on the same data: --tw_dump=PREFIX writes PREFIX.data.f32,
// PREFIX.queries.f32 (row-major float32) for bench/hnswlib_compare.py; --tw_load=PREFIX reads
// such files instead (give --tw_dim; --tw_n then caps the rows used), e.g. real embeddings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "clustered.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"

namespace tarnwell_core {
namespace {

size_t N = 20000;
size_t DIM = 128;
std::string DUMP;
std::string LOAD;
size_t QUERIES = 1000;
constexpr size_t kK = 10;

// Reads PREFIX + suffix (row-major float32, DIM per row); sets `rows`.
std::vector<float> load_rows(const std::string& path, size_t* rows) {
  std::vector<float> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    std::exit(1);
  }
  float buf[4096];
  for (size_t got; (got = std::fread(buf, sizeof(float), 4096, f)) > 0;) {
    out.insert(out.end(), buf, buf + got);
  }
  std::fclose(f);
  *rows = out.size() / DIM;
  out.resize(*rows * DIM);
  return out;
}

struct Data {
  Data() {
    if (LOAD.empty()) {
      vectors = clustered(N, DIM, 100, 1);
      queries = clustered(QUERIES, DIM, 100, 2);
      return;
    }
    size_t rows = 0;
    vectors = load_rows(LOAD + ".data.f32", &rows);
    N = std::min(N, rows);
    vectors.resize(N * DIM);
    queries = load_rows(LOAD + ".queries.f32", &QUERIES);
  }
  std::vector<float> vectors;
  std::vector<float> queries;
  std::span<const float> vec(size_t i) const {
    return std::span<const float>(vectors).subspan(i * DIM, DIM);
  }
  std::span<const float> query(size_t i) const {
    return std::span<const float>(queries).subspan(i * DIM, DIM);
  }
};

const Data& data() {
  static const Data* d = new Data();
  return *d;
}

// Exact nearest neighbours on the full-precision vectors.
const std::vector<std::vector<uint32_t>>& truth(DistanceMetric metric) {
  static std::map<DistanceMetric, std::vector<std::vector<uint32_t>>> cache;
  auto& t = cache[metric];
  if (!t.empty()) return t;
  const Data& d = data();
  t.resize(QUERIES);
  std::vector<std::pair<float, uint32_t>> all(N);
  for (size_t q = 0; q < QUERIES; ++q) {
    for (uint32_t i = 0; i < N; ++i) all[i] = {distance_exact(metric, d.query(q), d.vec(i)), i};
    std::partial_sort(all.begin(), all.begin() + kK, all.end());
    for (size_t i = 0; i < kK; ++i) t[q].push_back(all[i].second);
  }
  return t;
}

// Indexes by (metric, raw copy stored).
std::map<std::pair<DistanceMetric, bool>, std::unique_ptr<HnswIndex>>& built() {
  static std::map<std::pair<DistanceMetric, bool>, std::unique_ptr<HnswIndex>> indexes;
  return indexes;
}

void BM_Build(benchmark::State& state, DistanceMetric metric, bool raw) {
  const Data& d = data();
  for (auto _ : state) {
    HnswConfig cfg;
    cfg.distance_metric = metric;
    cfg.store_raw_vectors = raw;
    auto index = std::make_unique<HnswIndex>(cfg, DIM);
    index->set_level_seed(42);
    for (uint32_t i = 0; i < N; ++i) {
      index->insert(i, d.vec(i), QuantizedVector::quantize(d.vec(i)));
    }
    built()[{metric, raw}] = std::move(index);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * N));
}

void BM_Search(benchmark::State& state, DistanceMetric metric, bool raw, size_t ef) {
  if (!built().count({metric, raw})) {
    state.SkipWithError("run the Build benchmark of this configuration first");
    return;
  }
  HnswIndex& index = *built()[{metric, raw}];
  index.set_ef_search(ef);
  const Data& d = data();
  const auto& t = truth(metric);
  // The latest answer per query; recall is scored after the timed loop.
  std::vector<std::vector<ScoredNode>> answers(QUERIES);
  size_t q = 0;
  for (auto _ : state) {
    answers[q] = index.knn_search(d.query(q), kK);
    q = q + 1 == QUERIES ? 0 : q + 1;
  }
  size_t hits = 0, asked = 0;
  for (size_t i = 0; i < QUERIES; ++i) {
    if (answers[i].empty()) continue;
    const std::set<uint32_t> want(t[i].begin(), t[i].end());
    for (const ScoredNode& s : answers[i]) hits += want.count(s.id);
    asked += kK;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["recall@10"] = asked == 0 ? 0.0 : static_cast<double>(hits) / asked;
}

void dump(const std::string& prefix) {
  const Data& d = data();
  for (const auto& [suffix, v] :
       {std::pair{".data.f32", &d.vectors}, {".queries.f32", &d.queries}}) {
    FILE* f = std::fopen((prefix + suffix).c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(v->data(), sizeof(float), v->size(), f);
    std::fclose(f);
  }
}

void register_all() {
  const std::pair<DistanceMetric, const char*> metrics[] = {
      {DistanceMetric::Euclidean, "euclidean"}, {DistanceMetric::Cosine, "cosine"}};
  for (bool raw : {false, true}) {
    for (const auto& [metric, metric_name] : metrics) {
      // "codes": scalar codes only (the default); "raw": with the full-precision copy.
      const std::string name = std::string(metric_name) + (raw ? "/raw" : "/codes");
      benchmark::RegisterBenchmark(("Build/" + name).c_str(), BM_Build, metric, raw)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      for (size_t ef : {10u, 20u, 50u, 100u, 200u}) {
        benchmark::RegisterBenchmark(("Search/" + name + "/ef" + std::to_string(ef)).c_str(),
                                     BM_Search, metric, raw, ef)
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
}

}  // namespace
}  // namespace tarnwell_core

int main(int argc, char** argv) {
  using namespace tarnwell_core;
  std::vector<char*> rest;
  bool n_given = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--tw_n=", 7) == 0) {
      N = std::stoul(argv[i] + 7);
      n_given = true;
    } else if (std::strncmp(argv[i], "--tw_dim=", 9) == 0) {
      DIM = std::stoul(argv[i] + 9);
    } else if (std::strncmp(argv[i], "--tw_load=", 10) == 0) {
      LOAD = argv[i] + 10;
    } else if (std::strncmp(argv[i], "--tw_dump=", 10) == 0) {
      DUMP = argv[i] + 10;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!LOAD.empty() && !n_given) N = SIZE_MAX;  // every row of the file
  int rest_count = static_cast<int>(rest.size());
  if (!DUMP.empty()) dump(DUMP);
  register_all();
  benchmark::Initialize(&rest_count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
