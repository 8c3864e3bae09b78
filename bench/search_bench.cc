// Collection searches on a synthetic clustered set: unfiltered, filtered at 50 %, 10 % and 1 %
// selectivity, keyword and hybrid (both fusions). The peer in the same run is the exact answer
// a filter-first engine would give: scan every matching document with the same distance
// kernel. Filtered searches report recall@10 against that scan as a counter, and the same walk
// with a free predicate on the id shows what evaluating the filter itself costs.
//
// The set is built once per process. Size with --tw_n=N and --tw_dim=D (defaults 10000 x 128,
// a short run); the recorded figures use --tw_n=50000.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "clustered.h"
#include "core/collection/filter_plan.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/search.h"
#include "core/search/filter.h"
#include "core/collection/collection.h"

namespace tarnwell_core {
namespace {

size_t N = 10000;
size_t DIM = 128;
constexpr size_t kQueries = 200;
constexpr size_t kK = 10;
constexpr size_t kVocabulary = 5000;

// Zipf-like word draws, so that query terms have realistic posting-list lengths.
std::string words(std::mt19937& rng, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const auto w = static_cast<size_t>(std::pow(static_cast<double>(kVocabulary), u)) - 1;
    if (!text.empty()) text += ' ';
    text += "term";
    text += std::to_string(w);
  }
  return text;
}

struct Fixture {
  std::unique_ptr<Collection> collection;
  std::vector<float> data;
  std::vector<float> queries;
  std::vector<std::string> query_texts;

  Fixture() {
    CollectionData empty("bench", DIM, HnswConfig{});
    empty.hnsw.set_level_seed(1);
    collection = std::make_unique<Collection>(std::move(empty));
    data = clustered(N, DIM, 64, 11);
    queries = clustered(kQueries, DIM, 64, 12);
    std::mt19937 rng(5);
    for (size_t i = 0; i < N; ++i) {
      Uuid id;
      std::memcpy(id.bytes.data(), &i, sizeof i);
      // bucket < s selects s % of the documents, spread evenly over the clusters.
      Metadata m = {{"bucket", static_cast<int64_t>(i % 100)}};
      collection->insert_document(Document(id, words(rng, 20), std::move(m)),
                                  std::span<const float>(data).subspan(i * DIM, DIM));
    }
    for (size_t q = 0; q < kQueries; ++q) query_texts.push_back(words(rng, 3));
  }

  std::span<const float> query(size_t q) const {
    return std::span<const float>(queries).subspan((q % kQueries) * DIM, DIM);
  }

  // The exact k nearest documents with bucket < limit: a scan of the matching documents.
  std::vector<uint32_t> scan(std::span<const float> q, int64_t limit) const {
    return collection->read([&](const CollectionData& d) {
      const QueryDistance dist(d.hnsw, q.data(), nullptr);
      std::vector<std::pair<float, uint32_t>> best;
      best.reserve(N);
      for (uint32_t i = 0; i < d.hnsw.node_count(); ++i) {
        if (static_cast<int64_t>(i % 100) < limit) best.push_back({dist.precise(i), i});
      }
      const size_t keep = std::min(kK, best.size());
      std::partial_sort(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(keep), best.end());
      std::vector<uint32_t> ids;
      for (size_t i = 0; i < keep; ++i) ids.push_back(best[i].second);
      return ids;
    });
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

MetadataFilter bucket_below(int64_t limit) {
  MetadataFilter f;
  FilterCondition& c = f.must.emplace_back();
  c.field = "bucket";
  c.op = FilterOperator::Lt;
  c.value = JsonValue::integer(limit);
  return f;
}

uint32_t index_of(const ScoredDocument& h) {
  size_t i = 0;
  std::memcpy(&i, h.document->id.bytes.data(), sizeof i);
  return static_cast<uint32_t>(i);
}

void BM_VectorSearch(benchmark::State& state) {
  const Fixture& f = fixture();
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.collection->vector_search(f.query(q++), kK, std::nullopt));
  }
}
BENCHMARK(BM_VectorSearch)->Unit(benchmark::kMicrosecond);

// Arg: selectivity in percent.
void BM_FilteredSearch(benchmark::State& state) {
  const Fixture& f = fixture();
  const MetadataFilter filter = bucket_below(state.range(0));
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.collection->vector_search_filtered(f.query(q++), kK, {}, filter));
  }
  size_t hit = 0, total = 0;
  for (size_t i = 0; i < kQueries; ++i) {
    const std::vector<uint32_t> truth = f.scan(f.query(i), state.range(0));
    std::set<uint32_t> got;
    for (const ScoredDocument& h :
         f.collection->vector_search_filtered(f.query(i), kK, {}, filter)) {
      got.insert(index_of(h));
    }
    for (uint32_t t : truth) hit += got.count(t);
    total += truth.size();
  }
  state.counters["recall@10"] = static_cast<double>(hit) / static_cast<double>(total);
}
BENCHMARK(BM_FilteredSearch)->Arg(100)->Arg(50)->Arg(10)->Arg(1)->Unit(benchmark::kMicrosecond);

