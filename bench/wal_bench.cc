// Log append latency (each append is written and fsynced), plain and sealed, for small and page
// sized payloads; AES-256-GCM seal/open throughput; start-up read-back speed. The log lives in a
// scratch directory under the working directory, so run it from a directory on the disk whose
// fsync cost you want to see (not a tmpfs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/storage/crypto.h"
#include "core/storage/wal.h"
#include "core/util/crc32.h"
#include "core/util/file.h"

namespace tarnwell_core {
namespace {

const char kKeyHex[] = "8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef";

std::shared_ptr<const EncryptionKey> bench_key() { return *EncryptionKey::from_hex(kKeyHex); }

// A scratch directory removed when the benchmark ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = "wal_bench_XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<uint8_t> payload(size_t n) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 131 + 17);
  return p;
}

// Args: payload bytes, sealed (0/1).
void BM_WalAppend(benchmark::State& state) {
  ScratchDir dir;
  auto wal = SyncWriteAheadLog::open(dir.path(), state.range(1) ? bench_key() : nullptr);
  if (!wal) {
    state.SkipWithError(wal.error().message().c_str());
    return;
  }
  const std::vector<uint8_t> p = payload(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Status s = (*wal)->append(p);
    if (!s.ok()) {
      state.SkipWithError(s.message().c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WalAppend)
    ->ArgNames({"bytes", "sealed"})
    ->ArgsProduct({{100, 4096}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The floor under BM_WalAppend: write(2) + fsync(2) of a record-sized buffer on an O_APPEND file.
void BM_RawWriteFsync(benchmark::State& state) {
  ScratchDir dir;
  auto fd = open_file(join_path(dir.path(), "raw.bin"), O_WRONLY | O_APPEND | O_CREAT, 0600);
  if (!fd) {
    state.SkipWithError(fd.error().message().c_str());
    return;
  }
  const std::vector<uint8_t> p = payload(static_cast<size_t>(state.range(0)) + 8);
  for (auto _ : state) {
    if (!write_all(fd->get(), p).ok() || !fsync_fd(fd->get()).ok()) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawWriteFsync)
    ->ArgName("bytes")
    ->Arg(100)
    ->Arg(4096)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The floor under BM_Seal: one reused EVP context, a fixed nonce, no random draw.
void BM_RawEvpSeal(benchmark::State& state) {
  const std::vector<uint8_t> key(32, 7), nonce(12, 9);
  const std::vector<uint8_t> p = payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(p.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
  for (auto _ : state) {
    int len = 0;
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
    EVP_EncryptUpdate(ctx, out.data(), &len, p.data(), static_cast<int>(p.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + p.size());
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawEvpSeal)->Arg(100)->Arg(4096)->Arg(1 << 20);

void BM_Seal(benchmark::State& state) {
  auto key = bench_key();
  const std::vector<uint8_t> p = payload(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> sealed(p.size() + EncryptionKey::kOverhead);
  for (auto _ : state) {
    Status s = key->encrypt_into(p, sealed);
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Seal)->Arg(100)->Arg(4096)->Arg(1 << 20);

void BM_Open(benchmark::State& state) {
  auto key = bench_key();
  const std::vector<uint8_t> sealed = *key->encrypt(payload(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    auto plain = key->decrypt(sealed);
    benchmark::DoNotOptimize(plain);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Open)->Arg(100)->Arg(4096)->Arg(1 << 20);

// Args: records of 200 bytes in the log, sealed (0/1).
void BM_WalReadBack(benchmark::State& state) {
  ScratchDir dir;
  auto key = state.range(1) ? bench_key() : nullptr;
  std::string path;
  {
    auto wal = SyncWriteAheadLog::open(dir.path(), key);
    if (!wal) {
      state.SkipWithError(wal.error().message().c_str());
      return;
    }
    path = (*wal)->path();
    // Framed directly rather than appended: 10^4 fsyncs would dominate the setup.
    std::vector<uint8_t> all;
    const std::vector<uint8_t> p = payload(200);
    for (int64_t i = 0; i < state.range(0); ++i) {
      std::vector<uint8_t> body = p;
      uint32_t word = 0;
      if (key) {
        body = *key->encrypt(p);
        word = SyncWriteAheadLog::kSealedMarker;
      } else {
        word = crc32_ieee(p);
      }
      const uint32_t len = static_cast<uint32_t>(body.size());
      const uint8_t header[8] = {static_cast<uint8_t>(len >> 24),  static_cast<uint8_t>(len >> 16),
                                 static_cast<uint8_t>(len >> 8),   static_cast<uint8_t>(len),
                                 static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                 static_cast<uint8_t>(word >> 8),  static_cast<uint8_t>(word)};
      all.insert(all.end(), header, header + 8);
      all.insert(all.end(), body.begin(), body.end());
    }
    if (!replace_file_atomically(dir.path(), WAL_FILE_NAME, all).ok()) std::abort();
  }
  for (auto _ : state) {
    auto r = read_wal(path, key.get());
    if (!r || r->payloads.size() != static_cast<size_t>(state.range(0))) {
      state.SkipWithError("read-back lost records");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalReadBack)
    ->ArgNames({"records", "sealed"})
    ->ArgsProduct({{10000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwell_core

BENCHMARK_MAIN();
