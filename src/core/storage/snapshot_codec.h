// The body of a snapshot file: a collection's seven fields in the shared binary encoding, the
// index as its fourteen persisted fields and the keyword index as its four. The encoder writes
// from the live structures without copying them and its size function is exact; the decoder
// produces untrusted CollectionFields (validate() decides) and never reserves for a count the
// remaining bytes cannot hold. HnswConfig's 53-byte encoding is shared with the log records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/config.h"
#include "core/collection/collection.h"
#include "core/util/codec.h"
#include "core/util/status.h"

namespace tarnwell_core {

inline constexpr size_t ENCODED_HNSW_CONFIG_SIZE = 53;

void encode_hnsw_config(const HnswConfig& config, Encoder& enc);
Result<HnswConfig> decode_hnsw_config(Decoder& dec);

// Exact number of bytes encode_collection_body appends for `data`.
size_t encoded_body_size(const CollectionData& data);
void encode_collection_body(const CollectionData& data, Encoder& enc);

// Decodes a body; bytes after the last field are ignored. Errors are kInvalidData with the
// decoder's message.
Result<CollectionFields> decode_collection_body(std::span<const uint8_t> body);

}  // namespace tarnwell_core
