// Fuzzes the two text parsers for keys: the hex encryption key and the document id. The first
// byte chooses the parser, the rest is the text. Parsing must accept or refuse with one of the
// documented messages, never crash; what it accepts must behave as the same key or id whatever
// the case of its hex digits and the white space around a key.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/storage/crypto.h"
#include "core/util/uuid.h"

using namespace tarnwell_core;

namespace {

// Flips the case of the letters a-f, the only ones a hex digit can be.
std::string flip_hex_case(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

void check_key(std::string_view text) {
  Result<std::shared_ptr<const EncryptionKey>> key = EncryptionKey::from_hex(text);
  if (!key) {
    const std::string& m = key.error().message();
    if (m.rfind("encryption key must be 64 hex characters (32 bytes), got ", 0) != 0 &&
        m.rfind("invalid hex at position ", 0) != 0) {
      std::abort();
    }
    return;
  }
  // Hex digits are case-blind and surrounding white space is ignored: all three spellings must
  // be one key, so each opens what another sealed.
  Result<std::shared_ptr<const EncryptionKey>> flipped =
      EncryptionKey::from_hex(flip_hex_case(text));
  Result<std::shared_ptr<const EncryptionKey>> padded =
      EncryptionKey::from_hex(" \t" + std::string(text) + "\r\n");
  if (!flipped || !padded) std::abort();
  static const uint8_t PLAIN[] = {'t', 'a', 'r', 'n'};
  Result<std::vector<uint8_t>> sealed = (*key)->encrypt(PLAIN);
  if (!sealed || sealed->size() != sizeof PLAIN + EncryptionKey::kOverhead) std::abort();
  for (const EncryptionKey* other : {flipped->get(), padded->get()}) {
    Result<std::vector<uint8_t>> opened = other->decrypt(*sealed);
    if (!opened || opened->size() != sizeof PLAIN ||
        !std::equal(opened->begin(), opened->end(), PLAIN)) {
      std::abort();
    }
  }
  // A single changed bit of the seal is refused.
  (*sealed)[sealed->size() / 2] ^= 1;
  if ((*key)->decrypt(*sealed)) std::abort();
}

void check_uuid(std::string_view text) {
  Result<Uuid> id = Uuid::parse(text);
  if (!id) {
    const std::string& m = id.error().message();
    if (m.rfind("invalid character: ", 0) != 0 && m.rfind("invalid length: ", 0) != 0 &&
        m.rfind("invalid group count: ", 0) != 0 &&
        m.rfind("invalid group length in group ", 0) != 0) {
      std::abort();
    }
    return;
  }
  const std::string canonical = id->to_string();
  Result<Uuid> again = Uuid::parse(canonical);
  Result<Uuid> upper = Uuid::parse(flip_hex_case(canonical));
  // The "urn:uuid:" prefix is case-sensitive; only what follows it is hex.
  constexpr std::string_view URN = "urn:uuid:";
  const size_t keep = text.starts_with(URN) ? URN.size() : 0;
  Result<Uuid> flipped =
      Uuid::parse(std::string(text.substr(0, keep)) + flip_hex_case(text.substr(keep)));
  if (!again || *again != *id || !upper || *upper != *id || !flipped || *flipped != *id) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    check_uuid(text);
  } else {
    check_key(text);
  }
  return 0;
}
