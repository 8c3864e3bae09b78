// Documents as a collection stores them: an id, a text and typed metadata, plus their binary
// encoding (shared by snapshots and log records). The metadata tag of each value is its
// variant index, which is also the number written to files: Bool 0, Int 1, Float 2, String 3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <unordered_map>
#include <variant>

#include "core/util/codec.h"
#include "core/util/status.h"
#include "core/util/uuid.h"

namespace tarnwell_core {

using MetadataValue = std::variant<bool, int64_t, double, std::string>;
using Metadata = std::unordered_map<std::string, MetadataValue>;

// Number of MetadataValue tags; a stored tag must be below it.
inline constexpr uint32_t METADATA_TAG_COUNT = std::variant_size_v<MetadataValue>;

// Same variant and same payload, floats compared by their bits (so a NaN equals itself and
// 0.0 differs from -0.0): what a round trip through the encoding must preserve.
bool identical(const MetadataValue& a, const MetadataValue& b);

struct Document {
  Uuid id;
  std::string text;
  Metadata metadata;

  Document() = default;
  Document(Uuid id, std::string text, Metadata metadata)
      : id(id), text(std::move(text)), metadata(std::move(metadata)) {}

  // A document with a fresh random version-4 id; fails only when the OS random source does.
  static Result<Document> create(std::string text, Metadata metadata);

  // A deep copy sharing nothing with this one.
  Document clone() const { return *this; }

  // Equal ids and texts and identical metadata (see identical() above).
  bool operator==(const Document& o) const;
};

// A document to insert together with its embedding.
struct DocumentWithEmbedding {
  Document document;
  std::vector<float> embedding;

  bool operator==(const DocumentWithEmbedding&) const = default;
};

// Exact number of bytes encode_document appends.
size_t encoded_size(const Document& doc);
size_t encoded_size(const Metadata& metadata);

void encode_document(const Document& doc, Encoder& enc);
void encode_metadata(const Metadata& metadata, Encoder& enc);

// Reads one document; on failure the decoder's position is unspecified and nothing is kept.
// A key stored twice keeps its later value.
Result<Document> decode_document(Decoder& dec);
Result<Metadata> decode_metadata(Decoder& dec);

}  // namespace tarnwell_core
