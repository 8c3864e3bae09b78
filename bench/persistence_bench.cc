// Snapshot throughput (encode only, save with its fsyncs, load with decode and validation), plain
// and sealed, on a 50k x 128-d collection; and the latency of a logged insert through the handle
// (check, record, append + fsync, index insert) against an ephemeral handle's insert (no log).
// Floors in the same run: the raw durable replace of a buffer of the snapshot's size, and its read.
// Files go to a scratch directory under the working directory: run it from a directory on the
// disk whose fsync cost you want to see (not a tmpfs).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/database/handle.h"
#include "core/storage/snapshot.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

constexpr size_t kDocs = 50000;
constexpr size_t kDim = 128;
const char kKeyHex[] = "8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef";

std::shared_ptr<const EncryptionKey> bench_key() { return *EncryptionKey::from_hex(kKeyHex); }

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = "persistence_bench_XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<float> random_vector(std::mt19937& rng) {
  std::normal_distribution<float> dist;
  std::vector<float> v(kDim);
  for (float& x : v) x = dist(rng);
  return v;
}

Document random_document(std::mt19937& rng, size_t i) {
  static const char* kWords[] = {"vector", "index", "graph", "search", "query", "store",
                                 "layer",  "node",  "token", "score",  "batch", "write"};
  std::string text = "document " + std::to_string(i);
  for (int w = 0; w < 8; ++w) {
    text += ' ';
    text += kWords[rng() % 12];
  }
  Metadata md{{"n", int64_t(i)}, {"tag", std::string(i % 2 ? "odd" : "even")}};
  Uuid id;
  for (auto& b : id.bytes) b = static_cast<uint8_t>(rng());
  return Document(id, std::move(text), std::move(md));
}

// Built once: a modest ef_construction keeps the set-up short; it does not change what is saved
// per node beyond the neighbour lists' fill.
const Collection& bench_collection() {
  static const std::shared_ptr<Collection> COLLECTION = [] {
    HnswConfig config;
    config.ef_construction = 40;
    auto c = std::make_shared<Collection>("bench", kDim, config);
    std::mt19937 rng(42);
    for (size_t i = 0; i < kDocs; ++i) {
      std::vector<float> v = random_vector(rng);
      c->insert_document(random_document(rng, i), v);
    }
    return c;
  }();
  return *COLLECTION;
}

// Arg: sealed (0/1).
void BM_SnapshotEncode(benchmark::State& state) {
  const Collection& c = bench_collection();
  auto key = state.range(0) ? bench_key() : nullptr;
  size_t bytes = 0;
  for (auto _ : state) {
    auto out = encode_snapshot(c, key.get());
    if (!out) {
      state.SkipWithError(out.error().message().c_str());
      return;
    }
    bytes = out->size();
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["file_MiB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_SnapshotEncode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SnapshotSave(benchmark::State& state) {
  const Collection& c = bench_collection();
  auto key = state.range(0) ? bench_key() : nullptr;
  ScratchDir dir;
  for (auto _ : state) {
    Status s = save_collection(c, dir.path(), key.get());
    if (!s.ok()) {
      state.SkipWithError(s.message().c_str());
      return;
    }
  }
  auto size = std::filesystem::file_size(join_path(dir.path(), "bench.twl"));
  state.SetBytesProcessed(static_cast<int64_t>(size * state.iterations()));
}
BENCHMARK(BM_SnapshotSave)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SnapshotLoad(benchmark::State& state) {
  const Collection& c = bench_collection();
  auto key = state.range(0) ? bench_key() : nullptr;
  ScratchDir dir;
  if (Status s = save_collection(c, dir.path(), key.get()); !s.ok()) {
    state.SkipWithError(s.message().c_str());
    return;
  }
  const std::string path = join_path(dir.path(), "bench.twl");
  for (auto _ : state) {
    auto loaded = load_collection(path, key.get());
    if (!loaded) {
      state.SkipWithError(loaded.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(loaded->get());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(std::filesystem::file_size(path) * state.iterations()));
}
BENCHMARK(BM_SnapshotLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Floors under save and load: the same number of bytes written through the same durable replace
// (temporary file, fsync, rename, directory fsync), and read back whole.
void BM_RawReplace(benchmark::State& state) {
  auto bytes = encode_snapshot(bench_collection(), nullptr);
  ScratchDir dir;
  for (auto _ : state) {
    Status s = replace_file_atomically(dir.path(), "raw.twl", *bytes);
    if (!s.ok()) {
      state.SkipWithError(s.message().c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes->size() * state.iterations()));
}
BENCHMARK(BM_RawReplace)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawRead(benchmark::State& state) {
  auto bytes = encode_snapshot(bench_collection(), nullptr);
  ScratchDir dir;
  if (!replace_file_atomically(dir.path(), "raw.twl", *bytes).ok()) std::abort();
  const std::string path = join_path(dir.path(), "raw.twl");
  for (auto _ : state) {
    auto read = read_file(path);
    benchmark::DoNotOptimize(read->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes->size() * state.iterations()));
}
BENCHMARK(BM_RawRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: mode 0 = ephemeral handle (no log), 1 = logged, 2 = logged and sealed.
void BM_HandleInsert(benchmark::State& state) {
  ScratchDir dir;
  const int mode = static_cast<int>(state.range(0));
  auto handle = DatabaseHandle::open(mode == 0 ? std::nullopt : std::optional(dir.path()),
                                     mode == 2 ? bench_key() : nullptr);
  if (!handle) {
    state.SkipWithError(handle.error().message().c_str());
    return;
  }
  HnswConfig config;
  if (Status s = (*handle)->create_collection("c", kDim, config); !s.ok()) {
    state.SkipWithError(s.message().c_str());
    return;
  }
  auto c = (*handle)->get_collection("c");
  std::mt19937 rng(7);
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Document d = random_document(rng, i++);
    std::vector<float> v = random_vector(rng);
    state.ResumeTiming();
    auto id = (*handle)->insert(c, "c", std::move(d), v);
    if (!id) {
      state.SkipWithError(id.error().message().c_str());
      return;
    }
  }
}
BENCHMARK(BM_HandleInsert)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tarnwell_core

BENCHMARK_MAIN();
