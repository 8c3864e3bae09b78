// Fuzzes the document decoder: arbitrary bytes must decode or fail cleanly, and whatever decodes
// must re-encode to exactly its computed size and decode back to an equal document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/document.h"
#include "core/util/codec.h"

using namespace tarnwell_core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Decoder dec(std::span<const uint8_t>(data, size));
  Result<Document> doc = decode_document(dec);
  if (!doc) return 0;
  if (dec.position() > size) std::abort();

  std::vector<uint8_t> bytes;
  Encoder enc(bytes);
  encode_document(*doc, enc);
  if (bytes.size() != encoded_size(*doc)) std::abort();
  // Keys stored twice collapse into one, so the re-encoding is never longer than the input read.
  if (bytes.size() > dec.position()) std::abort();

  Decoder again(bytes);
  Result<Document> round = decode_document(again);
  if (!round || !(*round == *doc) || again.remaining() != 0) std::abort();
  return 0;
}
