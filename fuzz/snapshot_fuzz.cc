// Fuzzes the snapshot loader on whole files (the first byte chooses whether a key is offered).
// Whatever loads has passed validation, so every later operation on it must be safe: it is
// searched, changed, rebuilt when small, and saved and loaded again, which must succeed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "core/collection/collection.h"
#include "core/storage/crypto.h"
#include "core/storage/snapshot.h"

using namespace tarnwell_core;

namespace {

const EncryptionKey& fuzz_key() {
  static const std::shared_ptr<const EncryptionKey> KEY =
      *EncryptionKey::from_hex("8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef");
  return *KEY;
}

// Collections whose dimension makes a query vector unreasonable are only re-saved.
constexpr uint64_t MAX_EXERCISED_DIMENSION = 4096;
constexpr uint32_t MAX_REBUILT_NODES = 64;

void exercise(Collection& c) {
  const uint64_t dim = c.dimension();
  if (dim == 0 || dim > MAX_EXERCISED_DIMENSION) return;
  std::vector<float> query(dim, 0.5f);
  (void)c.vector_search(query, 5, std::nullopt);
  (void)c.keyword_search("the vector index search", 5);
  (void)c.hybrid_search(query, "vector", 5, std::nullopt, 0.7f, FusionMethod::Rrf);
  uint32_t nodes = c.read([](const CollectionData& d) { return d.hnsw.node_count(); });
  std::optional<Uuid> some_id = c.read([](const CollectionData& d) -> std::optional<Uuid> {
    for (uint32_t p = 0; p < d.documents.slot_count(); ++p) {
      if (d.documents.live(p)) return d.ids[p];
    }
    return std::nullopt;
  });
  if (some_id) (void)c.delete_document(*some_id);
  Uuid fresh;
  fresh.bytes.fill(0xAB);
  (void)c.insert_document(Document(fresh, "inserted after load", {}), query);
  if (nodes <= MAX_REBUILT_NODES) (void)c.rebuild();
}

// Says which step broke before aborting, so a crash input explains itself.
[[noreturn]] void fail(const char* step, const Status& status) {
  std::fprintf(stderr, "snapshot_fuzz: %s: %s\n", step, status.message().c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const EncryptionKey* key = (data[0] & 1) ? &fuzz_key() : nullptr;
  std::vector<uint8_t> file(data + 1, data + size);
  Result<std::shared_ptr<Collection>> loaded = decode_snapshot(file, "fuzz.twl", key);
  if (!loaded) return 0;

  // A collection that loaded must save and load again as it is.
  auto bytes = encode_snapshot(**loaded, nullptr);
  if (!bytes) fail("saving what loaded", bytes.error());
  Result<std::shared_ptr<Collection>> again = decode_snapshot(*bytes, "again.twl", nullptr);
  if (!again) fail("loading what was saved", again.error());

  exercise(**loaded);
  auto after = encode_snapshot(**loaded, nullptr);
  if (!after) fail("saving after changes", after.error());
  auto reloaded = decode_snapshot(*after, "after.twl", nullptr);
  if (!reloaded) fail("loading after changes", reloaded.error());
  return 0;
}
