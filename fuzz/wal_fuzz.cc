// Fuzzes the start-up read-back of the log and the decoding of its records: the input is the
// whole "wal.bin", read without a key and with one (the first byte chooses). Reading must stop or
// fail cleanly, never read past the file or allocate from an unchecked length, and every record
// that decodes must re-encode to a payload that decodes to the same entry.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/storage/crypto.h"
#include "core/storage/wal.h"
#include "core/storage/wal_entry.h"

using namespace tarnwell_core;

namespace {

const EncryptionKey& fuzz_key() {
  static const std::shared_ptr<const EncryptionKey> KEY =
      *EncryptionKey::from_hex("8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef");
  return *KEY;
}

// Embeddings compared by their bits: a NaN read from the input must come back as itself.
bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

bool same(const WalEntry& x, const WalEntry& y) {
  if (x.tag() != y.tag()) return false;
  if (auto* a = std::get_if<WalEntry::InsertDocument>(&x.value)) {
    auto& b = std::get<WalEntry::InsertDocument>(y.value);
    return a->collection == b.collection && a->document == b.document &&
           same_floats(a->embedding, b.embedding);
  }
  if (auto* a = std::get_if<WalEntry::BatchInsert>(&x.value)) {
    auto& b = std::get<WalEntry::BatchInsert>(y.value);
    if (a->collection != b.collection || a->documents.size() != b.documents.size()) return false;
    for (size_t i = 0; i < a->documents.size(); ++i) {
      if (!(a->documents[i].document == b.documents[i].document) ||
          !same_floats(a->documents[i].embedding, b.documents[i].embedding)) {
        return false;
      }
    }
    return true;
  }
  if (auto* a = std::get_if<WalEntry::UpdateDocument>(&x.value)) {
    auto& b = std::get<WalEntry::UpdateDocument>(y.value);
    return a->collection == b.collection && a->id == b.id && a->document == b.document &&
           same_floats(a->embedding, b.embedding);
  }
  return x == y;
}

void check_entry(std::span<const uint8_t> payload) {
  Result<WalEntry> entry = decode_wal_entry(payload);
  if (!entry) return;
  std::vector<uint8_t> again = encode_wal_entry(*entry);
  Result<WalEntry> round = decode_wal_entry(again);
  if (!round || !same(*round, *entry)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input as a bare payload exercises the decoder on every byte pattern.
  check_entry(std::span<const uint8_t>(data, size));
  if (size == 0) return 0;

  // The read-back takes a path: hand it an in-memory file.
  static const int FD = ::memfd_create("wal_fuzz", 0);
  if (FD < 0) std::abort();
  const bool with_key = data[0] & 1;
  if (::ftruncate(FD, 0) != 0 || ::pwrite(FD, data + 1, size - 1, 0) != ssize_t(size - 1)) {
    std::abort();
  }
  static const std::string PATH = "/proc/self/fd/" + std::to_string(FD);
  Result<WalReadBack> read = read_wal(PATH, with_key ? &fuzz_key() : nullptr);
  if (!read) return 0;
  if (read->good_end > size - 1) std::abort();
  for (const std::vector<uint8_t>& payload : read->payloads) check_entry(payload);
  return 0;
}