// The same walk with a free predicate on the internal id (the buckets are id % 100): what the
// filtered search costs apart from evaluating the filter on document metadata.
void BM_FilteredWalkOnly(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto limit = static_cast<uint32_t>(state.range(0));
  size_t q = 0;
  for (auto _ : state) {
    f.collection->read([&](const CollectionData& d) {
      benchmark::DoNotOptimize(d.hnsw.knn_search_filtered(
          f.query(q++), kK, [limit](uint32_t id) { return id % 100 < limit; }));
      return 0;
    });
  }
}
BENCHMARK(BM_FilteredWalkOnly)->Arg(50)->Arg(10)->Arg(1)->Unit(benchmark::kMicrosecond);

// Calibration of the filter planner: each strategy forced, over the documents whose id % 1000
// is below Arg(0) (so Arg(0) / 10 percent pass). Arg(1): 0 exact ranking, 1 plain walk, 2 two-hop
// walk. Recall is against the exact ranking of the same members.
void BM_FilterStrategy(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto permille = static_cast<uint32_t>(state.range(0));
  FilterCostModel model;
  model.exact_per_visit = state.range(1) == 0 ? 1e18 : 0.0;
  model.two_hop_min_share = 0.0;
  model.walk_share = state.range(1) == 1 ? 0.0 : 2.0;
  f.collection->read([&](const CollectionData& d) {
    IdBitset members(d.hnsw.node_count());
    for (uint32_t i = 0; i < d.hnsw.node_count(); ++i) {
      if (i % 1000 < permille) members.set(i);
    }
    const size_t count = members.count();
    size_t q = 0;
    for (auto _ : state) {
      benchmark::DoNotOptimize(
          filtered_knn(d.hnsw, f.query(q++), kK, members, count, d.hnsw.node_count(), model));
    }
    size_t hit = 0, total = 0;
    for (size_t i = 0; i < kQueries; ++i) {
      const std::vector<ScoredNode> got =
          filtered_knn(d.hnsw, f.query(i), kK, members, count, d.hnsw.node_count(), model);
      const std::vector<ScoredNode> truth = exact_rank(d.hnsw, f.query(i), kK, members);
      for (const ScoredNode& t : truth) {
        hit += std::any_of(got.begin(), got.end(), [&](const ScoredNode& g) { return g.id == t.id; });
      }
      total += truth.size();
    }
    state.counters["recall@10"] = static_cast<double>(hit) / static_cast<double>(total);
    return 0;
  });
}
BENCHMARK(BM_FilterStrategy)
    ->ArgsProduct({{1, 10, 30, 100, 200, 500, 1000}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond);

// Peer: the exact filtered answer by scanning every matching document.
void BM_FilteredScan(benchmark::State& state) {
  const Fixture& f = fixture();
  size_t q = 0;
  for (auto _ : state) benchmark::DoNotOptimize(f.scan(f.query(q++), state.range(0)));
}
BENCHMARK(BM_FilteredScan)->Arg(50)->Arg(10)->Arg(1)->Unit(benchmark::kMicrosecond);

// Evaluating a filter on the metadata index alone (a keyword query without terms ranks nothing).
void BM_FilterEvaluation(benchmark::State& state) {
  const Fixture& f = fixture();
  const MetadataFilter filter = bucket_below(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(f.collection->keyword_search_filtered("", kK, filter));
}
BENCHMARK(BM_FilterEvaluation)->Arg(100)->Arg(10)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_KeywordSearch(benchmark::State& state) {
  const Fixture& f = fixture();
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.collection->keyword_search(f.query_texts[q++ % kQueries], kK));
  }
}
BENCHMARK(BM_KeywordSearch)->Unit(benchmark::kMicrosecond);

// Arg: 0 reciprocal-rank fusion, 1 linear fusion.
void BM_HybridSearch(benchmark::State& state) {
  const Fixture& f = fixture();
  const FusionMethod m = state.range(0) ? FusionMethod::Linear : FusionMethod::Rrf;
  size_t q = 0;
  for (auto _ : state) {
    const size_t i = q++ % kQueries;
    benchmark::DoNotOptimize(
        f.collection->hybrid_search(f.query(i), f.query_texts[i], kK, {}, 0.7f, m));
  }
}
BENCHMARK(BM_HybridSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Hybrid with a 10 % filter on both sides.
void BM_HybridSearchFiltered(benchmark::State& state) {
  const Fixture& f = fixture();
  const MetadataFilter filter = bucket_below(10);
  size_t q = 0;
  for (auto _ : state) {
    const size_t i = q++ % kQueries;
    benchmark::DoNotOptimize(f.collection->hybrid_search_filtered(
        f.query(i), f.query_texts[i], kK, {}, 0.7f, FusionMethod::Rrf, filter));
  }
}
BENCHMARK(BM_HybridSearchFiltered)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnwell_core

int main(int argc, char** argv) {
  // Our own size flags go before Google Benchmark sees the rest.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--tw_n=", 7) == 0) {
      tarnwell_core::N = std::strtoull(argv[i] + 7, nullptr, 10);
    } else if (std::strncmp(argv[i], "--tw_dim=", 9) == 0) {
      tarnwell_core::DIM = std::strtoull(argv[i] + 9, nullptr, 10);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
