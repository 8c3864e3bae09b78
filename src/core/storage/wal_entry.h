// The log's records: what one logged change says, as the payload that the log frames. A payload
// is the u32 tag of the variant, then its fields in the shared binary encoding:
//   0 CreateCollection  name, dimension u64, HnswConfig (53 bytes)
//   1 DeleteCollection  name
//   2 InsertDocument    collection, Document, embedding (u64 count, f32 values)
//   3 DeleteDocument    collection, id (u64 16, 16 bytes)
//   4 BatchInsert       collection, u64 count of (Document, embedding) pairs
//   5 UpdateDocument    collection, id, Document, embedding
//   6 PatchDocument     collection, id, optional text, optional metadata (the node is kept)
//   7 DeleteDocuments   collection, u64 count of ids
// Builds before tags 6 and 7 existed pass such records over as undecodable.
// The variant index of WalEntry::Value is the tag. Encoders size their buffer exactly and read
// documents and embeddings in place; the decoder trusts no count it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/document.h"
#include "core/hnsw/config.h"
#include "core/util/status.h"
#include "core/util/uuid.h"

namespace tarnwell_core {

enum class WalEntryTag : uint32_t {
  CreateCollection = 0,
  DeleteCollection = 1,
  InsertDocument = 2,
  DeleteDocument = 3,
  BatchInsert = 4,
  UpdateDocument = 5,
  PatchDocument = 6,
  DeleteDocuments = 7,
};

struct WalEntry {
  struct CreateCollection {
    std::string name;
    uint64_t dimension = 0;
    HnswConfig config;
    bool operator==(const CreateCollection&) const = default;
  };
  struct DeleteCollection {
    std::string name;
    bool operator==(const DeleteCollection&) const = default;
  };
  struct InsertDocument {
    std::string collection;
    Document document;
    std::vector<float> embedding;
    bool operator==(const InsertDocument&) const = default;
  };
  struct DeleteDocument {
    std::string collection;
    Uuid id;
    bool operator==(const DeleteDocument&) const = default;
  };
  struct BatchInsert {
    std::string collection;
    std::vector<DocumentWithEmbedding> documents;
    bool operator==(const BatchInsert&) const = default;
  };
  struct UpdateDocument {
    std::string collection;
    Uuid id;
    Document document;
    std::vector<float> embedding;
    bool operator==(const UpdateDocument&) const = default;
  };

  struct PatchDocument {
    std::string collection;
    Uuid id;
    std::optional<std::string> text;
    std::optional<Metadata> metadata;
    bool operator==(const PatchDocument&) const;
  };
  struct DeleteDocuments {
    std::string collection;
    std::vector<Uuid> ids;
    bool operator==(const DeleteDocuments&) const = default;
  };

  // Alternatives in tag order.
  using Value = std::variant<CreateCollection, DeleteCollection, InsertDocument, DeleteDocument,
                             BatchInsert, UpdateDocument, PatchDocument, DeleteDocuments>;
  Value value;

  WalEntryTag tag() const { return static_cast<WalEntryTag>(value.index()); }
  bool operator==(const WalEntry&) const = default;
};

inline constexpr uint32_t WAL_ENTRY_TAG_COUNT = std::variant_size_v<WalEntry::Value>;

// Payload encoders for the facade, reading their arguments in place. Each returns a buffer of
// exactly the encoded size.
std::vector<uint8_t> encode_create_collection_record(std::string_view name, uint64_t dimension,
                                                     const HnswConfig& config);
std::vector<uint8_t> encode_delete_collection_record(std::string_view name);
std::vector<uint8_t> encode_insert_record(std::string_view collection, const Document& document,
                                          std::span<const float> embedding);
std::vector<uint8_t> encode_delete_document_record(std::string_view collection, const Uuid& id);
std::vector<uint8_t> encode_batch_insert_record(std::string_view collection,
                                                std::span<const DocumentWithEmbedding> documents);
std::vector<uint8_t> encode_update_record(std::string_view collection, const Uuid& id,
                                          const Document& document,
                                          std::span<const float> embedding);
std::vector<uint8_t> encode_patch_record(std::string_view collection, const Uuid& id,
                                         const std::optional<std::string>& text,
                                         const std::optional<Metadata>& metadata);
std::vector<uint8_t> encode_delete_many_record(std::string_view collection,
                                               std::span<const Uuid> ids);

// Any entry, through the encoders above.
std::vector<uint8_t> encode_wal_entry(const WalEntry& entry);

// Decodes one payload. Fails (kInvalidData) for fewer than 4 bytes, a tag of 8 or more, or any
// field that does not decode; bytes after the last field are ignored.
Result<WalEntry> decode_wal_entry(std::span<const uint8_t> payload);

}  // namespace tarnwell_core
