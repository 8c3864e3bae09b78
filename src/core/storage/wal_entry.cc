// Log record payloads: exact sizes, encoders that read documents and embeddings in place, and
// the decoder used by the start-up read-back (whose failures make the caller skip the record).
#include "core/storage/wal_entry.h"

#include <cassert>
#include <utility>

#include "core/storage/snapshot_codec.h"
#include "core/util/codec.h"

namespace tarnwell_core {
namespace {

constexpr size_t TAG_SIZE = 4;
// Smallest (document, embedding) pair: an empty document and an empty embedding.
constexpr size_t MIN_PAIR_SIZE = ENCODED_UUID_SIZE + 8 + 8 + 8;

size_t pair_size(const Document& d, std::span<const float> e) {
  return encoded_size(d) + encoded_array_size<float>(e.size());
}

// Runs `body` on an encoder over a buffer reserved to `size` bytes; the buffer never grows.
template <class Body>
std::vector<uint8_t> encode_exact(WalEntryTag tag, size_t size, Body&& body) {
  std::vector<uint8_t> out;
  out.reserve(TAG_SIZE + size);
  Encoder enc(out);
  enc.put_enum(static_cast<uint32_t>(tag));
  body(enc);
  assert(out.size() == TAG_SIZE + size);
  return out;
}

Result<WalEntry::Value> decode_value(WalEntryTag tag, Decoder& dec) {
  switch (tag) {
    case WalEntryTag::CreateCollection: {
      WalEntry::CreateCollection e;
      ASSIGN_OR_RETURN(e.name, dec.string());
      ASSIGN_OR_RETURN(e.dimension, dec.u64());
      ASSIGN_OR_RETURN(e.config, decode_hnsw_config(dec));
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::DeleteCollection: {
      WalEntry::DeleteCollection e;
      ASSIGN_OR_RETURN(e.name, dec.string());
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::InsertDocument: {
      WalEntry::InsertDocument e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(e.document, decode_document(dec));
      ASSIGN_OR_RETURN(e.embedding, dec.f32_array());
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::DeleteDocument: {
      WalEntry::DeleteDocument e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(e.id, dec.uuid());
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::BatchInsert: {
      WalEntry::BatchInsert e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(uint64_t n, dec.count(MIN_PAIR_SIZE));
      e.documents.resize(static_cast<size_t>(n));
      for (DocumentWithEmbedding& pair : e.documents) {
        ASSIGN_OR_RETURN(pair.document, decode_document(dec));
        ASSIGN_OR_RETURN(pair.embedding, dec.f32_array());
      }
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::UpdateDocument: {
      WalEntry::UpdateDocument e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(e.id, dec.uuid());
      ASSIGN_OR_RETURN(e.document, decode_document(dec));
      ASSIGN_OR_RETURN(e.embedding, dec.f32_array());
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::PatchDocument: {
      WalEntry::PatchDocument e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(e.id, dec.uuid());
      ASSIGN_OR_RETURN(bool has_text, dec.option_tag());
      if (has_text) {
        ASSIGN_OR_RETURN(e.text, dec.string());
      }
      ASSIGN_OR_RETURN(bool has_metadata, dec.option_tag());
      if (has_metadata) {
        ASSIGN_OR_RETURN(e.metadata, decode_metadata(dec));
      }
      return WalEntry::Value(std::move(e));
    }
    case WalEntryTag::DeleteDocuments: {
      WalEntry::DeleteDocuments e;
      ASSIGN_OR_RETURN(e.collection, dec.string());
      ASSIGN_OR_RETURN(uint64_t n, dec.count(ENCODED_UUID_SIZE));
      e.ids.resize(static_cast<size_t>(n));
      for (Uuid& id : e.ids) {
        ASSIGN_OR_RETURN(id, dec.uuid());
      }
      return WalEntry::Value(std::move(e));
    }
  }
  // enum_index() admits only the tags above.
  return Err(Status::invalid_data("invalid WAL entry tag"));
}

}  // namespace

std::vector<uint8_t> encode_create_collection_record(std::string_view name, uint64_t dimension,
                                                     const HnswConfig& config) {
  const size_t size = encoded_string_size(name) + 8 + ENCODED_HNSW_CONFIG_SIZE;
  return encode_exact(WalEntryTag::CreateCollection, size, [&](Encoder& enc) {
    enc.put_string(name);
    enc.put_u64(dimension);
    encode_hnsw_config(config, enc);
  });
}

std::vector<uint8_t> encode_delete_collection_record(std::string_view name) {
  return encode_exact(WalEntryTag::DeleteCollection, encoded_string_size(name),
                      [&](Encoder& enc) { enc.put_string(name); });
}

std::vector<uint8_t> encode_insert_record(std::string_view collection, const Document& document,
                                          std::span<const float> embedding) {
  const size_t size = encoded_string_size(collection) + pair_size(document, embedding);
  return encode_exact(WalEntryTag::InsertDocument, size, [&](Encoder& enc) {
    enc.put_string(collection);
    encode_document(document, enc);
    enc.put_f32_array(embedding);
  });
}

std::vector<uint8_t> encode_delete_document_record(std::string_view collection, const Uuid& id) {
  const size_t size = encoded_string_size(collection) + ENCODED_UUID_SIZE;
  return encode_exact(WalEntryTag::DeleteDocument, size, [&](Encoder& enc) {
    enc.put_string(collection);
    enc.put_uuid(id);
  });
}

std::vector<uint8_t> encode_batch_insert_record(std::string_view collection,
                                                std::span<const DocumentWithEmbedding> documents) {
  size_t size = encoded_string_size(collection) + ENCODED_COUNT_SIZE;
  for (const DocumentWithEmbedding& d : documents) size += pair_size(d.document, d.embedding);
  return encode_exact(WalEntryTag::BatchInsert, size, [&](Encoder& enc) {
    enc.put_string(collection);
    enc.put_count(documents.size());
    for (const DocumentWithEmbedding& d : documents) {
      encode_document(d.document, enc);
      enc.put_f32_array(d.embedding);
    }
  });
}

std::vector<uint8_t> encode_update_record(std::string_view collection, const Uuid& id,
                                          const Document& document,
                                          std::span<const float> embedding) {
  const size_t size =
      encoded_string_size(collection) + ENCODED_UUID_SIZE + pair_size(document, embedding);
  return encode_exact(WalEntryTag::UpdateDocument, size, [&](Encoder& enc) {
    enc.put_string(collection);
    enc.put_uuid(id);
    encode_document(document, enc);
    enc.put_f32_array(embedding);
  });
}

std::vector<uint8_t> encode_patch_record(std::string_view collection, const Uuid& id,
                                         const std::optional<std::string>& text,
                                         const std::optional<Metadata>& metadata) {
  size_t size = encoded_string_size(collection) + ENCODED_UUID_SIZE + 2;
  if (text) size += encoded_string_size(*text);
  if (metadata) size += encoded_size(*metadata);
  return encode_exact(WalEntryTag::PatchDocument, size, [&](Encoder& enc) {
    enc.put_string(collection);
    enc.put_uuid(id);
    enc.put_option_tag(text.has_value());
    if (text) enc.put_string(*text);
    enc.put_option_tag(metadata.has_value());
    if (metadata) encode_metadata(*metadata, enc);
  });
}

std::vector<uint8_t> encode_delete_many_record(std::string_view collection,
                                               std::span<const Uuid> ids) {
  const size_t size =
      encoded_string_size(collection) + ENCODED_COUNT_SIZE + ids.size() * ENCODED_UUID_SIZE;
  return encode_exact(WalEntryTag::DeleteDocuments, size, [&](Encoder& enc) {
    enc.put_string(collection);
    enc.put_count(ids.size());
    for (const Uuid& id : ids) enc.put_uuid(id);
  });
}

bool WalEntry::PatchDocument::operator==(const PatchDocument& o) const {
  if (collection != o.collection || id != o.id || text != o.text) return false;
  if (metadata.has_value() != o.metadata.has_value()) return false;
  if (!metadata) return true;
  // Metadata compares by identical(), as documents do (NaN equal to itself).
  return Document(id, "", *metadata) == Document(id, "", *o.metadata);
}

std::vector<uint8_t> encode_wal_entry(const WalEntry& entry) {
  struct Visitor {
    std::vector<uint8_t> operator()(const WalEntry::CreateCollection& e) const {
      return encode_create_collection_record(e.name, e.dimension, e.config);
    }
    std::vector<uint8_t> operator()(const WalEntry::DeleteCollection& e) const {
      return encode_delete_collection_record(e.name);
    }
    std::vector<uint8_t> operator()(const WalEntry::InsertDocument& e) const {
      return encode_insert_record(e.collection, e.document, e.embedding);
    }
    std::vector<uint8_t> operator()(const WalEntry::DeleteDocument& e) const {
      return encode_delete_document_record(e.collection, e.id);
    }
    std::vector<uint8_t> operator()(const WalEntry::BatchInsert& e) const {
      return encode_batch_insert_record(e.collection, e.documents);
    }
    std::vector<uint8_t> operator()(const WalEntry::UpdateDocument& e) const {
      return encode_update_record(e.collection, e.id, e.document, e.embedding);
    }
    std::vector<uint8_t> operator()(const WalEntry::PatchDocument& e) const {
      return encode_patch_record(e.collection, e.id, e.text, e.metadata);
    }
    std::vector<uint8_t> operator()(const WalEntry::DeleteDocuments& e) const {
      return encode_delete_many_record(e.collection, e.ids);
    }
  };
  return std::visit(Visitor{}, entry.value);
}

Result<WalEntry> decode_wal_entry(std::span<const uint8_t> payload) {
  Decoder dec(payload);
  ASSIGN_OR_RETURN(uint32_t tag, dec.enum_index(WAL_ENTRY_TAG_COUNT));
  ASSIGN_OR_RETURN(WalEntry::Value value, decode_value(static_cast<WalEntryTag>(tag), dec));
  return WalEntry{std::move(value)};
}

}  // namespace tarnwell_core
