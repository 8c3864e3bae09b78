// Document construction and the document/metadata encoding. Sizes computed here must match
// the bytes written exactly: snapshot and log writers allocate their buffers from them.
#include "core/document.h"

#include <bit>

namespace tarnwell_core {
namespace {

// Smallest encoded metadata entry: an empty key (8), the tag (4) and a Bool (1).
constexpr size_t MIN_METADATA_ENTRY_SIZE = 8 + 4 + 1;

size_t encoded_value_size(const MetadataValue& v) {
  switch (v.index()) {
    case 0:
      return 4 + 1;
    case 1:
    case 2:
      return 4 + 8;
    default:
      return 4 + encoded_string_size(std::get<std::string>(v));
  }
}

Result<MetadataValue> decode_value(Decoder& dec) {
  ASSIGN_OR_RETURN(uint32_t tag, dec.enum_index(METADATA_TAG_COUNT));
  switch (tag) {
    case 0: {
      ASSIGN_OR_RETURN(bool b, dec.boolean());
      return MetadataValue(b);
    }
    case 1: {
      ASSIGN_OR_RETURN(int64_t i, dec.i64());
      return MetadataValue(i);
    }
    case 2: {
      ASSIGN_OR_RETURN(double d, dec.f64());
      return MetadataValue(d);
    }
    default: {
      ASSIGN_OR_RETURN(std::string s, dec.string());
      return MetadataValue(std::move(s));
    }
  }
}

// Fills `out` in place rather than returning a Result<Metadata>: g++ 12 reports a false
// stringop-overflow on destroying that temporary once inlined into decode_document.
Status decode_metadata_into(Decoder& dec, Metadata& out) {
  ASSIGN_OR_RETURN(uint64_t n, dec.count(MIN_METADATA_ENTRY_SIZE));
  out.reserve(Decoder::reserve_hint(n, METADATA_RESERVE_CAP));
  for (uint64_t i = 0; i < n; ++i) {
    ASSIGN_OR_RETURN(std::string key, dec.string());
    ASSIGN_OR_RETURN(MetadataValue value, decode_value(dec));
    out.insert_or_assign(std::move(key), std::move(value));
  }
  return Status();
}

}  // namespace

bool identical(const MetadataValue& a, const MetadataValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) {
    return std::bit_cast<uint64_t>(*x) == std::bit_cast<uint64_t>(std::get<double>(b));
  }
  return a == b;
}

Result<Document> Document::create(std::string text, Metadata metadata) {
  ASSIGN_OR_RETURN(Uuid id, Uuid::new_v4());
  return Document(id, std::move(text), std::move(metadata));
}

bool Document::operator==(const Document& o) const {
  if (id != o.id || text != o.text || metadata.size() != o.metadata.size()) return false;
  for (const auto& [key, value] : metadata) {
    auto it = o.metadata.find(key);
    if (it == o.metadata.end() || !identical(value, it->second)) return false;
  }
  return true;
}

size_t encoded_size(const Metadata& metadata) {
  size_t n = ENCODED_COUNT_SIZE;
  for (const auto& [key, value] : metadata)
    n += encoded_string_size(key) + encoded_value_size(value);
  return n;
}

size_t encoded_size(const Document& doc) {
  return ENCODED_UUID_SIZE + encoded_string_size(doc.text) + encoded_size(doc.metadata);
}

void encode_metadata(const Metadata& metadata, Encoder& enc) {
  enc.put_count(metadata.size());
  for (const auto& [key, value] : metadata) {
    enc.put_string(key);
    enc.put_enum(static_cast<uint32_t>(value.index()));
    switch (value.index()) {
      case 0:
        enc.put_bool(std::get<bool>(value));
        break;
      case 1:
        enc.put_i64(std::get<int64_t>(value));
        break;
      case 2:
        enc.put_f64(std::get<double>(value));
        break;
      default:
        enc.put_string(std::get<std::string>(value));
        break;
    }
  }
}

void encode_document(const Document& doc, Encoder& enc) {
  enc.put_uuid(doc.id);
  enc.put_string(doc.text);
  encode_metadata(doc.metadata, enc);
}

Result<Metadata> decode_metadata(Decoder& dec) {
  Metadata metadata;
  RETURN_IF_ERROR(decode_metadata_into(dec, metadata));
  return metadata;
}

Result<Document> decode_document(Decoder& dec) {
  Document doc;
  ASSIGN_OR_RETURN(doc.id, dec.uuid());
  ASSIGN_OR_RETURN(doc.text, dec.string());
  RETURN_IF_ERROR(decode_metadata_into(dec, doc.metadata));
  return doc;
}

}  // namespace tarnwell_core
